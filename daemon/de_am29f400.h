/* AM29F400 flash driver: word programming and erasing, polled. */
#ifndef DE_AM29F400_H
#define DE_AM29F400_H

#include <stdint.h>

/* 0 when the word was programmed and reads back, 1 otherwise. */
int am_program_word(uint32_t address, uint16_t data);
/* 0 when the sector holding address is erased, 1 when the chip gave up. */
int am_erase_page(uint32_t address);
/* 0 when the whole chip is erased, 1 when the chip gave up. */
int am_erase_chip(void);

/* Supplied by the program that uses the driver: called on every pass of an
   erase's wait, so that the line is served while the chip is busy. */
void am_busy(void);

#endif
