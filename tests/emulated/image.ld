ENTRY(_start32)
SECTIONS {
  . = 0x100000;
  _load_start = .;
  .multiboot : { *(.multiboot) }
  .text32 : { *(.text32) }
  .text : { *(.text .text.*) }
  .rodata : { *(.rodata .rodata.*) }
  .init_array : { __init_array_start = .; KEEP(*(.init_array .init_array.*)) __init_array_end = .; }
  .data : { *(.data .data.*) }
  _load_end = .;
  .bss : { *(.bss .bss.*) *(COMMON) }
  _bss_end = .;
  /DISCARD/ : { *(.eh_frame) *(.note*) *(.comment) }
}
