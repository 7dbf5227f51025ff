/* Board addresses and protocol bytes shared by the daemon's modules. */
#ifndef DE_BOARD_H
#define DE_BOARD_H

#include <stdint.h>

/* AM29F400 flash, 16 bits wide. */
#define FLASH_BASE        0x400000u
#define FLASH_END         0x480000u /* first address past the flash */
#define LAST_PAGE         0x470000u /* last erase sector, 64 KiB */
#define SERIAL_AREA       0x47F000u /* top 4 KiB of the last page */

/* RAM that holds the saved serial-number area or last page during an erase. */
#define SAVE_BUFFER       0x480000u

/* Boot monitor words the daemon relies on. */
#define MONITOR_CONSOLE   0x806u    /* 0x0C00: channel A, else channel B */
#define MONITOR_SELECT    0x1CAu    /* 0xD0 selects the re-entry at 0x1DA */
#define MONITOR_ENTRY_D0  0x1DAu
#define MONITOR_ENTRY     0x1C8u

/* Line control bytes. */
#define STX 0x02u
#define ETX 0x03u
#define ENQ 0x05u
#define ACK 0x06u
#define NAK 0x15u

#define REG16(a) (*(volatile uint16_t *)(uintptr_t)(a))
#define REG8(a)  (*(volatile uint8_t *)(uintptr_t)(a))

#endif
