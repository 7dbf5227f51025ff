// The board's deflate decoder, built for the host, against zlib's raw
// deflate: every block type, a history before the chunk, and damaged input
// that must fail without writing past the output.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "inflate_block.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Deflate(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY, const Bytes& dictionary = {}) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
    if (!dictionary.empty())
        deflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size()));
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void CountPoll(void* count) { ++*static_cast<std::uint32_t*>(count); }

int Inflate(const Bytes& in, Bytes& out, std::size_t cap, const Bytes& history = {}) {
    out.assign(cap + 64, 0xA5);  // a guard after the capacity
    std::uint32_t n = 0;
    std::uint32_t polls = 0;
    const int r = inflate_block(in.data(), static_cast<std::uint32_t>(in.size()), out.data(),
                                static_cast<std::uint32_t>(cap), &n, history.empty() ? nullptr : history.data() + history.size(),
                                static_cast<std::uint32_t>(history.size()), &CountPoll, &polls);
    EXPECT_GE(polls, n / 64);
    for (std::size_t i = cap; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "written past the output at " << i;
    out.resize(n);
    return r;
}

// Something like code: repeated short patterns with varying operands.
Bytes CodeLike(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b;
    const Bytes ops[] = {{0x4E, 0x75}, {0x20, 0x3C}, {0x61, 0x00}, {0x4A, 0x80}, {0x66, 0x00}, {0x2F, 0x0E}};
    while (b.size() < n) {
        const Bytes& op = ops[rng() % 6];
        b.insert(b.end(), op.begin(), op.end());
        if (rng() % 2) b.push_back(static_cast<std::uint8_t>(rng()));
        if (rng() % 3 == 0) b.push_back(0);
    }
    b.resize(n);
    return b;
}

TEST(Inflate, DecodesEveryBlockTypeAsZlibEncodesIt) {
    std::mt19937 rng(7);
    Bytes random(6000);
    for (auto& b : random) b = static_cast<std::uint8_t>(rng());
    const Bytes code = CodeLike(4096, 3);
    const Bytes blank(4096, 0xFF);
    struct Case {
        const Bytes* data;
        int level;
        int strategy;
    };
    const Case cases[] = {
        {&code, 9, Z_DEFAULT_STRATEGY}, {&code, 1, Z_FIXED},           {&code, 6, Z_HUFFMAN_ONLY},
        {&code, 0, Z_DEFAULT_STRATEGY}, {&random, 9, Z_DEFAULT_STRATEGY}, {&blank, 9, Z_DEFAULT_STRATEGY},
        {&code, 9, Z_RLE},
    };
    for (const Case& c : cases) {
        const Bytes packed = Deflate(*c.data, c.level, c.strategy);
        Bytes out;
        EXPECT_EQ(Inflate(packed, out, c.data->size()), INFLATE_OK) << c.level << "/" << c.strategy;
        EXPECT_EQ(out, *c.data) << c.level << "/" << c.strategy;
    }
    Bytes out;
    EXPECT_EQ(Inflate(Deflate({}, 9), out, 16), INFLATE_OK);
    EXPECT_TRUE(out.empty());
}

// The compressor primed with what precedes the chunk in the flash: the
// decoder reads it from there, and refuses a distance reaching further back.
TEST(Inflate, ReachesIntoTheHistoryBeforeTheChunk) {
    const Bytes before = CodeLike(4096, 11);
    Bytes chunk(before.begin() + 1000, before.begin() + 3000);
    chunk.insert(chunk.end(), before.begin(), before.begin() + 500);
    const Bytes packed = Deflate(chunk, 9, Z_DEFAULT_STRATEGY, before);
    EXPECT_LT(packed.size(), 200u);
    Bytes out;
    EXPECT_EQ(Inflate(packed, out, chunk.size(), before), INFLATE_OK);
    EXPECT_EQ(out, chunk);
    const Bytes shortHistory(before.end() - 100, before.end());
    EXPECT_EQ(Inflate(packed, out, chunk.size(), shortHistory), INFLATE_TOO_FAR);
    EXPECT_EQ(Inflate(packed, out, chunk.size()), INFLATE_TOO_FAR);
}

// Cut, flipped or too long: an error, never a write past the output.
TEST(Inflate, DamagedInputFailsInsideItsOutput) {
    const Bytes code = CodeLike(3000, 5);
    const Bytes packed = Deflate(code, 9);
    Bytes out;
    EXPECT_EQ(Inflate(packed, out, code.size() - 1), INFLATE_TOO_LONG);
    EXPECT_EQ(Inflate(Bytes(packed.begin(), packed.end() - 5), out, code.size()), INFLATE_TRUNCATED);
    EXPECT_EQ(Inflate(Bytes{0x07}, out, 100), INFLATE_BAD_DATA);  // block type 3
    std::mt19937 rng(1);
    int failed = 0;
    for (int i = 0; i < 300; ++i) {
        Bytes bad = packed;
        bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        const int r = Inflate(bad, out, code.size());
        if (r != INFLATE_OK || out != code) ++failed;
    }
    EXPECT_GT(failed, 250);  // the frames' own CRC catches the rest
}

}  // namespace
