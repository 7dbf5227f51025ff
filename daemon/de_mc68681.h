/* MC68681 DUART driver: one channel at a time, polled. port 0 is channel A,
   anything else channel B. */
#ifndef DE_MC68681_H
#define DE_MC68681_H

#include <stdint.h>

int mc_byte_ready(uint32_t port);
int mc_duart_break(uint32_t port);
void mc_reset_break(uint32_t port);
uint8_t mc_get_byte(uint32_t port);
int mc_send_byte(uint32_t port, uint8_t byte);
/* The character waiting on the daemon's channel, taken; 0 when none is (or
   it came with a break, which stays for the command loop). */
uint8_t mc_take_byte(void);
void mc_set_baud_rate(uint32_t port, uint8_t code);
void mc_reset_baud(void);

#endif
