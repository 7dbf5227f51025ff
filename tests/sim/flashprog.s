| Runs on the simulated board's CPU from RAM: programs one flash word, erases
| the sector at 0x410000 with data polling, reports 'K' on DUART channel A and
| returns to the caller.
    .text
start:
    move.w  #0x00F0,0x400000
    move.w  #0x00AA,0x40AAAA
    move.w  #0x0055,0x405554
    move.w  #0x00A0,0x40AAAA
    move.w  #0x1234,0x400100
1:  move.w  0x400100,%d0
    cmp.w   #0x1234,%d0
    bne.s   1b
    move.w  #0x00F0,0x400000
    move.w  #0x00AA,0x40AAAA
    move.w  #0x0055,0x405554
    move.w  #0x0080,0x40AAAA
    move.w  #0x00AA,0x40AAAA
    move.w  #0x0055,0x405554
    move.w  #0x0030,0x418000
2:  move.w  0x418000,%d0
    btst    #7,%d0
    beq.s   2b
3:  btst    #2,0xC03
    beq.s   3b
    move.b  #0x4B,0xC07
    rts
