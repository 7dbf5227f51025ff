#include "FastStagePlan.h"

#include <zlib.h>

#include <algorithm>

#include "FastVerify.h"
#include "FlashMap.h"
#include "fast_stage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPayload = 250;  // words per program frame, word-aligned
constexpr std::size_t kDataPayload = 250;

void PutLong(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// Raw deflate at zlib's best, primed with what precedes the chunk in the
// flash; empty when zlib fails.
Bytes Deflate(std::span<const std::uint8_t> data, std::span<const std::uint8_t> history) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    if (!history.empty()) deflateSetDictionary(&z, history.data(), static_cast<uInt>(history.size()));
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int r = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return r == Z_STREAM_END ? out : Bytes{};
}

std::uint32_t Long(std::span<const std::uint8_t> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

bool Blank(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

struct Planner {
    std::span<const std::int16_t> image;
    StagePlanT plan;
    std::uint32_t toErase = 0;  // sectors still to be erased

    // Erase frames for every sector to be erased up to the one holding
    // offset (all of them at kFlashSize).
    void EraseUpTo(std::uint32_t offset) {
        for (std::size_t i = 0; i < kFlashSectors.size(); ++i) {
            if (kFlashSectors[i].start > kFlashBase + offset) break;
            if ((toErase & (1u << i)) == 0) continue;
            toErase &= ~(1u << i);
            StageFrameT f;
            f.command = STAGE_CMD_ERASE;
            PutLong(f.data, kFlashSectors[i].start);
            PutLong(f.data, kFlashSectors[i].size);  // a blank one is left as it is
            plan.frames.push_back(std::move(f));
            ++plan.erases;
        }
    }

    void Programmed(std::span<const std::uint8_t> words) { plan.programmed += words.size(); }

    // The check's frames, last: every run of the file's bytes, split where
    // a 256-byte block changes between blank (0xFF, whole words) and not,
    // neighbours of one kind joined. The CRC goes over the others' bytes.
    void CheckFrames(std::uint32_t size) {
        struct Range {
            std::uint32_t from, to;
            bool blank;
        };
        std::vector<Range> ranges;
        constexpr std::uint32_t kBlock = 256;
        for (std::uint32_t i = 0; i < size;) {
            if (image[i] < 0) {
                ++i;
                continue;
            }
            const std::uint32_t blockEnd = std::min(size, (i / kBlock + 1) * kBlock);
            std::uint32_t j = i;
            bool allFF = true;
            for (; j < blockEnd && image[j] >= 0; ++j) allFF = allFF && image[j] == 0xFF;
            const bool blank = allFF && (i % 2) == 0 && (j % 2) == 0;
            if (!ranges.empty() && ranges.back().to == i && ranges.back().blank == blank)
                ranges.back().to = j;
            else
                ranges.push_back({i, j, blank});
            i = j;
        }
        std::uint32_t crc = 0;
        for (std::size_t at = 0; at < ranges.size(); at += STAGE_CHECK_RANGES) {
            StageFrameT f;
            f.command = STAGE_CMD_CHECK;
            for (std::size_t k = at; k < std::min(ranges.size(), at + STAGE_CHECK_RANGES); ++k) {
                const Range& r = ranges[k];
                PutLong(f.data, kFlashBase + r.from);
                PutLong(f.data, (r.to - r.from) | (r.blank ? STAGE_CHECK_BLANK : 0u));
                if (r.blank) continue;
                Bytes bytes(r.to - r.from);
                for (std::uint32_t b = r.from; b < r.to; ++b) bytes[b - r.from] = static_cast<std::uint8_t>(image[b]);
                crc = Crc32(bytes, crc);
            }
            plan.frames.push_back(std::move(f));
        }
        plan.check = crc;
    }

    void ProgramFrames(std::uint32_t offset, std::span<const std::uint8_t> words, std::uint32_t fileBytes) {
        EraseUpTo(offset);
        for (std::size_t at = 0; at < words.size(); at += kPayload) {
            const auto piece = words.subspan(at, std::min(kPayload, words.size() - at));
            StageFrameT f;
            f.command = STAGE_CMD_PROGRAM;
            PutLong(f.data, kFlashBase + offset + static_cast<std::uint32_t>(at));
            f.data.insert(f.data.end(), piece.begin(), piece.end());
            f.fileBytes = at + kPayload >= words.size() ? fileBytes : 0;
            plan.frames.push_back(std::move(f));
            Programmed(piece);
        }
    }

    // A run of the file's bytes [from, to) inside one chunk, widened to whole
    // words (the byte beside an odd end is the erased flash's 0xFF).
    void Run(std::uint32_t from, std::uint32_t to) {
        const std::uint32_t start = from & ~1u;
        const std::uint32_t end = (to + 1u) & ~1u;
        Bytes words(end - start, 0xFF);
        for (std::uint32_t i = from; i < to; ++i) words[i - start] = static_cast<std::uint8_t>(image[i]);
        if (Blank(words)) {
            ++plan.blankPieces;
            if (!plan.frames.empty()) plan.frames.back().fileBytes += to - from;
            return;
        }
        ProgramFrames(start, words, to - from);
    }

    // How many bytes before `offset` the file holds without a gap (at most
    // the stage's history), and so the flash too once they are programmed.
    std::uint32_t History(std::uint32_t offset) const {
        std::uint32_t n = 0;
        while (n < STAGE_HISTORY_MAX && n < offset && image[offset - n - 1] >= 0) ++n;
        return n;
    }

    void Chunk(std::uint32_t offset, bool compress) {
        const std::uint32_t end = std::min<std::uint32_t>(offset + STAGE_CHUNK_MAX, kFlashEnd - kFlashBase);
        bool whole = true;
        for (std::uint32_t i = offset; i < end && whole; ++i) whole = image[i] >= 0;
        if (!whole || !compress) {
            for (std::uint32_t i = offset; i < end;) {
                if (image[i] < 0) {
                    ++i;
                    continue;
                }
                std::uint32_t j = i;
                while (j < end && image[j] >= 0) ++j;
                Run(i, j);
                i = j;
            }
            return;
        }
        Bytes data(end - offset);
        for (std::uint32_t i = offset; i < end; ++i) data[i - offset] = static_cast<std::uint8_t>(image[i]);
        if (Blank(data)) {
            ++plan.blankPieces;
            if (!plan.frames.empty()) plan.frames.back().fileBytes += end - offset;
            return;
        }
        const std::uint32_t h = History(offset);
        Bytes history(h);
        for (std::uint32_t i = 0; i < h; ++i) history[i] = static_cast<std::uint8_t>(image[offset - h + i]);
        const Bytes packed = Deflate(data, history);
        // Worth it only when the frames it takes are clearly fewer.
        const std::size_t packedFrames = (packed.size() + kDataPayload - 1) / kDataPayload + 1;
        const std::size_t rawFrames = (data.size() + kPayload - 1) / kPayload;
        if (packed.empty() || packed.size() > STAGE_CHUNK_IN_MAX || packedFrames >= rawFrames) {
            ProgramFrames(offset, data, end - offset);
            return;
        }
        EraseUpTo(offset);
        for (std::size_t at = 0; at < packed.size(); at += kDataPayload) {
            StageFrameT f;
            f.command = STAGE_CMD_DATA;
            f.data.assign(packed.begin() + static_cast<std::ptrdiff_t>(at),
                          packed.begin() + static_cast<std::ptrdiff_t>(std::min(packed.size(), at + kDataPayload)));
            plan.frames.push_back(std::move(f));
        }
        StageFrameT f;
        f.command = STAGE_CMD_INFLATE;
        PutLong(f.data, kFlashBase + offset);
        f.data.push_back(static_cast<std::uint8_t>(data.size() >> 8));
        f.data.push_back(static_cast<std::uint8_t>(data.size()));
        f.data.push_back(static_cast<std::uint8_t>(h >> 8));
        f.data.push_back(static_cast<std::uint8_t>(h));
        f.fileBytes = end - offset;
        plan.frames.push_back(std::move(f));
        Programmed(data);
        ++plan.chunks;
    }
};

}  // namespace

std::uint16_t StageCrc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ (b << 8));
        for (int k = 0; k < 8; ++k)
            crc = static_cast<std::uint16_t>((crc & 0x8000u) != 0 ? (static_cast<unsigned>(crc) << 1) ^ 0x1021u
                                                                  : static_cast<unsigned>(crc) << 1);
    }
    return crc;
}

