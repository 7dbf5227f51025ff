/* The fast stage (fast_stage.h): called by the daemon's 0x82, it serves the
   line itself until the loader sends LEAVE, a break arrives or the line stays
   silent too long, then returns to the daemon's loop. The receiver is read
   on every pass of every loop, flash waits included: at 57,600 baud a
   character arrives every 174 us and the DUART holds only four. */
#include <stdint.h>

#include "de_board.h"
#include "de_flash_limits.h"
#include "fast_stage.h"
#include "inflate_block.h"

/* The daemon's channel word; its address comes from the daemon's map. */
extern volatile uint32_t PORT;

void fast_stage(void);

__attribute__((section(".stage_header"), used))
volatile uint32_t *const fast_stage_port = &PORT;

/* DUART: registers two bytes apart from 0xC01 (channel A) or 0xC11 (B). */
#define DUART         0xC01u
#define R_SR_CSR      2u
#define R_RB_TB       6u
#define ACR           (DUART + 2u * 4u)
#define CTUR          (DUART + 2u * 6u)
#define CTLR          (DUART + 2u * 7u)
#define START_COUNTER (DUART + 2u * 14u) /* read: start counter command */
#define SR_RXRDY      0x01u
#define SR_TXRDY      0x04u
#define SR_TXEMT      0x08u
#define SR_BREAK      0x80u
#define CSR_38400     0xCCu /* ACR bit 7 is 0, the monitor's set */
#define CSR_9600      0xBBu
#define CSR_TIMER     0xDDu
/* ACR: bit 7 0 (the monitor's baud-rate set), timer mode on X1 (110), no
   input-change interrupts. The counter-ready interrupt stays masked: IMR is
   never written. */
#define ACR_TIMER_X1  0x60u

/* Flash: commands in the low byte of 16-bit cycles. */
#define CMD_ADDR_1    0x40AAAAu
#define CMD_ADDR_2    0x405554u
#define DQ7           0x0080u
#define DQ5           0x0020u
#define STAGE_PROGRAM_POLLS 20000u /* far past the 300 us worst case at any loop pace */
/* A sector erase ends, or raises DQ5, within the data sheet's 8 s; the
   limit only catches a chip that does neither. Counted in the daemon's poll
   passes, so that at the stage's slower pass it lasts longer still. */
#define STAGE_ERASE_POLLS ((AM_SECTOR_ERASE_MAX_MS + 2000u) * POLLS_PER_MS)
#define SERIAL_WORDS  ((BOARD_FLASH_END - BOARD_SERIAL_AREA) / 2u)

#define TX_RING       16u

struct stage {
    volatile uint8_t *ch;
    /* receiver: the frame being assembled */
    uint32_t rxState;
    uint32_t rxGap;     /* passes without a character inside a frame */
    uint32_t rxCount;
    uint16_t rxCrc;
    uint8_t rxSeq, rxCmd, rxLen;
    uint8_t rxCrcHi;
    uint8_t *rxBuf; /* the slot the frame lands in */
    /* frames: counters run on; a slot's index is the counter mod STAGE_SLOTS */
    uint32_t received;   /* program frames stored */
    uint32_t answered;   /* of those, answered */
    uint32_t programmed; /* of those, programmed */
    int endAsked;
    int leaveAsked;
    uint8_t endSeq, leaveSeq;
    int broken;          /* a break arrived */
    int settled;         /* the speed is settled: a break now means the host wants out */
    int heard;           /* a good frame arrived since the last look */
    uint32_t blankSectors; /* erases left out: the sector was blank */
    int crcTable;          /* the CRC-32 table is built */
    /* the sticky error and the check */
    uint8_t error;
    uint32_t errorAddress;
    uint32_t crc;
    uint32_t bytes;
    uint32_t chunkIn;    /* compressed bytes gathered */
    /* transmitter queue */
    uint8_t tx[TX_RING];
    uint32_t txHead, txTail;
    uint8_t header[4]; /* SEQ CMD LEN of a frame that is not a program frame */
};

