/* Raw deflate (RFC 1951) with canonical Huffman codes kept as counts per
   length and symbols in code order, plus a table indexed by the next
   FAST_BITS bits of the input for codes that short: nearly every
   literal and length of real code takes one look-up instead of a loop
   per bit. Longer codes go the bit-by-bit way. The board needs about
   10 KB of output a second at 57,600 baud while it also programs. */
#include "inflate_block.h"

#define MAX_BITS   15u
#define LITLEN_MAX 288u
#define DIST_MAX   30u
#define FAST_BITS  9u
#define FAST_SIZE  (1u << FAST_BITS)
/* Symbols between polls: a table decode is a few dozen instructions, the
   receiver holds a few hundred microseconds of line. */
#define SYMBOLS_PER_POLL 8u

struct code {
    uint16_t count[MAX_BITS + 1u]; /* codes of each length */
    uint16_t symbol[LITLEN_MAX];   /* symbols ordered by code */
    /* by the next FAST_BITS input bits: symbol << 4 | code length, 0 when
       the code is longer (or not assigned) */
    uint16_t fast[FAST_SIZE];
};

struct stream {
    const uint8_t *in;
    const uint8_t *in_end;
    uint32_t bits;  /* not yet used bits, the next one lowest */
    uint32_t nbits;
    int short_input;
    uint8_t *out;
    uint32_t pos;
    uint32_t cap;
    const volatile uint8_t *history_end;
    uint32_t history_len;
    inflate_poll poll;
    void *context;
};

static void poll(struct stream *s)
{
    if (s->poll)
        s->poll(s->context);
}

/* Base values and extra bits of the length codes 257..285 and of the
   distance codes 0..29 (RFC 1951, 3.2.5). */
static const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                       193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
/* The order in which the code-length code's lengths are sent. */
static const uint8_t length_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

static uint32_t take(struct stream *s, uint32_t n)
{
    uint32_t v;
    while (s->nbits < n) {
        if (s->in == s->in_end) {
            s->short_input = 1;
            return 0;
        }
        s->bits |= (uint32_t)*s->in++ << s->nbits;
        s->nbits += 8u;
    }
    v = s->bits & ((1u << n) - 1u);
    s->bits >>= n;
    s->nbits -= n;
    return v;
}

/* The look-up table: each code of up to FAST_BITS bits, its bits reversed
   (deflate sends codes from their top bit, the bit buffer holds the next bit
   lowest), in every entry whose low bits it matches. Polls often: a table
   is a few thousand instructions. */
