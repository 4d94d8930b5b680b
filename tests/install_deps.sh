#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the test stages
# need and this machine lacks (as root; otherwise it lists what is missing
# and returns 1, and the stages that need it say so and skip). Used by
# tests/run.sh and by .ci/run. The cross stages (arm64, s390x, Windows) and
# the web stage install their own toolchains through the same function.
#   bash tests/install_deps.sh [base|packages|cross|emulated|windows|web ...]   (default: base)
set -euo pipefail

missing=()
have_pkg() { dpkg -s "$1" >/dev/null 2>&1; }
want() { for p in "$@"; do have_pkg "$p" || missing+=("$p"); done; }

for group in "${@:-base}"; do
  case "$group" in
    base)
      want cmake g++ binutils pkg-config python3 libgtest-dev libpng-dev libjpeg-dev \
           libcairo2-dev clang libclang-rt-14-dev time
      # kvfx's tests and the Python package.
      want python3-pil python3-numpy python3-pytest python3-dask python3-distributed python3-pip python3-setuptools python3-wheel python3-venv
      # The GStreamer plugin and its test pipelines.
      want libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools \
           gstreamer1.0-plugins-base gstreamer1.0-plugins-good
      ;;
    # cpack -G DEB's dpkg-shlibdeps and file, and the packages' checker.
    packages) want dpkg-dev file lintian ;;
    cross) want qemu-user googletest ninja-build crossbuild-essential-arm64 crossbuild-essential-s390x ;;
    emulated) want bochs bochs-term bochsbios vgabios isolinux syslinux-common xorriso ;;
    windows) want mingw-w64 g++-mingw-w64-x86-64-posix wine64 googletest ;;
    web) want emscripten chromium node-typescript ;;
    *) echo "install_deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "install_deps: missing (install as root): ${missing[*]}" >&2
  exit 1
fi
echo "install_deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
