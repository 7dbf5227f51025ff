/* The line between the loader and the board, in one place: control bytes,
   command codes, frame layout and limits. Compiled as C by every program
   that runs on the board (the daemon, the CRC applet) and as C++ by the
   loader and the simulated board, so that a limit changes once for all of
   them. The boot monitor speaks the same framing for 0x81, 0x82 and the
   ping.

   Frame, both directions:

       STX 00 CMD LEN DATA[LEN] CK ETX

   CK is the low 8 bits of CMD + LEN + every DATA byte (no complement).
   Multi-byte values are big-endian. ACK and NAK go as single bytes, never
   framed; so does the ping. */
#ifndef LINK_PROTOCOL_H
#define LINK_PROTOCOL_H

/* Control bytes. */
#define LINK_STX 0x02u
#define LINK_ETX 0x03u
#define LINK_ENQ 0x05u
#define LINK_ACK 0x06u
#define LINK_NAK 0x15u
/* A daemon busy erasing answers ENQ with SYN ("still at it"), so that the
   loader can tell a slow erase from a dead line; its version reply says so
   (LINK_VERSION_BUSY_ANSWER). A board that is not busy answers ENQ with
   ACK, as ever. */
#define LINK_SYN 0x16u

/* The ping: four raw bytes. A board waiting for a frame answers its first
   byte, ENQ, with one ACK and takes the rest for noise. */
#define LINK_PING_0 LINK_ENQ
#define LINK_PING_1 0x0Au
#define LINK_PING_2 0x14u
#define LINK_PING_3 0x28u
#define LINK_PING_BYTES 4u

/* The hand-over. An application running on the board may own the line:
   after a 500 ms break the loader sends the break message, then the
   attention request, which the application answers with "**" before it
   gives the line to the boot monitor. Both are DLE-framed: DLE, a code, a
   letter, DLE, ETX; the command protocol does not use them. */
#define LINK_DLE 0x10u
#define LINK_BREAK_MESSAGE_CODE 0x1Fu
#define LINK_BREAK_MESSAGE { LINK_DLE, LINK_BREAK_MESSAGE_CODE, 0x42u, LINK_DLE, LINK_ETX }
#define LINK_ATTENTION_REQUEST { LINK_DLE, 0x1Eu, 0x54u, LINK_DLE, LINK_ETX }
#define LINK_HANDOVER_BYTES 5u
#define LINK_HANDOVER_ANSWER "**"

/* Requests. ADDR is DATA[0..3]; the payload of a store or program request
   is the LEN - 4 bytes after it. */
#define LINK_CMD_READ_MEMORY   0x80u /* ADDR, COUNT: a data reply of COUNT bytes */
#define LINK_CMD_WRITE_MEMORY  0x81u /* ADDR, payload: ACK once stored */
#define LINK_CMD_RUN_AT        0x82u /* ADDR: ACK, then the code there is called */
#define LINK_CMD_ERASE_SECTOR  0x83u /* ADDR in the sector: ACK (NAK) when done */
#define LINK_CMD_PROGRAM_FLASH 0x84u /* ADDR, payload: ACK, or NAK at the first failed word */
#define LINK_CMD_BAUD_CONTROL  0x86u /* speed code: ACK at the old speed, then the switch */
#define LINK_CMD_GO_TO_MONITOR 0x87u /* no answer */
#define LINK_CMD_SEND_VERSION  0x89u /* a data reply: the version */
#define LINK_CMD_ERASE_SERIAL  0x8Au /* ACK at once, ACK (NAK) when done */
#define LINK_CMD_ERASE_CHIP    0x8Fu /* ACK at once, ACK (NAK) when done */
/* Every request code lies in LINK_CMD_FIRST .. LINK_CMD_FIRST + LINK_CMD_SPAN - 1;
   0 is kept for "a line break was seen" on the board's side. */
#define LINK_CMD_FIRST 0x80u
#define LINK_CMD_SPAN  16u

/* The one reply frame: DATA holds the bytes asked for (or the CRCs of the
   applet, or the version). */
#define LINK_REPLY_DATA 0x92u

/* The version reply's one data byte. Version 1 answered nothing while it
   erased; version 2 answers ENQ with SYN then. */
#define LINK_VERSION_BUSY_ANSWER  0x02u

/* Speed codes of LINK_CMD_BAUD_CONTROL: the DUART's clock-select codes. */
#define LINK_SPEED_9600  0x0Bu
#define LINK_SPEED_38400 0x0Cu

/* Frame layout: offsets on the line. */
#define LINK_FRAME_STX_AT  0u
#define LINK_FRAME_ZERO_AT 1u /* always 0x00 */
#define LINK_FRAME_CMD_AT  2u
#define LINK_FRAME_LEN_AT  3u
#define LINK_FRAME_DATA_AT 4u /* then CK at 4 + LEN, ETX at 5 + LEN */
#define LINK_FRAME_ZERO    0x00u
#define LINK_FRAME_OVERHEAD 6u /* STX, 00, CMD, LEN, CK, ETX */
#define LINK_ADDRESS_BYTES 4u

/* The board's programs keep a frame from CMD on, the line's offsets less
   LINK_FRAME_CMD_AT: a request as received, a reply as send_buffer sends
   it. A store or program request's payload follows its address. */
