/* Called by the daemon's 0x82: computes a CRC-32 (IEEE, reflected, as zlib's
   crc32) of every piece of the ranges in the parameter area, a piece being a
   range's part inside one 256-byte block, and sends the CRCs back in data
   replies through the daemon's own send_buffer. Returns to the daemon with
   its stack and data words untouched; it uses only its own RAM. */
#include <stdint.h>

#include "crc_applet.h"
#include "link_protocol.h"

/* The daemon's sender; its address comes from the daemon's symbol map at
   link time. */
void send_buffer(const uint8_t *buffer);

void crc_applet(void);

/* Read by the loader and the tests to check the applet against the daemon's
   map before it is ever run. */
__attribute__((section(".applet_header"), used))
void (*const crc_applet_send_buffer)(const uint8_t *) = send_buffer;

static void send_crcs(uint8_t *reply, uint32_t count)
{
    uint32_t len = count * 4u;
    uint8_t sum = (uint8_t)(LINK_REPLY_DATA + len);
    uint32_t i;

    for (i = 0; i < len; ++i)
        sum = (uint8_t)(sum + reply[LINK_BUF_DATA + i]);
    reply[LINK_BUF_CMD] = LINK_REPLY_DATA;
    reply[LINK_BUF_LEN] = (uint8_t)len;
    reply[LINK_BUF_DATA + len] = sum;
    send_buffer(reply);
}

__attribute__((section(".text.entry")))
void crc_applet(void)
{
    uint32_t *table = (uint32_t *)(uintptr_t)CRC_APPLET_TABLE;
    uint8_t *reply = (uint8_t *)(uintptr_t)CRC_APPLET_REPLY;
    const uint32_t *param = (const uint32_t *)(uintptr_t)CRC_APPLET_PARAMS;
    uint32_t ranges = param[0];
    uint32_t n = 0;
    uint32_t i;
    uint32_t r;

    /* Built on every call: 1 KiB less to store, and nothing stale to trust. */
    for (i = 0; i < 256u; ++i) {
        uint32_t c = i;
        uint32_t k;
        for (k = 0; k < 8u; ++k)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    /* Parameters that cannot be meant get an empty reply, which the loader
       takes for a failure. */
    if (ranges > CRC_APPLET_MAX_RANGES) {
        send_crcs(reply, 0);
        return;
    }
    for (r = 0; r < ranges; ++r) {
        const uint8_t *p = (const uint8_t *)(uintptr_t)param[1 + 2 * r];
        uint32_t left = param[2 + 2 * r];
        while (left > 0) {
            uint32_t piece = CRC_APPLET_BLOCK - ((uint32_t)(uintptr_t)p & (CRC_APPLET_BLOCK - 1u));
            uint32_t crc = 0xFFFFFFFFu;
            uint8_t *out = reply + LINK_BUF_DATA + 4 * n;

            if (piece > left)
                piece = left;
            left -= piece;
            while (piece-- > 0) {
                uint8_t index = (uint8_t)((uint8_t)crc ^ *p++);
                crc = table[index] ^ (crc >> 8);
            }
            crc = ~crc;
            out[0] = (uint8_t)(crc >> 24);
            out[1] = (uint8_t)(crc >> 16);
            out[2] = (uint8_t)(crc >> 8);
            out[3] = (uint8_t)crc;
            if (++n == CRC_APPLET_PER_REPLY) {
                send_crcs(reply, n);
                n = 0;
            }
        }
    }
    if (n > 0)
        send_crcs(reply, n);
}
