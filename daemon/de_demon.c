/* The daemon's command loop: receives framed requests on the DUART channel
   the boot monitor uses, carries them out on RAM and flash, and answers each
   with ACK, NAK, a data frame or nothing.

   Requests the loader never sends and that would make the daemon read, copy
   or program outside what the request names are dropped without a reply:
   a LEN too short for the fields the command reads, a program request at an
   odd address with no payload, an odd address for a call or a sector erase,
   a speed code above 0xF, and a frame whose CMD is 0x00 (0 is reserved for
   "a line break was seen"). Program and sector-erase requests outside the
   flash are refused with NAK: flash commands written elsewhere would leave the
   chip waiting for a write that never reaches it. */
#include "de_am29f400.h"
#include "de_board.h"
#include "de_mc68681.h"
#include "link_protocol.h"

/* Fixed places the loader's symbol map names; the linker puts them at
   0x4A0000, 0x4A0004 and 0x4A0008, just above the stack. */
uint32_t PORT __attribute__((section(".daemon_vars.0")));
volatile uint16_t *address __attribute__((section(".daemon_vars.1")));
volatile uint16_t *address2 __attribute__((section(".daemon_vars.2")));

/* The daemon's version, sent by 0x89 as a data reply 02 00 92 01 VV CK 03:
   LEN 1, one data byte. */
#define DAEMON_VERSION LINK_VERSION_BUSY_ANSWER

#define RX_POLLS       100000u
#define QUIET_POLLS    450u       /* about 3 ms at 16.78 MHz */
#define SERIAL_END     BOARD_FLASH_END          /* the area runs to the flash's end */
#define SERIAL_WORDS   0x800u
#define LAST_PAGE_KEEP (BOARD_SERIAL_AREA - BOARD_LAST_PAGE) /* bytes saved by 0x8A */

typedef void (*code_fn)(void);

int main(void);
void set_port(void);
int get_byte_timeout(uint8_t *out);
int get_next_command(uint8_t *buffer);
uint32_t get_n_bytes(const uint8_t *p, uint32_t n);
uint32_t get_address(const uint8_t *buffer);
int is_odd(uint32_t x);
void wait(int32_t n);
void send_buffer(const uint8_t *buffer);
void upload_data(uint8_t *buffer);
void download_data(uint8_t *buffer);
void run_code_at(uint8_t *buffer);
void flash_program(uint8_t *buffer);
void baud_control(uint8_t *buffer);
void send_version(uint8_t *buffer);
void go_to_monitor(void);
int erase_chip(void);
int erase_serial_num(void);
int have_serial_number(void);
void save_serial_number(void);
int restore_serial_number(void);
int have_last_page(void);
void save_last_page(void);
int erase_last_page(void);
int restore_last_page(void);

static void send_byte(uint8_t byte)
{
    mc_send_byte(PORT, byte);
}

static void send_status(int result)
{
    send_byte(result == 0 ? LINK_ACK : LINK_NAK);
}

void set_port(void)
{
    PORT = REG16(MONITOR_CONSOLE) == 0x0C00 ? 0 : 1;
}

uint32_t get_n_bytes(const uint8_t *p, uint32_t n)
{
    uint32_t value = 0;
    while (n-- > 0)
        value = (value << 8) + *p++;
    return value;
}

uint32_t get_address(const uint8_t *buffer)
{
    return get_n_bytes(buffer + LINK_BUF_DATA, LINK_ADDRESS_BYTES);
}

int is_odd(uint32_t x)
{
    return (int)(x & 1u);
}

void wait(int32_t n)
{
    volatile int32_t left = n;
    while (left > 0)
        --left;
}

/* Waits up to `polls` reads of the status register for a byte. 1 on a
   time-out or a break. */
static int get_byte_polls(uint8_t *out, uint32_t polls)
{
    uint32_t port = PORT;
    for (;;) {
        if (--polls == 0)
            return 1;
        if (mc_byte_ready(port))
            break;
    }
    if (mc_duart_break(port))
        return 1; /* left in the queue for get_next_command to clear */
    *out = mc_get_byte(port);
    return 0;
}

int get_byte_timeout(uint8_t *out)
{
    return get_byte_polls(out, RX_POLLS);
}

/* Frame phase after STX: 0x00, CMD, LEN, data, CK, ETX. 1 when the frame is
   whole and its checksum holds. */
