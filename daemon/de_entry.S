/* First byte of the image. The boot monitor calls it; it leaves the
   monitor's stack behind and never returns. */
    .section .text.entry,"ax"
    .globl  entry_point
entry_point:
    move.l  #0x4A0000,%sp
    jsr     main
0:  bra.s   0b

    .section .note.GNU-stack,"",@progbits
