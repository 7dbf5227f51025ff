/* What the daemon's modules share beside the memory map (board_map.h) and
   the bytes on the line (link_protocol.h): the boot monitor's words and
   register access. */
#ifndef DE_BOARD_H
#define DE_BOARD_H

#include <stdint.h>

#include "board_map.h"

/* Boot monitor words the daemon relies on. */
#define MONITOR_CONSOLE   0x806u    /* 0x0C00: channel A, else channel B */
#define MONITOR_SELECT    0x1CAu    /* 0xD0 selects the re-entry at 0x1DA */
#define MONITOR_ENTRY_D0  0x1DAu
#define MONITOR_ENTRY     0x1C8u

#define REG16(a) (*(volatile uint16_t *)(uintptr_t)(a))
#define REG8(a)  (*(volatile uint8_t *)(uintptr_t)(a))

#endif
