/* AM29F400 flash driver. Every access is a 16-bit bus cycle at an even
   address; commands go in the low byte. The chip reports progress on the
   data lines: DQ7 (data polling) and DQ5 (exceeded time limit). */
#include "de_am29f400.h"
#include "de_board.h"
#include "de_flash_limits.h"

#define CMD_ADDR_1   0x40AAAAu /* device word address 0x5555 */
#define CMD_ADDR_2   0x405554u /* device word address 0x2AAA */

#define DQ7          0x0080u
#define DQ5          0x0020u

/* Erases and programs report their end or a time-limit failure through DQ7
   and DQ5; the poll limits (de_flash_limits.h) only catch a chip that
   answers neither way. */

static void unlock(void)
{
    REG16(BOARD_FLASH_BASE) = 0x00F0; /* back to reading, whatever state it was in */
    REG16(CMD_ADDR_1) = 0x00AA;
    REG16(CMD_ADDR_2) = 0x0055;
}

static void erase_setup(void)
{
    unlock();
    REG16(CMD_ADDR_1) = 0x0080;
    REG16(CMD_ADDR_1) = 0x00AA;
    REG16(CMD_ADDR_2) = 0x0055;
}

/* Polls until DQ7 reads 1 (erased). DQ5 set means the chip exceeded its time
   limit: one more read decides, as the data sheet's polling algorithm says. */
static int poll_erase(uint32_t address)
{
    uint32_t polls;
    for (polls = 0; polls < ERASE_POLLS; ++polls) {
        uint16_t status = REG16(address);
        am_busy();
        if (status & DQ7)
            return 0;
        if (status & DQ5) {
            if (REG16(address) & DQ7)
                return 0;
            break;
        }
    }
    /* A failed chip stays in its status mode until reset. */
    REG16(BOARD_FLASH_BASE) = 0x00F0;
    return 1;
}

int am_program_word(uint32_t address, uint16_t data)
{
    uint32_t count = PROGRAM_POLLS;

    unlock();
    REG16(CMD_ADDR_1) = 0x00A0;
    REG16(address) = data;

    for (;;) {
        uint16_t word = REG16(address);
        if (word == data)
            return 0;
        if (word & DQ5) {
            /* Time limit exceeded, or a word that already reads back as
               something else: a second read decides. */
            if (REG16(address) == data)
                return 0;
            break;
        }
        if (count == 0)
            break;
        --count;
    }
    /* Leave the chip readable so that later reads of the flash see data. */
    REG16(BOARD_FLASH_BASE) = 0x00F0;
    return 1;
}

int am_erase_page(uint32_t address)
{
    erase_setup();
    REG16(address) = 0x0030;
    return poll_erase(address);
}

int am_erase_chip(void)
{
    erase_setup();
    REG16(CMD_ADDR_1) = 0x0010;
    return poll_erase(BOARD_FLASH_BASE);
}