static int receive_frame(uint8_t *buffer)
{
    uint8_t sum = 0;
    uint32_t i;
    uint32_t end = LINK_BUF_DATA; /* index of CK once LEN is in */

    if (get_byte_timeout(buffer) || buffer[0] != LINK_FRAME_ZERO)
        return 0;
    for (i = 0; i < end + 2; ++i) {
        if (get_byte_timeout(&buffer[i]))
            return 0;
        if (i == LINK_BUF_LEN)
            end = LINK_BUF_DATA + buffer[LINK_BUF_LEN];
        if (i < end)
            sum = (uint8_t)(sum + buffer[i]);
    }
    return buffer[end] == sum && buffer[end + 1] == LINK_ETX;
}

/* 1 when the character at the head of the receiver came with a break; the
   break character is then taken out of the queue. */
static int take_break(void)
{
    if (!mc_duart_break(PORT))
        return 0;
    mc_reset_break(PORT);
    return 1;
}

int get_next_command(uint8_t *buffer)
{
    for (;;) {
        uint8_t byte;

        /* Idle: wait as long as it takes. Only a byte that follows a quiet
           line gets here, so anything but ENQ or STX is the head of noise. */
        if (get_byte_timeout(&byte)) {
            if (take_break())
                return 0;
            continue;
        }
        if (byte == LINK_ENQ) {
            send_byte(LINK_ACK);
            continue;
        }
        if (byte == LINK_STX) {
            int good = receive_frame(buffer);
            if (take_break())
                return 0;
            /* CMD 0 would read as a line break; such a frame is dropped. */
            if (good && buffer[LINK_BUF_CMD] != 0)
                return buffer[LINK_BUF_CMD];
        }
        /* Swallow the rest of the burst until the line has been quiet for
           about 3 ms: the rest of a damaged frame may hold 0x05 or 0x02,
           and an answer to either would be taken for the frame's answer.
           Shorter than the loader's 10 ms pause before a frame, so that a
           frame right after the ping's tail is not swallowed with it. */
        while (!get_byte_polls(&byte, QUIET_POLLS))
            ;
    }
}

void send_buffer(const uint8_t *buffer)
{
    uint32_t n = (uint32_t)buffer[LINK_BUF_LEN] + LINK_BUF_DATA + 1u; /* CMD, LEN, data, CK */
    uint32_t i;

    send_byte(LINK_STX);
    send_byte(LINK_FRAME_ZERO);
    for (i = 0; i < n; ++i)
        send_byte(buffer[i]);
    send_byte(LINK_ETX);
}

/* 0x80: ADDR, COUNT. Answers with a data frame of COUNT bytes read there. */
void upload_data(uint8_t *buffer)
{
    const volatile uint8_t *from;
    uint32_t count;
    uint32_t i;
    uint8_t sum;

    if (buffer[LINK_BUF_LEN] < LINK_ADDRESS_BYTES + 1u)
        return;
    from = (const volatile uint8_t *)(uintptr_t)get_address(buffer);
    count = buffer[LINK_BUF_PAYLOAD];
    buffer[LINK_BUF_CMD] = LINK_REPLY_DATA;
    buffer[LINK_BUF_LEN] = (uint8_t)count;
    sum = (uint8_t)(LINK_REPLY_DATA + count);
    for (i = 0; i < count; ++i) {
        uint8_t b = from[i];
        buffer[LINK_BUF_DATA + i] = b;
        sum = (uint8_t)(sum + b);
    }
    buffer[LINK_BUF_DATA + count] = sum;
    send_buffer(buffer);
}

/* 0x81: ADDR, payload. Stores the payload byte by byte, then ACK. */
void download_data(uint8_t *buffer)
{
    volatile uint8_t *to;
    uint32_t n;
    uint32_t i;

    if (buffer[LINK_BUF_LEN] < LINK_ADDRESS_BYTES)
        return;
    to = (volatile uint8_t *)(uintptr_t)get_address(buffer);
    n = (uint32_t)buffer[LINK_BUF_LEN] - LINK_ADDRESS_BYTES;
    for (i = 0; i < n; ++i)
        to[i] = buffer[LINK_BUF_PAYLOAD + i];
    send_byte(LINK_ACK);
}

/* 0x82: ADDR. ACK first, then call the code there; it may return. */
void run_code_at(uint8_t *buffer)
{
    uint32_t target;

    if (buffer[LINK_BUF_LEN] < LINK_ADDRESS_BYTES)
        return;
    target = get_address(buffer);
    if (is_odd(target))
        return;
    send_byte(LINK_ACK);
    wait(10000); /* let the ACK leave before the code takes over */
    ((code_fn)(uintptr_t)target)();
}

