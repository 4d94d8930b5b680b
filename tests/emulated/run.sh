#!/usr/bin/env bash
# The AVX-512 kernels on an emulated CPU, for machines without AVX-512: each
# check is built freestanding from the library's sources, booted as a
# multiboot image in Bochs (an AVX-512 CPU model) and reports on the serial
# port. Exit status 0 when every check agrees, 1 when one does not, 77 when
# the emulator or its boot files are missing.
#   bash tests/emulated/run.sh [work-dir]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../src
work=${1:-$(mktemp -d)}
mkdir -p "$work"
for tool in bochs xorriso script g++ ld objcopy; do
  command -v "$tool" >/dev/null || { echo "emulated: $tool is missing"; exit 77; }
done
boot_files=(/usr/lib/ISOLINUX/isolinux.bin /usr/lib/syslinux/modules/bios/ldlinux.c32
            /usr/lib/syslinux/modules/bios/mboot.c32 /usr/lib/syslinux/modules/bios/libcom32.c32
            /usr/share/bochs/BIOS-bochs-latest /usr/share/vgabios/vgabios.bin)
for f in "${boot_files[@]}"; do [ -f "$f" ] || { echo "emulated: $f is missing"; exit 77; }; done

# The library's own floating-point flags, and what a freestanding image needs.
flags=(-O3 -std=c++17 -ffp-contract=off -fno-fast-math -fno-math-errno -fno-trapping-math
       -fno-rtti -fno-pic -no-pie -fno-stack-protector -fno-asynchronous-unwind-tables
       -mno-red-zone -I"$src" -I"$here/../../include")
g++ "${flags[@]}" -ffreestanding -fno-tree-loop-distribute-patterns -c "$here/runtime.cpp" \
  -o "$work/runtime.o" || exit 1
gcc -c "$here/boot.S" -o "$work/boot.o" && gcc -c "$here/faults.S" -o "$work/faults.o" || exit 1

# Boots image $1 and prints what it wrote; returns the check's status.
boot() {
  local image=$1 run=$work/run.$2
  rm -rf "$run" && mkdir -p "$run/iso/isolinux"
  cp /usr/lib/ISOLINUX/isolinux.bin /usr/lib/syslinux/modules/bios/{ldlinux,mboot,libcom32}.c32 \
    "$run/iso/isolinux/"
  cp "$image" "$run/iso/image.bin"
  printf 'DEFAULT check\nPROMPT 0\nTIMEOUT 0\nLABEL check\n  KERNEL mboot.c32\n  APPEND /image.bin\n' \
    > "$run/iso/isolinux/isolinux.cfg"
  xorriso -as mkisofs -quiet -o "$run/boot.iso" -b isolinux/isolinux.bin -c isolinux/boot.cat \
    -no-emul-boot -boot-load-size 4 -boot-info-table "$run/iso" >/dev/null 2>&1 || return 125
  cat > "$run/bochsrc" <<CFG
config_interface: textconfig
display_library: term
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
cpu: model=tigerlake, count=1, ips=200000000, reset_on_triple_fault=0, ignore_bad_msrs=1
memory: guest=512, host=512
clock: sync=none, time0=local
ata0: enabled=1, ioaddr1=0x1f0, ioaddr2=0x3f0, irq=14
ata0-master: type=cdrom, path=$run/boot.iso, status=inserted
boot: cdrom
com1: enabled=1, mode=file, dev=$run/serial.txt
log: $run/bochs.log
panic: action=fatal
error: action=report
info: action=ignore
debug: action=ignore
mouse: enabled=0
speaker: enabled=0
CFG
  : > "$run/serial.txt"
  printf 'c\n' > "$run/start.rc"
  # Debian's Bochs stops at its debugger's prompt unless told to continue,
  # and its text display wants a terminal, which script provides.
  TERM=xterm setsid script -qfec "bochs -q -f $run/bochsrc -rc $run/start.rc" /dev/null \
    </dev/null >"$run/bochs.out" 2>&1 &
  local pid=$! started=$SECONDS status=
  while :; do
    if grep -aq '^@@END@@ status=' "$run/serial.txt"; then
      status=$(grep -a '^@@END@@ status=' "$run/serial.txt" | head -1 | sed 's/[^0-9]*\([0-9]*\).*/\1/')
      break
    fi
    kill -0 "$pid" 2>/dev/null || break
    [ $((SECONDS - started)) -ge "${KV_FX_EMULATED_TIMEOUT:-600}" ] && break
    sleep 0.5
  done
  kill -- -"$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  sed -n '/^@@BEGIN@@/,/^@@END@@/p' "$run/serial.txt" | sed '1d'
  if [ -z "$status" ]; then
    echo "emulated: $2 ended without a result; the emulator's log:"
    grep -v '^$' "$run/bochs.log" | tail -8
    return 125
  fi
  return "$status"
}

result=0
for check in blur_kernels vignette_kernels grade_kernels bloom_kernels shadow_kernels; do
  g++ "${flags[@]}" -c "$here/$check.cpp" -o "$work/$check.o" || exit 1
  ld -T "$here/image.ld" -nostdlib -static --no-warn-rwx-segments -z noexecstack \
    "$work/boot.o" "$work/faults.o" "$work/runtime.o" "$work/$check.o" -o "$work/$check.elf" || exit 1
  objcopy -O binary "$work/$check.elf" "$work/$check.bin"
  boot "$work/$check.bin" "$check"
  status=$?
  echo "emulated: $check: status $status"
  if [ "$status" = 125 ]; then
    [ "$result" = 0 ] && result=77
  elif [ "$status" != 0 ]; then
    result=1
  fi
done
exit "$result"
