/* The first-step loader: a small program the boot monitor stores (0x81) and
   calls (0x82) at 9600 baud. It speaks the monitor's frames for 0x81 and
   0x82 and the daemon's 0x86, so the loader can raise the line to 38,400
   and store the daemon there four times faster; its 0x82 starts the daemon
   as the monitor's would (a jump, with the monitor's return address still
   on the stack), the line left at the speed it runs at. On a line break it
   sets its channel back to 9600 and returns to the monitor. Shared by the
   program (C) and the loader (C++).

   It lies in the erase save buffer (0x480000..0x48EFFF), which nothing uses
   before the daemon runs and which the daemon's image does not touch. */
#ifndef FIRST_LOADER_H
#define FIRST_LOADER_H

#include "link_protocol.h"

/* Code from FIRST_LOADER_BASE, entry first; a request is kept at
   FIRST_LOADER_BUFFER (LINK_FRAME_BUFFER bytes), stores over either are
   refused with NAK. */
#define FIRST_LOADER_BASE     0x480000u
#define FIRST_LOADER_CODE_END 0x480400u
#define FIRST_LOADER_BUFFER   0x480400u
#define FIRST_LOADER_END      (FIRST_LOADER_BUFFER + LINK_FRAME_BUFFER)

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
// The loader as linked, from FIRST_LOADER_BASE (generated/FirstLoaderData.cpp).
extern const std::uint8_t firstLoader[];
extern const std::size_t firstLoaderSize;
#endif

#endif
