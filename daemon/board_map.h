/* The board's memory as the loader and the board's programs use it, in one
   place for both (C for the m68k compiler, C++ for the loader). */
#ifndef BOARD_MAP_H
#define BOARD_MAP_H

/* AM29F400 flash, 16 bits wide. */
#define BOARD_FLASH_BASE  0x400000u
#define BOARD_FLASH_END   0x480000u /* first address past the flash */
#define BOARD_LAST_PAGE   0x470000u /* last erase sector, 64 KiB */
#define BOARD_SERIAL_AREA 0x47F000u /* top 4 KiB of the last page, kept by a chip erase */

/* RAM that holds the saved serial-number area or last page during an erase. */
#define BOARD_SAVE_BUFFER 0x480000u

/* The daemon's code starts here; its first byte is the entry point. */
#define BOARD_DAEMON_BASE 0x490000u

#endif