static uint16_t crc16_nibble(uint16_t crc, uint8_t nibble)
{
    static const uint16_t table[16] = {
        0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
        0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
    };
    return (uint16_t)((crc << 4) ^ table[((crc >> 12) ^ nibble) & 0x0Fu]);
}

static uint16_t crc16(uint16_t crc, uint8_t byte)
{
    crc = crc16_nibble(crc, (uint8_t)(byte >> 4));
    return crc16_nibble(crc, (uint8_t)(byte & 0x0Fu));
}

static uint8_t *slot(uint32_t n)
{
    return (uint8_t *)(uintptr_t)(STAGE_RING + (n % STAGE_SLOTS) * STAGE_SLOT_SIZE);
}

static void queue(struct stage *s, uint8_t byte)
{
    s->tx[s->txHead % TX_RING] = byte;
    ++s->txHead;
}

static void answer(struct stage *s, uint8_t seq)
{
    queue(s, s->error ? STAGE_NAK : STAGE_ACK);
    queue(s, seq);
}

static int in_ring(uint8_t cmd)
{
    return cmd == STAGE_CMD_PROGRAM || cmd == STAGE_CMD_DATA || cmd == STAGE_CMD_INFLATE || cmd == STAGE_CMD_ERASE ||
           cmd == STAGE_CMD_CHECK;
}

/* A good frame: stores, answers or notes it. */
static void frame_done(struct stage *s)
{
    uint8_t seq = s->rxSeq;
    s->heard = 1;
    switch (s->rxCmd) {
    case STAGE_CMD_PROGRAM:
    case STAGE_CMD_DATA:
    case STAGE_CMD_INFLATE:
    case STAGE_CMD_ERASE:
    case STAGE_CMD_CHECK:
        if (seq == (uint8_t)s->received) {
            uint8_t *b = slot(s->received);
            b[0] = s->rxLen;
            b[1] = s->rxCmd;
            ++s->received;
        } else if ((uint8_t)(s->answered - 1u - seq) < STAGE_REPEATS) {
            answer(s, seq); /* already had it: the answer was lost */
        }
        /* anything else is ahead of a lost frame: the loader sends it again */
        break;
    case STAGE_CMD_PING:
        if (!s->error && s->received - s->programmed + STAGE_WINDOW > STAGE_SLOTS) {
            queue(s, STAGE_BUSY);
            queue(s, seq);
        } else {
            answer(s, seq);
        }
        break;
    case STAGE_CMD_END:
        /* The status only once the ring is done: a sector may still be
           erasing, or a full ring programming. Until then "ask again". */
        if (s->programmed != s->received) {
            answer(s, seq);
        } else {
            s->endAsked = 1;
            s->endSeq = seq;
        }
        break;
    case STAGE_CMD_LEAVE:
        s->leaveAsked = 1;
        s->leaveSeq = seq;
        break;
    default:
        break;
    }
}

/* Takes one received character into the frame being assembled. */
static void receive(struct stage *s, uint8_t c)
{
    switch (s->rxState) {
    case 0:
        if (c == STAGE_STX) {
            s->rxState = 1;
            s->rxCrc = 0xFFFFu;
        }
        return;
    case 1:
        s->rxSeq = c;
        break;
    case 2:
        s->rxCmd = c;
        break;
    case 3:
        s->rxLen = c;
        s->rxCount = 0;
        /* A program frame lands in the next slot directly, from its byte 4
           so that the address and the words are aligned (the compiler merges
           byte reads into long ones); byte 0 holds LEN once it is good. Any
           other frame's data is not kept. */
        s->rxBuf = (in_ring(s->rxCmd) && s->received - s->programmed < STAGE_SLOTS)
                       ? slot(s->received) + 4
                       : (uint8_t *)0;
        s->rxCrc = crc16(s->rxCrc, c);
        s->rxState = c == 0 ? 5 : 4;
        return;
    case 4:
        if (s->rxBuf)
            s->rxBuf[s->rxCount] = c;
        s->rxCrc = crc16(s->rxCrc, c);
        if (++s->rxCount == s->rxLen)
            s->rxState = 5;
        return;
    case 5:
        s->rxCrcHi = c;
        s->rxState = 6;
        return;
    default:
        s->rxState = 0;
        if ((uint16_t)((s->rxCrcHi << 8) | c) != s->rxCrc)
            return;
        if (in_ring(s->rxCmd) && !s->rxBuf)
            return; /* no room: it is sent again */
        frame_done(s);
        return;
    }
    s->rxCrc = crc16(s->rxCrc, c);
    ++s->rxState;
}