static void fill_fast(struct stream *s, struct code *c, const uint8_t *length, uint32_t n)
{
    static const uint8_t reverse4[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    uint16_t next[MAX_BITS + 1u];
    uint32_t code = 0;
    uint32_t budget = 1; /* entries or symbols until the next poll */
    uint32_t i;

    for (i = 0; i < FAST_SIZE; ++i) {
        if ((i & 63u) == 0)
            poll(s);
        c->fast[i] = 0;
    }
    for (i = 1; i <= MAX_BITS; ++i) {
        code = (code + c->count[i - 1u]) << 1;
        next[i] = (uint16_t)code;
    }
    for (i = 0; i < n; ++i) {
        uint32_t len = length[i];
        uint32_t k;
        if (--budget == 0) {
            poll(s);
            budget = 16;
        }
        if (len == 0)
            continue;
        code = next[len]++;
        if (len > FAST_BITS)
            continue;
        /* the 9 low bits reversed, then down to the code's length */
        code = ((uint32_t)reverse4[code & 15u] << 5 | (uint32_t)reverse4[(code >> 4) & 15u] << 1 | ((code >> 8) & 1u)) >>
               (FAST_BITS - len);
        /* a short code fills many entries: the line is served between */
        for (k = code; k < FAST_SIZE; k += 1u << len) {
            c->fast[k] = (uint16_t)((i << 4) | len);
            if (--budget == 0) {
                poll(s);
                budget = 16;
            }
        }
    }
}

/* Builds the code from each symbol's length. 0, or -1 when the lengths ask
   for more codes than exist (an incomplete code is allowed: a code never
   assigned fails when it is met). */
static int build(struct stream *s, struct code *c, const uint8_t *length, uint32_t n)
{
    uint16_t next[MAX_BITS + 1u];
    int32_t left = 1;
    uint32_t i;

    for (i = 0; i <= MAX_BITS; ++i)
        c->count[i] = 0;
    for (i = 0; i < n; ++i) {
        if ((i & 31u) == 0)
            poll(s); /* a table takes a millisecond or more on the board */
        ++c->count[length[i]];
    }
    c->count[0] = 0;
    for (i = 1; i <= MAX_BITS; ++i) {
        left = left * 2 - c->count[i];
        if (left < 0)
            return -1;
    }
    next[1] = 0;
    for (i = 1; i < MAX_BITS; ++i)
        next[i + 1] = (uint16_t)(next[i] + c->count[i]);
    for (i = 0; i < n; ++i) {
        if ((i & 31u) == 0)
            poll(s);
        if (length[i] != 0)
            c->symbol[next[length[i]]++] = (uint16_t)i;
    }
    fill_fast(s, c, length, n);
    return 0;
}

/* One symbol: codes are sent from their most significant bit; of all codes
   of one length, the first is numbered right after the last one shorter.
   The bits are taken here rather than through take(): this loop runs for
   every bit of every code, and a call per bit tripled its cost. */
static int32_t decode_slow(struct stream *s, const struct code *c)
{
    uint32_t bits = s->bits;
    uint32_t nbits = s->nbits;
    const uint16_t *count = &c->count[1];
    int32_t code = 0;  /* the bits so far */
    int32_t first = 0; /* the first code of this length */
    int32_t index = 0; /* its place in symbol[] */
    uint32_t len;

    for (len = 1; len <= MAX_BITS; ++len) {
        int32_t n = *count++;
        if (nbits == 0) {
            if (s->in == s->in_end) {
                s->short_input = 1;
                return -1;
            }
            bits = *s->in++;
            nbits = 8u;
        }
        code |= (int32_t)(bits & 1u);
        bits >>= 1;
        --nbits;
        if (code - first < n) {
            s->bits = bits;
            s->nbits = nbits;
            return c->symbol[index + code - first];
        }
        index += n;
        first = (first + n) << 1;
        code <<= 1;
    }
    s->bits = bits;
    s->nbits = nbits;
    return -1;
}

/* One symbol: by the look-up table when the input holds the code's bits
   and the code is short, else bit by bit. */
static int32_t decode(struct stream *s, const struct code *c)
{
    uint32_t bits = s->bits;
    uint32_t nbits = s->nbits;
    uint32_t entry;

    while (nbits <= 24u && s->in != s->in_end) {
        bits |= (uint32_t)*s->in++ << nbits;
        nbits += 8u;
    }
    entry = c->fast[bits & (FAST_SIZE - 1u)];
    if (entry != 0 && (entry & 15u) <= nbits) {
        s->bits = bits >> (entry & 15u);
        s->nbits = nbits - (entry & 15u);
        return (int32_t)(entry >> 4);
    }
    s->bits = bits;
    s->nbits = nbits;
    return decode_slow(s, c);
}

static int put(struct stream *s, uint8_t byte)
{
    if (s->pos == s->cap)
        return INFLATE_TOO_LONG;
    s->out[s->pos++] = byte;
    return INFLATE_OK;
}

static int codes(struct stream *s, const struct code *litlen, const struct code *dist)
{
    uint32_t symbols = 0;

    for (;;) {
        int32_t sym;
        uint32_t len;
        uint32_t d;

        if ((++symbols & (SYMBOLS_PER_POLL - 1u)) == 0)
            poll(s);
        sym = decode(s, litlen);
        if (sym < 0)
            return s->short_input ? INFLATE_TRUNCATED : INFLATE_BAD_DATA;
        if (sym < 256) {
            if (put(s, (uint8_t)sym))
                return INFLATE_TOO_LONG;
            continue;
        }
        if (sym == 256)
            return INFLATE_OK;
        sym -= 257;
        if (sym >= 29)
            return INFLATE_BAD_DATA;
        len = length_base[sym] + take(s, length_extra[sym]);
        sym = decode(s, dist);
        if (sym < 0 || sym >= 30)
            return s->short_input ? INFLATE_TRUNCATED : INFLATE_BAD_DATA;
        d = dist_base[sym] + take(s, dist_extra[sym]);
        if (s->short_input)
            return INFLATE_TRUNCATED;
        if (d > s->pos + s->history_len)
            return INFLATE_TOO_FAR;
        if (len > s->cap - s->pos)
            return INFLATE_TOO_LONG;
        /* Before the chunk's start the bytes come from the history (the
           flash), after it from what was just written. */
        while (len > 0 && d > s->pos) {
            s->out[s->pos] = s->history_end[-(int32_t)(d - s->pos)];
            ++s->pos;
            if ((--len & 31u) == 0)
                poll(s);
        }
        {
            uint8_t *to = s->out + s->pos;
            const uint8_t *from = to - d;
            s->pos += len;
            while (len > 0) {
                *to++ = *from++;
                if ((--len & 31u) == 0)
                    poll(s);
            }
        }
    }
}

static int stored(struct stream *s)
{
    uint32_t len;
    uint32_t check;

    s->bits >>= s->nbits & 7u; /* to the byte boundary */
    s->nbits -= s->nbits & 7u;
    len = take(s, 16);
    check = take(s, 16);
    if (s->short_input)
        return INFLATE_TRUNCATED;
    if ((len ^ 0xFFFFu) != check)
        return INFLATE_BAD_DATA;
    while (len-- > 0) {
        uint8_t b = (uint8_t)take(s, 8);
        if ((len & 15u) == 0)
            poll(s);
        if (s->short_input)
            return INFLATE_TRUNCATED;
        if (put(s, b))
            return INFLATE_TOO_LONG;
    }
    return INFLATE_OK;
}

static int fixed(struct stream *s, struct code *litlen, struct code *dist)
{
    uint8_t length[LITLEN_MAX];
    uint32_t i;

    for (i = 0; i < 144u; ++i)
        length[i] = 8;
    for (; i < 256u; ++i)
        length[i] = 9;
    for (; i < 280u; ++i)
        length[i] = 7;
    for (; i < LITLEN_MAX; ++i)
        length[i] = 8;
    build(s, litlen, length, LITLEN_MAX);
    for (i = 0; i < DIST_MAX; ++i)
        length[i] = 5;
    build(s, dist, length, DIST_MAX);
    return codes(s, litlen, dist);
}

static int dynamic(struct stream *s, struct code *litlen, struct code *dist)
{
    uint8_t length[LITLEN_MAX + DIST_MAX];
    uint32_t nlen = take(s, 5) + 257u;
    uint32_t ndist = take(s, 5) + 1u;
    uint32_t ncode = take(s, 4) + 4u;
    uint32_t i;

    if (s->short_input)
        return INFLATE_TRUNCATED;
    if (nlen > 286u || ndist > 30u)
        return INFLATE_BAD_DATA;
    for (i = 0; i < 19u; ++i)
        length[length_order[i]] = i < ncode ? (uint8_t)take(s, 3) : 0;
    if (s->short_input)
        return INFLATE_TRUNCATED;
    if (build(s, litlen, length, 19) != 0)
        return INFLATE_BAD_DATA;
    for (i = 0; i < nlen + ndist;) {
        int32_t sym;
        uint32_t repeat;
        uint8_t value = 0;

        poll(s);
        sym = decode(s, litlen);
        if (sym < 0)
            return s->short_input ? INFLATE_TRUNCATED : INFLATE_BAD_DATA;
        if (sym < 16) {
            length[i++] = (uint8_t)sym;
            continue;
        }
        if (sym == 16) {
            if (i == 0)
                return INFLATE_BAD_DATA;
            value = length[i - 1];
            repeat = 3u + take(s, 2);
        } else if (sym == 17) {
            repeat = 3u + take(s, 3);
        } else {
            repeat = 11u + take(s, 7);
        }
        if (s->short_input)
            return INFLATE_TRUNCATED;
        if (i + repeat > nlen + ndist)
            return INFLATE_BAD_DATA;
        while (repeat-- > 0)
            length[i++] = value;
    }
    if (length[256] == 0)
        return INFLATE_BAD_DATA; /* no end-of-block code */
    if (build(s, litlen, length, nlen) != 0 || build(s, dist, length + nlen, ndist) != 0)
        return INFLATE_BAD_DATA;
    return codes(s, litlen, dist);
}

int inflate_block(const uint8_t *in, uint32_t in_len, uint8_t *out, uint32_t out_cap, uint32_t *out_len,
                  const volatile uint8_t *history_end, uint32_t history_len, inflate_poll poll_fn, void *context)
{
    struct stream s;
    struct code litlen;
    struct code dist;
    uint32_t last;
    int result;

    s.in = in;
    s.in_end = in + in_len;
    s.bits = 0;
    s.nbits = 0;
    s.short_input = 0;
    s.out = out;
    s.pos = 0;
    s.cap = out_cap;
    s.history_end = history_end;
    s.history_len = history_end ? history_len : 0;
    s.poll = poll_fn;
    s.context = context;
    do {
        uint32_t type;
        last = take(&s, 1);
        type = take(&s, 2);
        if (s.short_input) {
            result = INFLATE_TRUNCATED;
            break;
        }
        if (type == 0)
            result = stored(&s);
        else if (type == 1)
            result = fixed(&s, &litlen, &dist);
        else if (type == 2)
            result = dynamic(&s, &litlen, &dist);
        else
            result = INFLATE_BAD_DATA;
    } while (result == INFLATE_OK && !last);
    *out_len = s.pos;
    return result;
}