/* 0x83: ADDR, any even address inside the sector to erase. */
static void erase_page_request(uint8_t *buffer)
{
    uint32_t target;

    if (buffer[LINK_BUF_LEN] < LINK_ADDRESS_BYTES)
        return;
    target = get_address(buffer);
    if (is_odd(target))
        return;
    if (target < BOARD_FLASH_BASE || target >= BOARD_FLASH_END) {
        send_byte(LINK_NAK);
        return;
    }
    send_status(am_erase_page(target));
}

/* 0x84: ADDR, payload. Programs the bytes into the 16-bit flash word by
   word; a byte that shares its word with one outside the range keeps the
   flash's value for that other byte. Stops at the first word that does not
   verify: no later word is touched. */
void flash_program(uint8_t *buffer)
{
    uint32_t dst;
    uint32_t end;
    uint32_t at;
    const uint8_t *src = buffer + LINK_BUF_PAYLOAD;

    if (buffer[LINK_BUF_LEN] < LINK_ADDRESS_BYTES)
        return;
    dst = get_address(buffer);
    end = dst + (uint32_t)buffer[LINK_BUF_LEN] - LINK_ADDRESS_BYTES;
    if (end == dst) {
        /* Nothing to program at an even address; an odd one has no byte to
           merge and is malformed. */
        if (!is_odd(dst))
            send_byte(LINK_ACK);
        return;
    }
    if (dst < BOARD_FLASH_BASE || end > BOARD_FLASH_END || end < dst) {
        send_byte(LINK_NAK);
        return;
    }
    for (at = dst & ~1u; at < end; at += 2) {
        uint16_t held = REG16(at);
        uint16_t high = at >= dst ? *src++ : (uint16_t)(held >> 8);
        uint16_t low = at + 1 < end ? *src++ : (uint16_t)(held & 0xFFu);
        if (am_program_word(at, (uint16_t)((high << 8) | low)) != 0) {
            send_byte(LINK_NAK);
            return;
        }
    }
    send_byte(LINK_ACK);
}

/* 0x86: speed code. ACK at the old speed, then switch. */
void baud_control(uint8_t *buffer)
{
    uint8_t code;

    if (buffer[LINK_BUF_LEN] < 1)
        return;
    code = buffer[LINK_BUF_DATA];
    if (code > 0x0F)
        return;
    send_byte(LINK_ACK);
    mc_set_baud_rate(PORT, code);
}

/* 0x89: data reply with LEN 1 and the version byte. */
void send_version(uint8_t *buffer)
{
    buffer[LINK_BUF_CMD] = LINK_REPLY_DATA;
    buffer[LINK_BUF_LEN] = 1;
    buffer[LINK_BUF_DATA] = DAEMON_VERSION;
    buffer[LINK_BUF_DATA + 1] = (uint8_t)(LINK_REPLY_DATA + 1u + DAEMON_VERSION);
    send_buffer(buffer);
}

/* Called on every pass of an erase's wait: an ENQ gets SYN, so the loader
   hears that the board is alive through an erase of a minute or more. Any
   other character is dropped: a request sent now would be lost in the
   receiver anyway. (Programming back a saved area afterwards takes at most
   0.6 s for the serial-number area and 9.2 s for the last page, with the
   data sheet's slowest word; the loader allows for it.) */
void am_busy(void)
{
    if (mc_take_byte() == LINK_ENQ)
        send_byte(LINK_SYN);
}

/* 0x87: re-enter the boot monitor at the entry its own byte selects. */
void go_to_monitor(void)
{
    uint32_t entry = REG8(MONITOR_SELECT) == 0xD0 ? MONITOR_ENTRY_D0 : MONITOR_ENTRY;
    ((code_fn)(uintptr_t)entry)();
}

/* The serial-number and last-page routines walk the flash and the save
   buffer with the two working pointers `address` and `address2`, one word
   per step. */

/* 1 at the first word from `from` up to the flash's end that is not blank. */
__attribute__((noinline)) static int scan_words(uint32_t from)
{
    for (address = (volatile uint16_t *)from;
         address < (volatile uint16_t *)BOARD_FLASH_END; ++address)
        if (*address != 0xFFFF)
            return 1;
    return 0;
}

/* Copies words until *src reaches src_end. */
__attribute__((noinline)) static void copy_words(volatile uint16_t **dst, volatile uint16_t **src,
                       uint32_t dst_start, uint32_t src_start, uint32_t src_end)
{
    *dst = (volatile uint16_t *)dst_start;
    for (*src = (volatile uint16_t *)src_start; *src < (volatile uint16_t *)src_end; ++*src)
        *(*dst)++ = **src;
}

