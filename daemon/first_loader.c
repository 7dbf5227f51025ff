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

/* What get_byte and receive_frame return besides a byte (0..255). */
#define TIMED_OUT   (-1)
#define BREAK       (-2)
#define FRAME       0x100

typedef volatile uint8_t *channel_regs;

/* The request as received, from CMD on; its address is word-aligned. */
#define REQUEST     ((uint8_t *)(uintptr_t)FIRST_LOADER_BUFFER)
#define REQUEST_ADDRESS (*(volatile uint32_t *)(uintptr_t)(FIRST_LOADER_BUFFER + LINK_BUF_DATA))
_Static_assert((FIRST_LOADER_BUFFER + LINK_BUF_DATA) % 2u == 0, "the request's address must be word-aligned");

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

/* One byte, gone from the line when this returns: a speed change or a jump
   may follow at once. */
static void answer(channel_regs ch, uint8_t byte)
{
    wait_status(ch, SR_TXRDY);
    ch[R_RB_TB] = byte;
    wait_status(ch, SR_TXEMT);
}

static int get_byte(channel_regs ch, uint32_t polls)
{
    while (!(ch[R_SR_CSR] & SR_RXRDY))
        if (--polls == 0)
            return TIMED_OUT;
    if (ch[R_SR_CSR] & SR_BREAK) {
        (void)ch[R_RB_TB]; /* the 0x00 queued with the break */
        return BREAK;
    }
    return ch[R_RB_TB];
}

/* After STX: 0x00, CMD, LEN, data, CK, ETX into REQUEST from CMD on. FRAME
   when the frame is whole and its checksum holds, else TIMED_OUT or BREAK. */
static int receive_frame(channel_regs ch)
{
    uint8_t *buffer = REQUEST;
    uint8_t sum = 0;
    uint32_t i;
    uint32_t end = LINK_BUF_DATA;
    int c = get_byte(ch, RX_POLLS);

    if (c != LINK_FRAME_ZERO)
        return c < 0 ? c : TIMED_OUT;
    for (i = 0; i < end + 2; ++i) {
        if ((c = get_byte(ch, RX_POLLS)) < 0)
            return c;
        buffer[i] = (uint8_t)c;
        if (i == LINK_BUF_LEN)
            end = LINK_BUF_DATA + (uint32_t)c;
        if (i < end)
            sum = (uint8_t)(sum + c);
    }
    return buffer[end] == sum && buffer[end + 1] == LINK_ETX ? FRAME : TIMED_OUT;
}

uint32_t first_loader_main(void)
{
    channel_regs ch = (channel_regs)(uintptr_t)(REG16(MONITOR_CONSOLE) == 0x0C00 ? CHANNEL_A : CHANNEL_B);
    uint8_t *request = REQUEST;

    for (;;) {
        int c = get_byte(ch, RX_POLLS);

        if (c == TIMED_OUT)
            continue;
        if (c == LINK_ENQ) {
            answer(ch, LINK_ACK);
            continue;
        }
        if (c == LINK_STX)
            c = receive_frame(ch);
        if (c == FRAME) {
            uint8_t len = request[LINK_BUF_LEN];
            uint8_t code = request[LINK_BUF_DATA];
            uint32_t at = REQUEST_ADDRESS;

            switch (request[LINK_BUF_CMD]) {
            case LINK_CMD_BAUD_CONTROL: /* speed code: ACK, then the switch */
                if (len >= 1 && code <= 0x0F) {
                    answer(ch, LINK_ACK);
                    ch[R_SR_CSR] = (uint8_t)((code << 4) | code);
                }
                break;
            case LINK_CMD_RUN_AT:
                if (len >= LINK_ADDRESS_BYTES && !(at & 1u)) {
                    answer(ch, LINK_ACK);
                    return at;
                }
                break;
            case LINK_CMD_WRITE_MEMORY: /* refused over the loader itself */
                if (len >= LINK_ADDRESS_BYTES) {
                    uint32_t n = len - LINK_ADDRESS_BYTES;
                    uint32_t i;
                    if (at < FIRST_LOADER_END && at + n > FIRST_LOADER_BASE) {
                        answer(ch, LINK_NAK);
                        break;
                    }
                    for (i = 0; i < n; ++i)
                        ((uint8_t *)(uintptr_t)at)[i] = request[LINK_BUF_PAYLOAD + i];
                    answer(ch, LINK_ACK);
                }
                break;
            }
            continue;
        }
        /* Noise, a damaged frame or a break: the line goes quiet first. */
        while (c != BREAK && (c = get_byte(ch, QUIET_POLLS)) != TIMED_OUT)
            ;
        if (c == BREAK)
            break;
    }
    ch[R_SR_CSR] = CSR_9600;
    return 0;
}