/* One look at the line: a received character in, a queued one out, and
   answers for stored frames while the ring has room for a full window. */
static void service(struct stage *s)
{
    uint8_t sr = s->ch[R_SR_CSR];

    if (sr & SR_RXRDY) {
        s->rxGap = 0;
        if (sr & SR_BREAK) {
            /* During the handshake a character at the other speed can look
               like a break: only a settled line's break counts. */
            (void)s->ch[R_RB_TB];
            s->broken = s->settled;
        } else {
            receive(s, s->ch[R_RB_TB]);
        }
    } else if (s->rxState != 0 && ++s->rxGap == STAGE_GAP_POLLS) {
        s->rxState = 0; /* a frame cut short: the next STX starts afresh */
    }
    while (s->answered < s->received && s->answered + 1u - s->programmed + STAGE_WINDOW <= STAGE_SLOTS) {
        answer(s, (uint8_t)s->answered);
        ++s->answered;
    }
    if (s->txTail != s->txHead && (sr & SR_TXRDY)) {
        s->ch[R_RB_TB] = s->tx[s->txTail % TX_RING];
        ++s->txTail;
    }
}

static void drain(struct stage *s)
{
    uint32_t polls;
    for (polls = 0; polls < STAGE_IDLE_POLLS; ++polls) {
        service(s);
        if (s->txTail == s->txHead && (s->ch[R_SR_CSR] & SR_TXEMT))
            return;
    }
}

/* Programs one word (0xFFFF is left to the erase) and returns what the
   flash holds then. */
static uint16_t put_word(struct stage *s, volatile uint16_t *p, uint16_t word)
{
    uint32_t polls;
    uint16_t got;

    if (word != 0xFFFFu) { /* the erased flash holds it already */
        REG16(BOARD_FLASH_BASE) = 0x00F0;
        REG16(CMD_ADDR_1) = 0x00AA;
        REG16(CMD_ADDR_2) = 0x0055;
        REG16(CMD_ADDR_1) = 0x00A0;
        *p = word;
        for (polls = 0;; ++polls) {
            service(s);
            got = *p;
            if (((got ^ word) & DQ7) == 0)
                break;
            if ((got & DQ5) || polls == STAGE_PROGRAM_POLLS) {
                REG16(BOARD_FLASH_BASE) = 0x00F0;
                break;
            }
        }
    }
    return *p;
}

static int program_word(struct stage *s, volatile uint16_t *p, uint16_t word)
{
    return put_word(s, p, word) == word ? 0 : 1;
}

static void fail(struct stage *s, uint8_t error, uint32_t address)
{
    s->error = error;
    s->errorAddress = address;
}

static uint32_t get32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* Programs n bytes (even) from src at address (even, inside the flash). */
static void program_bytes(struct stage *s, uint32_t address, const uint8_t *src, uint32_t n)
{
    uint32_t i;

    if ((n & 1u) || (address & 1u) || address < BOARD_FLASH_BASE || address > BOARD_FLASH_END || n > BOARD_FLASH_END - address) {
        fail(s, STAGE_ERR_ADDRESS, address);
        return;
    }
    for (i = 0; i < n; i += 2u) {
        uint16_t word = (uint16_t)((src[i] << 8) | src[i + 1]);
        if (program_word(s, (volatile uint16_t *)(uintptr_t)(address + i), word)) {
            fail(s, STAGE_ERR_PROGRAM, address + i);
            return;
        }
        s->bytes += 2u;
    }
}

