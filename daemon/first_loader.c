/* The first-step loader (first_loader.h). Polled, on the channel the boot
   monitor uses, with the daemon's frame rules: a damaged frame gets no
   answer, and the rest of its burst is swallowed until the line is quiet so
   that a 0x02 or 0x05 inside it is not answered. */
#include <stdint.h>

#include "de_board.h"
#include "first_loader.h"

/* DUART: registers two bytes apart from 0xC01 (channel A) or 0xC11 (B). */
#define CHANNEL_A   0xC01u
#define CHANNEL_B   0xC11u
#define R_SR_CSR    2u
#define R_RB_TB     6u
#define SR_RXRDY    0x01u
#define SR_TXRDY    0x04u
#define SR_TXEMT    0x08u
#define SR_BREAK    0x80u
#define CSR_9600    0xBBu

/* Polls of the status register: a frame's next character within about
   0.1 s, a quiet line after noise of about 3 ms, and a transmitter that
   stays busy this long (disabled, or held by CTS) is given up on. */
#define RX_POLLS    100000u
#define QUIET_POLLS 450u
#define TX_POLLS    1000000u

enum { GOT, TIMED_OUT, BREAK };

typedef volatile uint8_t *channel_regs;

uint32_t first_loader_main(void);

/* The monitor calls the first byte. first_loader_main returns where to go:
   0 back to the monitor (a break), else the code a run request named,
   entered by a jump so that it finds the monitor's return address on top of
   the stack, as when the monitor calls it. */
__asm__(
    "    .section .text.entry,\"ax\"\n"
    "    .globl  first_loader\n"
    "first_loader:\n"
    "    jsr     first_loader_main\n"
    "    tst.l   %d0\n"
    "    jeq     1f\n"
    "    move.l  %d0,%a0\n"
    "    jmp     (%a0)\n"
    "1:  rts\n"
    "    .text\n");

static void wait_status(channel_regs ch, uint8_t bit)
{
    uint32_t polls;
    for (polls = 0; polls < TX_POLLS; ++polls)
        if (ch[R_SR_CSR] & bit)
            return;
}

static void send_byte(channel_regs ch, uint8_t byte)
{
    wait_status(ch, SR_TXRDY);
    ch[R_RB_TB] = byte;
}

/* Both halves of the clock select, once what was sent has left at the old
   speed. */
static void set_speed(channel_regs ch, uint8_t code)
{
    wait_status(ch, SR_TXEMT);
    ch[R_SR_CSR] = (uint8_t)((code << 4) | code);
}

static int get_byte(channel_regs ch, uint8_t *out, uint32_t polls)
{
    while (!(ch[R_SR_CSR] & SR_RXRDY))
        if (--polls == 0)
            return TIMED_OUT;
    if (ch[R_SR_CSR] & SR_BREAK) {
        (void)ch[R_RB_TB]; /* the 0x00 queued with the break */
        return BREAK;
    }
    *out = ch[R_RB_TB];
    return GOT;
}

/* After STX: 0x00, CMD, LEN, data, CK, ETX into buffer from CMD on. GOT
   when the frame is whole and its checksum holds, TIMED_OUT when damaged. */
static int receive_frame(channel_regs ch, uint8_t *buffer)
{
    uint8_t sum = 0;
    uint32_t i;
    uint32_t end = LINK_BUF_DATA;
    int got = get_byte(ch, buffer, RX_POLLS);

    if (got != GOT)
        return got;
    if (buffer[0] != LINK_FRAME_ZERO)
        return TIMED_OUT;
    for (i = 0; i < end + 2; ++i) {
        got = get_byte(ch, &buffer[i], RX_POLLS);
        if (got != GOT)
            return got;
        if (i == LINK_BUF_LEN)
            end = LINK_BUF_DATA + buffer[LINK_BUF_LEN];
        if (i < end)
            sum = (uint8_t)(sum + buffer[i]);
    }
    return buffer[end] == sum && buffer[end + 1] == LINK_ETX ? GOT : TIMED_OUT;
}

static uint32_t address_of(const uint8_t *buffer)
{
    const uint8_t *p = buffer + LINK_BUF_DATA;
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* 0x81: ADDR, payload. Refused over the loader itself. */
static void store(channel_regs ch, const uint8_t *buffer)
{
    uint32_t at = address_of(buffer);
    uint32_t n = (uint32_t)buffer[LINK_BUF_LEN] - LINK_ADDRESS_BYTES;
    uint8_t *dst = (uint8_t *)(uintptr_t)at;
    uint32_t i;

    if (at < FIRST_LOADER_END && at + n > FIRST_LOADER_BASE) {
        send_byte(ch, LINK_NAK);
        return;
    }
    for (i = 0; i < n; ++i)
        dst[i] = buffer[LINK_BUF_PAYLOAD + i];
    send_byte(ch, LINK_ACK);
}

uint32_t first_loader_main(void)
{
    channel_regs ch = (channel_regs)(uintptr_t)(REG16(MONITOR_CONSOLE) == 0x0C00 ? CHANNEL_A : CHANNEL_B);
    uint8_t *buffer = (uint8_t *)(uintptr_t)FIRST_LOADER_BUFFER;

    for (;;) {
        uint8_t byte;
        int got = get_byte(ch, &byte, RX_POLLS);

        if (got == TIMED_OUT)
            continue;
        if (got == GOT && byte == LINK_ENQ) {
            send_byte(ch, LINK_ACK);
            continue;
        }
        if (got == GOT && byte == LINK_STX)
            got = receive_frame(ch, buffer);
        if (got == BREAK)
            break;
        if (got == GOT && byte == LINK_STX) {
            uint8_t len = buffer[LINK_BUF_LEN];
            switch (buffer[LINK_BUF_CMD]) {
            case LINK_CMD_WRITE_MEMORY:
                if (len >= LINK_ADDRESS_BYTES)
                    store(ch, buffer);
                continue;
            case LINK_CMD_RUN_AT:
                if (len < LINK_ADDRESS_BYTES || (address_of(buffer) & 1u))
                    continue;
                send_byte(ch, LINK_ACK);
                wait_status(ch, SR_TXEMT);
                return address_of(buffer);
            case LINK_CMD_BAUD_CONTROL:
                if (len < 1 || buffer[LINK_BUF_DATA] > 0x0F)
                    continue;
                send_byte(ch, LINK_ACK);
                set_speed(ch, buffer[LINK_BUF_DATA]);
                continue;
            default:
                continue;
            }
        }
        /* Noise, or a damaged frame: let the line go quiet first. */
        while ((got = get_byte(ch, &byte, QUIET_POLLS)) == GOT)
            ;
        if (got == BREAK)
            break;
    }
    set_speed(ch, CSR_9600 & 0x0Fu);
    return 0;
}
