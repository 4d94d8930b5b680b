// A multiboot image that enters 64-bit mode with the AVX-512 register state
// enabled and calls boot_main(): the vector kernels run on an emulated CPU
// that has the instructions this machine may lack.
    .set MB_MAGIC, 0x1BADB002
    .set MB_FLAGS, 0x00010003          /* page-align, mem info, address kludge */
    .section .multiboot, "a"
    .align 4
mb_header:
    .long MB_MAGIC
    .long MB_FLAGS
    .long -(MB_MAGIC + MB_FLAGS)
    .long mb_header                    /* header_addr */
    .long _load_start                  /* load_addr */
    .long _load_end                    /* load_end_addr */
    .long _bss_end                     /* bss_end_addr */
    .long _start32                     /* entry_addr */

    .section .text32, "ax"
    .code32
    .globl _start32
_start32:
    cli
    movl $stack_top, %esp
    /* page tables: PML4[0] -> PDPT, PDPT[0] -> PD, PD = 512 x 2 MiB */
    movl $pdpt, %eax
    orl $3, %eax
    movl %eax, pml4
    movl $pd, %eax
    orl $3, %eax
    movl %eax, pdpt
    xorl %ecx, %ecx
1:  movl %ecx, %eax
    shll $21, %eax
    orl $0x83, %eax
    movl %eax, pd(,%ecx,8)
    movl $0, pd+4(,%ecx,8)
    incl %ecx
    cmpl $512, %ecx
    jne 1b
    movl $pml4, %eax
    movl %eax, %cr3
    movl %cr4, %eax
    orl $0x20, %eax                    /* PAE */
    movl %eax, %cr4
    movl $0xC0000080, %ecx
    rdmsr
    orl $0x100, %eax                   /* LME */
    wrmsr
    movl %cr0, %eax
    orl $0x80000001, %eax              /* PG | PE */
    movl %eax, %cr0
    lgdt gdt_ptr
    ljmp $0x08, $_start64

    .code64
_start64:
    movw $0x10, %ax
    movw %ax, %ds
    movw %ax, %es
    movw %ax, %ss
    movw %ax, %fs
    movw %ax, %gs
    movabsq $stack_top, %rsp
    /* SSE, then XSAVE with x87 | SSE | AVX | opmask | ZMM_Hi256 | Hi16_ZMM */
    movq %cr0, %rax
    andq $~4, %rax
    orq $2, %rax
    movq %rax, %cr0
    movq %cr4, %rax
    orq $(1 << 9) | (1 << 10) | (1 << 18), %rax
    movq %rax, %cr4
    xorl %ecx, %ecx
    movl $0xE7, %eax
    xorl %edx, %edx
    xsetbv
    call boot_main
    /* a triple fault stops the emulator (reset_on_triple_fault=0) */
    lidt null_idt
    int3
2:  hlt
    jmp 2b

    .section .data
    .align 16
gdt:
    .quad 0
    .quad 0x00AF9A000000FFFF           /* 64-bit code */
    .quad 0x00CF92000000FFFF           /* data */
gdt_ptr:
    .word 3 * 8 - 1
    .long gdt
null_idt:
    .word 0
    .quad 0

    .section .bss
    .align 4096
pml4: .skip 4096
pdpt: .skip 4096
pd:   .skip 4096
    .align 16
    .skip 4 * 1024 * 1024
stack_top:
