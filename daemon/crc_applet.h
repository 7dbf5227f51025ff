/* The CRC-32 applet's place in board RAM and its parameter area, shared by
   the applet (C) and the loader (C++). Everything lies in RAM the daemon
   never touches: above its data words (0x4A0000..0x4A000B) and below
   0x4B0000, clear of the erase save buffer (0x480000..0x48EFFF). */
#ifndef CRC_APPLET_H
#define CRC_APPLET_H

#include "link_protocol.h"

/* Code: the first long is the address of the daemon's send_buffer the
   applet was linked against; the entry point follows it. */
#define CRC_APPLET_BASE       0x4A1000u
#define CRC_APPLET_ENTRY      (CRC_APPLET_BASE + 4u)
#define CRC_APPLET_CODE_END   0x4A1800u
/* Parameters, big-endian longs: the number of ranges, then per range its
   address and its length in bytes. Kept to one store frame (30 ranges). */
#define CRC_APPLET_PARAMS     0x4A1800u
#define CRC_APPLET_MAX_RANGES ((LINK_WRITE_CHUNK - 4u) / 8u)
/* Work areas the applet fills itself: the 256-entry table and the reply. */
#define CRC_APPLET_TABLE      0x4A2000u
#define CRC_APPLET_REPLY      0x4A2400u
/* A range is split at each multiple of the block size; every piece gets one
   CRC, sent as 4 big-endian bytes, as many as one data reply holds (63). */
#define CRC_APPLET_BLOCK      256u
#define CRC_APPLET_PER_REPLY  (LINK_MAX_LEN / 4u)

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
// The applet as linked, from CRC_APPLET_BASE (generated/CrcAppletData.cpp).
extern const std::uint8_t crcApplet[];
extern const std::size_t crcAppletSize;
#endif

#endif
