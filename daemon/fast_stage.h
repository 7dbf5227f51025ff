/* The fast stage: a program the daemon stores (0x81) and calls (0x82) that
   takes the line over with its own strict command loop, optionally at
   57,600 baud from the DUART's counter/timer, takes program frames in a
   pipeline, and gives the line back to the daemon at 38,400 baud. Shared by
   the stage (C) and the loader (C++).

   Everything lies in the RAM the loader has always used (0x480000 to
   0x4A000B): code from 0x498000, a compressed chunk and its inflated bytes
   from 0x49B000 to 0x49D800, the check's CRC table up to 0x49DC00, the
   daemon's own stack below 0x4A0000. The
   daemon's code ends near 0x490A00. Its erase save buffer (0x480000 to
   0x48EFFF) is not the daemon's while the stage runs: the stage keeps the
   serial-number area in its first 4 KiB while it erases the last sector,
   as the daemon's chip erase does, and its ring of frame slots in the rest,
   large enough to take about ten seconds of line at 57,600 while a sector
   erases. */
#ifndef FAST_STAGE_H
#define FAST_STAGE_H

#include "link_protocol.h" /* the stage's frames, commands and answers */

/* Code: the first long is the address of the daemon's PORT word (the
   channel the daemon serves) the stage was linked against; the entry point
   follows it. The parameters (below) are stored before the call. */
#define STAGE_BASE            0x498000u
#define STAGE_ENTRY           (STAGE_BASE + 4u)
#define STAGE_CODE_END        0x499F00u
/* Parameters, bytes: the speed wanted (STAGE_SPEED_*), the counter/timer
   preload high and low bytes (2 for 57,600: X1 / (32 x preload)). */
#define STAGE_PARAMS          0x499F00u
#define STAGE_SPEED_KEEP      0x00u /* stay at 38,400 */
#define STAGE_SPEED_TIMER     0x01u /* counter/timer clock, fall back to 38,400 */
/* A compressed chunk (STAGE_CMD_DATA, STAGE_CMD_INFLATE) gathered and
   inflated here; its length and history have these limits. */
#define STAGE_CHUNK_IN        0x49B000u /* compressed bytes, up to STAGE_CHUNK_IN_MAX */
#define STAGE_CHUNK_IN_MAX    0x1800u
#define STAGE_CHUNK_OUT       0x49C800u /* the inflated chunk */
#define STAGE_CHUNK_MAX       0x1000u
#define STAGE_HISTORY_MAX     0x8000u
/* The check's CRC-32 table (1 KiB), which the stage builds, below the
   stack. */
#define STAGE_CRC_TABLE       0x49D800u
/* Frame slots: a ring of STAGE_SLOTS, each holding one frame that goes
   through the ring (program, data, inflate, erase). */
#define STAGE_RING            0x481000u
#define STAGE_SLOT_SIZE       264u
#define STAGE_SLOTS           217u /* up to 0x48EFC8, inside the save buffer */
/* The serial-number area's words while the last sector erases. */
#define STAGE_SERIAL_COPY     0x480000u
/* A frame repeated at most this many frames behind the last one answered
   is answered again (its answer was lost); the loader never goes back
   further than its window. */
#define STAGE_REPEATS         16u

/* Time-outs, in passes of the stage's loops: the host must ping at the new
   speed within about 0.7 s (passes of about 7 us) or the stage goes back to
   38,400; with no frame for about 7 s (passes of about 1.5 us while idle)
   the stage gives the line back to the daemon. */
#define STAGE_HANDSHAKE_POLLS 100000u
/* A frame whose next character does not come within about 10 ms is
   dropped; the loader sends each frame in one piece. */
#define STAGE_GAP_POLLS       2500u
#define STAGE_IDLE_POLLS      5000000u

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
// The stage as linked, from STAGE_BASE (generated/FastStageData.cpp).
extern const std::uint8_t fastStage[];
extern const std::size_t fastStageSize;
#endif

#endif