#define LINK_BUF_CMD     (LINK_FRAME_CMD_AT - LINK_FRAME_CMD_AT)
#define LINK_BUF_LEN     (LINK_FRAME_LEN_AT - LINK_FRAME_CMD_AT)
#define LINK_BUF_DATA    (LINK_FRAME_DATA_AT - LINK_FRAME_CMD_AT)
#define LINK_BUF_PAYLOAD (LINK_BUF_DATA + LINK_ADDRESS_BYTES)

/* Limits. */
#define LINK_MAX_LEN 255u
/* A frame buffer: the board keeps a request from CMD on (LEN 255 takes
   259 bytes), the loader a whole frame up to LEN 254. */
#define LINK_FRAME_BUFFER 260u
/* The loader's store and program frames carry at most this many payload
   bytes, LEN 249, so that no frame exceeds 255 bytes. */
#define LINK_WRITE_CHUNK 245u
/* The most payload a frame can carry with its LEN in one byte and every
   frame word-aligned, so that no flash word is programmed by two frames. */
#define LINK_FULL_FRAME_PAYLOAD 250u
/* The loader asks for at most this many bytes in one read request. */
#define LINK_READ_CHUNK 128u

/* ---- The fast stage (fast_stage.h): called by 0x82, it serves the line
   with frames of its own until LEAVE. ---- */

/* Host to stage: STX, SEQ, CMD, LEN, DATA[LEN], CRC-16 high, low (CCITT,
   polynomial 0x1021, initial 0xFFFF, over SEQ..DATA). A frame that fails
   the check is dropped without a word. */
#define STAGE_STX             LINK_STX
#define STAGE_CMD_PING        0xA0u /* answer: ACK SEQ; BUSY SEQ while the ring cannot take a window */
#define STAGE_CMD_PROGRAM     0xA1u /* ADDR (4, even), words (even LEN - 4) */
#define STAGE_CMD_END         0xA2u /* the status frame once every frame is done; until then ACK (NAK) SEQ: ask again */
#define STAGE_CMD_LEAVE       0xA3u /* answer ACK SEQ, then back to the daemon at 38,400 */
/* A compressed chunk: its raw deflate bytes in DATA frames, then one
   INFLATE frame: ADDR (4, even), the chunk's length (2, even, at most
   STAGE_CHUNK_MAX) and how many bytes before ADDR the compressor was primed
   with (2, at most STAGE_HISTORY_MAX), both in fast_stage.h. Both go
   through the ring in SEQ order like program frames and are answered the
   same way. */
#define STAGE_CMD_DATA        0xA4u
#define STAGE_CMD_INFLATE     0xA5u
/* Erase the sector holding ADDR (4, even), through the ring in SEQ order
   like program frames: frames keep being taken and answered into the ring
   while it erases. With the sector's SIZE (4) after ADDR, a sector that
   reads 0xFFFF throughout (the serial-number area not looked at) is left
   as it is. The last sector's serial-number area is kept: copied to
   RAM first and programmed back after the erase (blank words left out), as
   the daemon's chip erase does. */
#define STAGE_CMD_ERASE       0xA6u
/* Check the flash against the file, through the ring after everything
   programmed: up to STAGE_CHECK_RANGES entries of ADDR (4) and LEN (4).
   A range's bytes go into the status frame's CRC-32, read from the flash
   in entry order; with STAGE_CHECK_BLANK set in LEN, the range must read
   0xFF throughout instead (the file's padding, left to the erase). */
#define STAGE_CMD_CHECK       0xA7u
#define STAGE_CHECK_BLANK     0x80000000u
#define STAGE_CHECK_RANGES    31u

/* The loader may have this many program frames unanswered. A frame is
   answered as soon as it is stored and checked, and only when the ring has
   room for this many more: programming a slot runs while the next ones
   arrive. */
#define STAGE_WINDOW          4u

/* Stage to host, per frame: ACK or NAK, then the frame's SEQ. NAK means an
   error is pending (sticky): nothing is programmed any more, and END tells
   which. */
#define STAGE_ACK             LINK_ACK
#define STAGE_NAK             LINK_NAK
/* A ping's answer while frames cannot be taken (the ring full, a sector
   erasing): unanswered frames were not lost, the loader waits. */
#define STAGE_BUSY            0x13u

/* The status frame: STX, STAGE_CMD_END, status, the failing address (4),
   the CRC-32 (zlib's) of the flash over the CHECK frames' ranges (4), the
   bytes programmed (4), the erases left out because their sector was blank
   already (1), CRC-16 high, low over status..that count. */
#define STAGE_STATUS_LEN      14u
#define STAGE_OK              0x00u
#define STAGE_ERR_PROGRAM     0x01u /* a word did not take (DQ5, or it reads back wrong) */
#define STAGE_ERR_ADDRESS     0x02u /* a frame outside the flash, odd, or too long */
#define STAGE_ERR_CHUNK       0x03u /* a chunk that does not inflate to its length */
#define STAGE_ERR_ERASE       0x04u /* the sector at the address did not erase (DQ5, or no end) */
#define STAGE_ERR_SERIAL      0x05u /* the serial-number area did not program back: the word at
                                       the address; its copy is still at STAGE_SERIAL_COPY */
#define STAGE_ERR_BLANK       0x06u /* a CHECK range that should be blank is not: the first word
                                       that is not */

#endif