/* Erases the sector holding address, taking frames all the while. The last
   sector's serial-number area goes to RAM first and back into the flash
   afterwards, even when the erase failed, so that it is not lost. */
static void erase_sector(struct stage *s, uint32_t address, uint32_t size)
{
    volatile uint16_t *area = (volatile uint16_t *)(uintptr_t)BOARD_SERIAL_AREA;
    uint16_t *copy = (uint16_t *)(uintptr_t)STAGE_SERIAL_COPY;
    int last = address >= BOARD_LAST_PAGE;
    uint32_t polls, i;
    uint16_t status;

    if ((address & 1u) || address < BOARD_FLASH_BASE || address >= BOARD_FLASH_END) {
        fail(s, STAGE_ERR_ADDRESS, address);
        return;
    }
    if (size != 0) {
        /* A sector that reads 0xFFFF throughout is what its erase would
           leave: a second of the chip's time saved (a fresh board, or the
           padding of a ROM laid out as the last). The serial-number area
           is not looked at, and never touched then. */
        uint32_t end = address + size;
        uint32_t a;
        if (end > BOARD_SERIAL_AREA && address < BOARD_SERIAL_AREA)
            end = BOARD_SERIAL_AREA;
        for (a = address, i = 0; a < end && a < BOARD_FLASH_END; a += 2u, ++i) {
            if ((i & 31u) == 0)
                service(s);
            if (REG16(a) != 0xFFFFu)
                break;
        }
        if (a >= end) {
            ++s->blankSectors;
            return;
        }
    }
    if (last) {
        for (i = 0; i < SERIAL_WORDS; ++i) {
            if ((i & 15u) == 0)
                service(s);
            copy[i] = area[i];
        }
    }
    REG16(BOARD_FLASH_BASE) = 0x00F0;
    REG16(CMD_ADDR_1) = 0x00AA;
    REG16(CMD_ADDR_2) = 0x0055;
    REG16(CMD_ADDR_1) = 0x0080;
    REG16(CMD_ADDR_1) = 0x00AA;
    REG16(CMD_ADDR_2) = 0x0055;
    REG16(address) = 0x0030;
    /* DQ7 reads 0 until the sector is erased; DQ5 set means the chip gave
       up, unless a second read shows it finished meanwhile. */
    for (polls = 0;; ++polls) {
        service(s);
        status = REG16(address);
        if (status & DQ7)
            break;
        if (((status & DQ5) && !(REG16(address) & DQ7)) || polls == STAGE_ERASE_POLLS) {
            REG16(BOARD_FLASH_BASE) = 0x00F0;
            fail(s, STAGE_ERR_ERASE, address);
            break;
        }
    }
    if (!last)
        return;
    for (i = 0; i < SERIAL_WORDS; ++i) {
        if ((i & 15u) == 0)
            service(s); /* a blank area programs nothing, and polls nowhere else */
        if (copy[i] != 0xFFFFu && put_word(s, &area[i], copy[i]) != copy[i] && !s->error) {
            fail(s, STAGE_ERR_SERIAL, BOARD_SERIAL_AREA + 2u * i);
            return;
        }
    }
}

static void poll_line(void *context)
{
    service((struct stage *)context);
}

static void inflate_chunk(struct stage *s, const uint8_t *arg)
{
    uint32_t address = get32(arg);
    uint32_t length = ((uint32_t)arg[4] << 8) | arg[5];
    uint32_t history = ((uint32_t)arg[6] << 8) | arg[7];
    uint8_t *out = (uint8_t *)(uintptr_t)STAGE_CHUNK_OUT;
    uint32_t got = 0;
    uint32_t in = s->chunkIn;

    s->chunkIn = 0;
    if (length > STAGE_CHUNK_MAX || history > STAGE_HISTORY_MAX || address < BOARD_FLASH_BASE + history) {
        fail(s, STAGE_ERR_CHUNK, address);
        return;
    }
    if (inflate_block((const uint8_t *)(uintptr_t)STAGE_CHUNK_IN, in, out, length, &got,
                      (const volatile uint8_t *)(uintptr_t)address, history, poll_line, s) != INFLATE_OK ||
        got != length) {
        fail(s, STAGE_ERR_CHUNK, address);
        return;
    }
    program_bytes(s, address, out, length);
}

