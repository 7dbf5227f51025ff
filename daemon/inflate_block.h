/* A raw deflate decoder (RFC 1951), small enough for the board: the fast
   stage inflates each compressed chunk into RAM before programming it. The
   same C is built for the host, where the tests hold it against zlib.

   History: a chunk may refer back before its own start, into the bytes
   that precede it in the flash (already programmed, or blank and erased):
   the loader primes its compressor with the same bytes. `history_end`
   points just past them, `history_len` says how many may be used. */
#ifndef INFLATE_BLOCK_H
#define INFLATE_BLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define INFLATE_OK          0
#define INFLATE_TRUNCATED   1 /* the input ended inside the stream */
#define INFLATE_BAD_DATA    2 /* a reserved block type, a bad code, a wrong length */
#define INFLATE_TOO_LONG    3 /* the output would pass out_cap */
#define INFLATE_TOO_FAR     4 /* a distance before the history */

/* Called at least every 8 symbols and every 32 bytes of a copy: the board keeps reading its
   receiver while it decodes. May be null. */
typedef void (*inflate_poll)(void *context);

/* Inflates one complete raw deflate stream (up to its final block) from
   in[0..in_len) into out[0..out_cap); *out_len gets the bytes written. */
int inflate_block(const uint8_t *in, uint32_t in_len, uint8_t *out, uint32_t out_cap, uint32_t *out_len,
                  const volatile uint8_t *history_end, uint32_t history_len, inflate_poll poll, void *context);

#ifdef __cplusplus
}
#endif

#endif