std::vector<std::uint8_t> StageFrameBytes(std::uint8_t seq, std::uint8_t command, std::span<const std::uint8_t> data) {
    Bytes f{STAGE_STX, seq, command, static_cast<std::uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    const std::uint16_t crc = StageCrc16(std::span(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc));
    return f;
}

StagePlanT PlanStageUpload(std::span<const std::int16_t> image, bool compress, std::uint32_t eraseSectors) {
    Planner p{image, {}, eraseSectors};
    for (std::int16_t v : image) p.plan.fileBytes += v >= 0 ? 1u : 0u;
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(image.size(), kFlashEnd - kFlashBase));
    for (std::uint32_t offset = 0; offset < size; offset += STAGE_CHUNK_MAX) p.Chunk(offset, compress);
    p.EraseUpTo(kFlashSize);
    // A sector no frame lands in (blank pieces only) is erased first: there
    // the line still fills the ring while it erases, at the end nothing
    // would. The others stay just before their first frame.
    std::uint32_t landed = 0;
    for (const StageFrameT& f : p.plan.frames)
        if (f.command == STAGE_CMD_PROGRAM || f.command == STAGE_CMD_INFLATE)
            landed |= 1u << FlashSectorIndex(Long(f.data));
    std::stable_partition(p.plan.frames.begin(), p.plan.frames.end(), [&](const StageFrameT& f) {
        return f.command == STAGE_CMD_ERASE && (landed & (1u << FlashSectorIndex(Long(f.data)))) == 0;
    });
    p.CheckFrames(size);
    return p.plan;
}