/* zlib's CRC-32 by a byte table, built at the first CHECK frame (the start
   stays quick: the handshake waits on it): the check reads up to the whole
   flash, and a byte costs a few instructions this way. */
static void crc_table(struct stage *s)
{
    uint32_t *table = (uint32_t *)(uintptr_t)STAGE_CRC_TABLE;
    uint32_t i, k;

    for (i = 0; i < 256u; ++i) {
        uint32_t c = i;
        if ((i & 3u) == 0)
            service(s);
        for (k = 0; k < 8u; ++k)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    s->crcTable = 1;
}

/* One CHECK range: its bytes into the CRC, read as words where they are
   whole; or, for a blank range, every word 0xFFFF. */
static void check_range(struct stage *s, uint32_t address, uint32_t length)
{
    const uint32_t *table = (const uint32_t *)(uintptr_t)STAGE_CRC_TABLE;
    int blank = (length & STAGE_CHECK_BLANK) != 0;
    uint32_t end;
    uint32_t crc = s->crc;
    uint32_t n = 0;

    length &= ~STAGE_CHECK_BLANK;
    end = address + length;
    if (address < BOARD_FLASH_BASE || address > BOARD_FLASH_END || length > BOARD_FLASH_END - address) {
        fail(s, STAGE_ERR_ADDRESS, address);
        return;
    }
    if (blank) {
        /* blank ranges are whole words: the loader widens nothing here */
        for (; address + 1u < end; address += 2u) {
            if ((++n & 31u) == 0)
                service(s);
            if (REG16(address) != 0xFFFFu) {
                fail(s, STAGE_ERR_BLANK, address);
                return;
            }
        }
        return;
    }
    if (address & 1u) {
        crc = table[(crc ^ REG8(address)) & 0xFFu] ^ (crc >> 8);
        ++address;
    }
    for (; address + 1u < end; address += 2u) {
        uint16_t word = REG16(address);
        if ((++n & 15u) == 0) {
            s->crc = crc;
            service(s);
        }
        crc = table[(crc ^ (word >> 8)) & 0xFFu] ^ (crc >> 8);
        crc = table[(crc ^ word) & 0xFFu] ^ (crc >> 8);
    }
    if (address < end)
        crc = table[(crc ^ REG8(address)) & 0xFFu] ^ (crc >> 8);
    s->crc = crc;
}

static void program_slot(struct stage *s)
{
    const uint8_t *b = slot(s->programmed);
    uint32_t len = b[0];
    const uint8_t *data = b + 4;
    uint8_t *chunk = (uint8_t *)(uintptr_t)STAGE_CHUNK_IN;
    uint32_t i;

    if (s->error)
        return;
    switch (b[1]) {
    case STAGE_CMD_PROGRAM:
        if (len < 4u) {
            fail(s, STAGE_ERR_ADDRESS, 0);
            return;
        }
        program_bytes(s, get32(data), data + 4, len - 4u);
        return;
    case STAGE_CMD_ERASE:
        if (len < 4u) {
            fail(s, STAGE_ERR_ADDRESS, 0);
            return;
        }
        erase_sector(s, get32(data), len >= 8u ? get32(data + 4) : 0);
        return;
    case STAGE_CMD_CHECK:
        if (!s->crcTable)
            crc_table(s);
        for (i = 0; i + 8u <= len && !s->error; i += 8u)
            check_range(s, get32(data + i), get32(data + i + 4u));
        return;
    case STAGE_CMD_DATA:
        if (len > STAGE_CHUNK_IN_MAX - s->chunkIn) {
            fail(s, STAGE_ERR_CHUNK, 0);
            return;
        }
        for (i = 0; i < len; ++i) {
            if ((i & 63u) == 0)
                service(s);
            chunk[s->chunkIn + i] = data[i];
        }
        s->chunkIn += len;
        return;
    default:
        if (len < 8u) {
            fail(s, STAGE_ERR_CHUNK, 0);
            return;
        }
        inflate_chunk(s, data);
        return;
    }
}

static void send_status(struct stage *s)
{
    uint8_t f[STAGE_STATUS_LEN];
    uint32_t crc = ~s->crc;
    uint16_t check = 0xFFFFu;
    uint32_t i;

    f[0] = s->error;
    for (i = 0; i < 4u; ++i) {
        f[1 + i] = (uint8_t)(s->errorAddress >> (24 - 8 * i));
        f[5 + i] = (uint8_t)(crc >> (24 - 8 * i));
        f[9 + i] = (uint8_t)(s->bytes >> (24 - 8 * i));
    }
    f[13] = (uint8_t)s->blankSectors;
    queue(s, STAGE_STX);
    queue(s, STAGE_CMD_END);
    drain(s);
    for (i = 0; i < STAGE_STATUS_LEN; ++i) {
        check = crc16(check, f[i]);
        queue(s, f[i]);
        if (s->txHead - s->txTail >= TX_RING - 2u)
            drain(s);
    }
    queue(s, (uint8_t)(check >> 8));
    queue(s, (uint8_t)check);
    drain(s);
}

static void set_speed(struct stage *s, uint8_t csr)
{
    drain(s); /* what is queued leaves at the old speed */
    s->ch[R_SR_CSR] = csr;
}

/* Waits for a good frame (a ping) at the speed just set. 1 when one came. */
static int heard_within(struct stage *s, uint32_t polls)
{
    s->heard = 0;
    while (polls-- > 0 && !s->heard && !s->broken)
        service(s);
    return s->heard;
}

__attribute__((section(".text.entry")))
void fast_stage(void)
{
    struct stage st;
    struct stage *s = &st;
    const volatile uint8_t *param = (const volatile uint8_t *)(uintptr_t)STAGE_PARAMS;
    uint32_t idle = 0;
    uint8_t *z = (uint8_t *)s;
    uint32_t i;

    for (i = 0; i < sizeof st; ++i)
        z[i] = 0;
    s->ch = (volatile uint8_t *)(uintptr_t)(PORT == 0 ? DUART : DUART + 0x10u);
    s->crc = 0xFFFFFFFFu;

    if (param[0] == STAGE_SPEED_TIMER) {
        REG8(ACR) = ACR_TIMER_X1;
        REG8(CTUR) = param[1];
        REG8(CTLR) = param[2];
        (void)REG8(START_COUNTER);
        set_speed(s, CSR_TIMER);
        /* No good frame at the new speed in time: both ends go back. */
        if (!heard_within(s, STAGE_HANDSHAKE_POLLS))
            set_speed(s, CSR_38400);
    }
    s->settled = 1;

    while (!s->broken) {
        service(s);
        if (s->programmed < s->received) {
            program_slot(s);
            ++s->programmed;
            idle = 0;
            continue;
        }
        if (s->endAsked && s->answered == s->received) {
            s->endAsked = 0;
            send_status(s);
        }
        if (s->leaveAsked) {
            queue(s, STAGE_ACK); /* leaving succeeds, error or not */
            queue(s, s->leaveSeq);
            set_speed(s, CSR_38400);
            return;
        }
        /* Nothing to do: wait for the next character in a loop of a few
           instructions (a pass is about 1.5 us). */
        if (s->txTail == s->txHead && s->rxState == 0 && s->answered == s->received) {
            uint32_t spin = 0;
            while (!(s->ch[R_SR_CSR] & SR_RXRDY) && ++spin < 1000u)
                ;
            idle += spin;
        }
        if (s->heard) {
            s->heard = 0;
            idle = 0;
        } else if (++idle >= STAGE_IDLE_POLLS) {
            set_speed(s, CSR_38400); /* the loader is gone: the daemon's speed */
            return;
        }
    }
    /* A break: as the daemon does, both channels to 9600. */
    drain(s);
    REG8(DUART + R_SR_CSR) = CSR_9600;
    REG8(DUART + 0x10u + R_SR_CSR) = CSR_9600;
}
