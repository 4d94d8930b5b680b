// Exception stubs: each pushes its vector (and a 0 where the CPU pushes no
// error code) and reports through fault_handler().
    .code64
    .text
    .macro STUB n, err
    .globl isr\n
isr\n:
    .if \err == 0
    pushq $0
    .endif
    pushq $\n
    jmp isr_common
    .endm
    STUB 0,0
    STUB 1,0
    STUB 2,0
    STUB 3,0
    STUB 4,0
    STUB 5,0
    STUB 6,0
    STUB 7,0
    STUB 8,1
    STUB 9,0
    STUB 10,1
    STUB 11,1
    STUB 12,1
    STUB 13,1
    STUB 14,1
    STUB 15,0
    STUB 16,0
    STUB 17,1
    STUB 18,0
    STUB 19,0
isr_common:
    movq %rsp, %rdi
    andq $-16, %rsp
    call fault_handler
1:  hlt
    jmp 1b
    .section .data
    .globl fault_stubs
fault_stubs:
    .quad isr0, isr1, isr2, isr3, isr4, isr5, isr6, isr7, isr8, isr9
    .quad isr10, isr11, isr12, isr13, isr14, isr15, isr16, isr17, isr18, isr19
