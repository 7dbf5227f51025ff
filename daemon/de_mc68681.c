/* MC68681 DUART driver. Registers sit on the low byte lane, two bytes
   apart; channel A starts at 0xC01, channel B at 0xC11. Only the clock-select
   registers are written: mode, command and auxiliary registers keep what the
   boot monitor set. */
#include "de_mc68681.h"
#include "de_board.h"

extern uint32_t PORT;

#define CHANNEL_A  0xC01u
#define CHANNEL_B  0xC11u

/* Offsets from a channel's first register (registers are two bytes apart). */
#define SR_CSR     2u /* index 1 - read: status, write: clock select */
#define RB_TB      6u /* index 3 - read: receiver buffer, write: transmitter buffer */

#define SR_RXRDY   0x01u
#define SR_TXRDY   0x04u
#define SR_TXEMT   0x08u
#define SR_BREAK   0x80u

/* A character leaves in well under a second at any speed of the chip; a
   transmitter that stays busy longer than this (disabled, or held by CTS) is
   given up on, so the daemon keeps serving instead of hanging. */
#define TX_POLLS   1000000u

typedef volatile uint8_t *channel_regs;

__attribute__((noinline)) static channel_regs channel(uint32_t port)
{
    return (channel_regs)(uintptr_t)(port == 0 ? CHANNEL_A : CHANNEL_B);
}

static void wait_status(channel_regs ch, uint8_t bit)
{
    uint32_t polls;
    for (polls = 0; polls < TX_POLLS; ++polls)
        if (ch[SR_CSR] & bit)
            return;
}

int mc_byte_ready(uint32_t port)
{
    return (channel(port)[SR_CSR] & SR_RXRDY) ? 1 : 0;
}

int mc_duart_break(uint32_t port)
{
    return channel(port)[SR_CSR] & SR_BREAK;
}


void mc_reset_break(uint32_t port)
{
    (void)channel(port)[RB_TB]; /* drop the 0x00 queued with the break */
}

uint8_t mc_get_byte(uint32_t port)
{
    return channel(port)[RB_TB];
}

int mc_send_byte(uint32_t port, uint8_t byte)
{
    channel_regs ch = channel(port);
    wait_status(ch, SR_TXRDY);
    ch[RB_TB] = byte;
    return 0;
}

uint8_t mc_take_byte(void)
{
    channel_regs ch = channel(PORT);
    /* A character that came with a break stays for the command loop. */
    if ((ch[SR_CSR] & (SR_RXRDY | SR_BREAK)) == SR_RXRDY)
        return ch[RB_TB];
    return 0;
}

void mc_set_baud_rate(uint32_t port, uint8_t code)
{
    channel_regs ch = channel(port);
    /* Let what was already sent leave at the old speed. */
    wait_status(ch, SR_TXEMT);
    ch[SR_CSR] = (uint8_t)((code << 4) | code);
}

void mc_reset_baud(void)
{
    wait_status(channel(PORT), SR_TXEMT);
    REG8(CHANNEL_A + SR_CSR) = 0xBB; /* 9600 baud in either baud-rate set */
    REG8(CHANNEL_B + SR_CSR) = 0xBB;
}
