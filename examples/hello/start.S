| Entry of the example ROM: the board's restart runs the code at 0x400420.
    .section .entry, "ax"
    .globl  _start
_start:
    move.l  #0x4A0000, %sp      | a stack of our own in RAM
    jsr     main
1:  bra.s   1b
