/* How long the flash may take, and how long the daemon and the loader wait
   for it: every limit follows from the AM29F400 data sheet's maximum times,
   here and nowhere else. Shared by the daemon (C) and the loader (C++).

   The daemon gives up before the loader does, so that a chip that never
   finishes is reported as a NAK rather than as silence. */
#ifndef DE_FLASH_LIMITS_H
#define DE_FLASH_LIMITS_H

/* Data sheet maximums (worst temperature, supply and wear). */
#define AM_SECTOR_ERASE_MAX_MS  8000u
#define AM_SECTORS              11u
#define AM_CHIP_ERASE_MAX_MS    (AM_SECTOR_ERASE_MAX_MS * AM_SECTORS) /* 88 s */
#define AM_WORD_PROGRAM_MAX_US  300u

/* The daemon's limits: the worst case plus a margin. */
#define ERASE_LIMIT_MS          (AM_CHIP_ERASE_MAX_MS + 12000u)       /* 100 s */
#define PROGRAM_LIMIT_US        (AM_WORD_PROGRAM_MAX_US * 10u)        /* 3 ms */

/* The loader's wait for an erase's status byte: the daemon's limit plus room
   for a slower poll loop than the one counted below, and the reply. */
#define LOADER_ERASE_WAIT_MS    (ERASE_LIMIT_MS + 20000u)             /* 120 s */

/* The daemon counts polls, not time. One pass of its program poll loop (read,
   two tests, count) takes about this many clocks on the CPU32 at the board's
   16.78 MHz: 16 bytes of code and one flash read. */
#define CPU_CLOCK_HZ            16777216u
#define FLASH_POLL_CLOCKS       36u
#define POLLS_PER_MS            (CPU_CLOCK_HZ / 1000u / FLASH_POLL_CLOCKS) /* 466 */

/* A pass of the erase wait also serves the line (am_busy): about 148
   clocks, as the simulated board measures it at 5 clocks an instruction. */
#define ERASE_POLL_CLOCKS       148u
#define ERASE_POLLS_PER_MS      (CPU_CLOCK_HZ / 1000u / ERASE_POLL_CLOCKS) /* 113 */

#define ERASE_POLLS             (ERASE_LIMIT_MS * ERASE_POLLS_PER_MS)
#define PROGRAM_POLLS           (PROGRAM_LIMIT_US * POLLS_PER_MS / 1000u)

#endif