/* Programs saved words back into the flash until *flash reaches flash_end,
   every word, blank ones too. 1 when any word did not program. */
__attribute__((noinline)) static int program_words(volatile uint16_t **flash, volatile uint16_t **ram,
                         uint32_t flash_start, uint32_t flash_end)
{
    int failed = 0;
    *ram = (volatile uint16_t *)BOARD_SAVE_BUFFER;
    for (*flash = (volatile uint16_t *)flash_start; *flash < (volatile uint16_t *)flash_end; ++*flash)
        failed |= am_program_word((uint32_t)(uintptr_t)*flash, *(*ram)++);
    return failed;
}

int have_serial_number(void)
{
    return scan_words(BOARD_SERIAL_AREA);
}

void save_serial_number(void)
{
    copy_words(&address, &address2, BOARD_SAVE_BUFFER, BOARD_SERIAL_AREA, BOARD_FLASH_END);
}

int restore_serial_number(void)
{
    return program_words(&address2, &address, BOARD_SERIAL_AREA, BOARD_FLASH_END);
}

int have_last_page(void)
{
    return scan_words(BOARD_LAST_PAGE);
}

void save_last_page(void)
{
    copy_words(&address2, &address, BOARD_SAVE_BUFFER, BOARD_LAST_PAGE, BOARD_SERIAL_AREA);
}

int erase_last_page(void)
{
    return am_erase_page(BOARD_LAST_PAGE);
}

int restore_last_page(void)
{
    return program_words(&address, &address2, BOARD_LAST_PAGE, BOARD_SERIAL_AREA);
}

/* 0x8F: erase everything but the serial-number area. Non-zero on failure;
   the saved area is programmed back even then, so it is not lost. */
int erase_chip(void)
{
    int failed;
    int keep = have_serial_number();

    if (keep)
        save_serial_number();
    failed = am_erase_chip();
    if (keep)
        failed |= restore_serial_number();
    return failed;
}

/* 0x8A: blank the serial-number area, keeping the rest of the last page.
   Non-zero on failure. */
int erase_serial_num(void)
{
    int failed;

    if (!have_serial_number())
        return 0;
    if (!have_last_page())
        return 0;
    save_last_page();
    failed = erase_last_page();
    failed |= restore_last_page();
    return failed;
}

static void monitor_request(uint8_t *buffer)
{
    (void)buffer;
    go_to_monitor();
}

/* 0x8A and 0x8F answer at once and again when the erase is over. */
static void erase_request(uint8_t *buffer)
{
    send_byte(LINK_ACK);
    send_status(buffer[LINK_BUF_CMD] == LINK_CMD_ERASE_CHIP ? erase_chip() : erase_serial_num());
}

typedef void (*handler_fn)(uint8_t *buffer);

/* main dispatches on the low four bits of a code whose high four are 0x8. */
_Static_assert(LINK_CMD_FIRST == 0x80u && LINK_CMD_SPAN == 16u, "request codes are 0x80 to 0x8F");

/* Handlers of the request codes; the empty places get no reply. */
static const handler_fn handlers[LINK_CMD_SPAN] = {
    [LINK_CMD_READ_MEMORY - LINK_CMD_FIRST] = upload_data,
    [LINK_CMD_WRITE_MEMORY - LINK_CMD_FIRST] = download_data,
    [LINK_CMD_RUN_AT - LINK_CMD_FIRST] = run_code_at,
    [LINK_CMD_ERASE_SECTOR - LINK_CMD_FIRST] = erase_page_request,
    [LINK_CMD_PROGRAM_FLASH - LINK_CMD_FIRST] = flash_program,
    [LINK_CMD_BAUD_CONTROL - LINK_CMD_FIRST] = baud_control,
    [LINK_CMD_GO_TO_MONITOR - LINK_CMD_FIRST] = monitor_request,
    [LINK_CMD_SEND_VERSION - LINK_CMD_FIRST] = send_version,
    [LINK_CMD_ERASE_SERIAL - LINK_CMD_FIRST] = erase_request,
    [LINK_CMD_ERASE_CHIP - LINK_CMD_FIRST] = erase_request,
};

int main(void)
{
    uint8_t buffer[LINK_FRAME_BUFFER];

    set_port();
    for (;;) {
        int command = get_next_command(buffer);
        if (command == 0) {
            mc_reset_baud(); /* line break: both channels back to 9600 */
        } else if ((command & 0xF0) == LINK_CMD_FIRST) {
            handler_fn handler = handlers[command & 0x0F];
            if (handler)
                handler(buffer);
        }
    }
}
