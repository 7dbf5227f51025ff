#include "FastVerify.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "CommPort.h"
#include "DaemonDownload.h"
#include "DaemonImage.h"
#include "TargetState.h"
#include "TimerT.h"
#include "crc_applet.h"

// Design: the loader, not the applet, knows which bytes the file holds, so it
// asks for CRCs of exactly those bytes. The parameters are the file's runs of
// held bytes; the applet cuts every run at each 256-byte boundary and sends
// one CRC per piece, in order. A block with holes thus gives one CRC per
// stretch, and bytes the file does not hold are never part of a CRC. The
// CRCs only pick the blocks to read back: the differing bytes are counted
// from a 0x80 read-back of those blocks, so a CRC damaged on the line costs a
// read, never a wrong count.

namespace {

constexpr std::uint32_t kBlock = CRC_APPLET_BLOCK;
// Replies come after at most 63 blocks of CRC work (well under 0.1 s).
constexpr std::uint16_t kReplySeconds = 2;
constexpr std::uint16_t kAckTenths = 5;

struct PieceT {
    std::uint32_t offset;  // from kFlashBase
    std::uint32_t length;
};
struct RangeT {
    std::uint32_t offset;
    std::uint32_t length;
    std::size_t firstPiece;
    std::size_t pieces;
};

// The applet last stored, and under which daemon session (0: never).
unsigned storedSession = 0;
std::vector<std::uint8_t> storedApplet;

std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? (c >> 1) ^ 0xEDB88320U : c >> 1;
        t[i] = c;
    }
    return t;
}

void PutLong(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t GetLong(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// send_buffer's address in the daemon's symbol map; 0 when it names none.
std::uint32_t MapSendBuffer() {
    const std::string map = daemonSymbolMap;
    const std::string key = "_send_buffer $";
    const auto at = map.find(key);
    if (at == std::string::npos) return 0;
    return static_cast<std::uint32_t>(std::strtoul(map.substr(at + key.size(), 8).c_str(), nullptr, 16));
}

// The embedded daemon's bytes at [address, address + out.size()); false
// when its image does not hold them all.
bool DaemonImageBytes(std::uint32_t address, std::span<std::uint8_t> out) {
    const char* position = daemonImage;
    std::array<std::uint8_t, kImageRecordMax> data{};
    std::uint32_t at = 0;
    std::uint8_t length = 0;
    std::size_t found = 0;
    while (NextImageRecord(position, data, at, length) == 1) {
        for (std::uint32_t i = 0; i < length; ++i) {
            if (at + i < address || at + i - address >= out.size()) continue;
            out[at + i - address] = data[i];
            ++found;
        }
    }
    return found == out.size();
}

// A daemon left running by another loader build may keep send_buffer
// elsewhere: its code there must be the embedded daemon's.
bool BoardDaemonIsOurs(VesperilIO& link, std::uint32_t sendBuffer) {
    std::array<std::uint8_t, 32> ours{}, board{};
    return DaemonImageBytes(sendBuffer, ours) && link.ReadMemory(sendBuffer, board) == 0 && ours == board;
}

// The file's runs of held bytes, and their pieces as the applet cuts them.
void Plan(const std::vector<std::int16_t>& image, std::vector<RangeT>& ranges, std::vector<PieceT>& pieces) {
    for (std::uint32_t i = 0; i < image.size();) {
        if (image[i] < 0) {
            ++i;
            continue;
        }
        std::uint32_t end = i;
        while (end < image.size() && image[end] >= 0) ++end;
        RangeT r{i, end - i, pieces.size(), 0};
        for (std::uint32_t at = i; at < end;) {
            const std::uint32_t n = std::min(kBlock - at % kBlock, end - at);
            pieces.push_back({at, n});
            at += n;
        }
        r.pieces = pieces.size() - r.firstPiece;
        ranges.push_back(r);
        i = end;
    }
}

std::uint32_t ImageCrc(const std::vector<std::int16_t>& image, const PieceT& p) {
    std::vector<std::uint8_t> bytes(p.length);
    for (std::uint32_t i = 0; i < p.length; ++i) bytes[i] = static_cast<std::uint8_t>(image[p.offset + i]);
    return Crc32(bytes);
}

// Sends 0x82 once: a resend while the applet already runs would reach the
// daemon only after it and be taken for a new request.
// Stores and reads back: the frames' 8-bit sum misses some double errors,
// and a damaged applet or parameter would run as given.
bool StoreChecked(VesperilIO& link, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> back(bytes.size());
    return link.WriteMemory(address, bytes, 8) == 0 && link.ReadMemory(address, back) == 0 &&
           std::ranges::equal(back, bytes);
}

bool CallApplet(VesperilIO& link) {
    auto& f = link.Frame();
    f[VesperilIO::kCmdAt] = VesperilIO::kCmdRunAt;
    f[VesperilIO::kLenAt] = LINK_ADDRESS_BYTES;
    for (std::size_t i = 0; i < LINK_ADDRESS_BYTES; ++i)
        f[VesperilIO::kDataAt + i] = static_cast<std::uint8_t>(CRC_APPLET_ENTRY >> (8 * (LINK_ADDRESS_BYTES - 1 - i)));
    link.PurgeInput();
    if (link.SendFrame() == 0) return false;
    return link.WaitAck(kAckTenths);
}

// One call: the ranges [first, first + count) as parameters, then their
// CRCs into crcs. 0, kAppletStoreFailed or kAppletSilent.
int AskCrcs(VesperilIO& link, std::span<const RangeT> ranges, std::vector<std::uint32_t>& crcs) {
    std::vector<std::uint8_t> params;
    PutLong(params, static_cast<std::uint32_t>(ranges.size()));
    std::size_t expected = 0;
    for (const RangeT& r : ranges) {
        PutLong(params, kFlashBase + r.offset);
        PutLong(params, r.length);
        expected += r.pieces;
    }
    if (!StoreChecked(link, CRC_APPLET_PARAMS, params)) return kAppletStoreFailed;
    if (!CallApplet(link)) return kAppletSilent;
    crcs.clear();
    while (crcs.size() < expected) {
        auto& f = link.Frame();
        const std::size_t want = std::min<std::size_t>(CRC_APPLET_PER_REPLY, expected - crcs.size());
        if (link.ReceiveFrame(f, VesperilIO::kReplyData, kReplySeconds) != 0 || f[VesperilIO::kLenAt] != want * 4)
            return kAppletSilent;
        for (std::size_t i = 0; i < want; ++i) crcs.push_back(GetLong(&f[VesperilIO::kDataAt + 4 * i]));
    }
    return 0;
}

// Every piece's CRC from the board, in order: 0 or why not. Each call is
// tried twice, the applet stored again before the second try.
int BoardCrcs(VesperilIO& link, std::span<const std::uint8_t> applet, const std::vector<RangeT>& ranges,
              std::vector<std::uint32_t>& crcs, const ByteProgressT& progress, std::uint32_t total) {
    std::uint32_t done = 0;
    for (std::size_t at = 0; at < ranges.size(); at += CRC_APPLET_MAX_RANGES) {
        const auto batch = std::span(ranges).subspan(at, std::min<std::size_t>(CRC_APPLET_MAX_RANGES, ranges.size() - at));
        std::vector<std::uint32_t> got;
        int r = 0;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (storedSession != daemonSession.load() || !std::ranges::equal(storedApplet, applet)) {
                if (!BoardDaemonIsOurs(link, GetLong(applet.data()))) return kAppletOtherDaemon;
                if (!StoreChecked(link, CRC_APPLET_BASE, applet)) return kAppletStoreFailed;
                storedSession = daemonSession.load();
                storedApplet.assign(applet.begin(), applet.end());
            }
            r = AskCrcs(link, batch, got);
            if (r == 0) break;
            storedSession = 0;
            WaitTenths(5);  // let a running applet finish before the next request
        }
        if (r != 0) return r;
        crcs.insert(crcs.end(), got.begin(), got.end());
        for (const RangeT& range : batch) done += range.length;
        if (progress) progress(done, total);
    }
    return 0;
}

// Compares the held bytes of one block with a read-back of them: differing
// counts them, v takes the first. -1 when the read failed.
int CountBlock(VesperilIO& link, const std::vector<std::int16_t>& image, std::uint32_t block, VerifyResultT& v,
               unsigned long& differing) {
    std::uint32_t from = block, to = block + kBlock;
    while (from < to && image[from] < 0) ++from;
    while (to > from && image[to - 1] < 0) --to;
    std::vector<std::uint8_t> flash(to - from);
    if (link.ReadMemory(kFlashBase + from, flash) != 0) return -1;
    differing = 0;
    for (std::uint32_t i = from; i < to; ++i) {
        if (image[i] < 0 || flash[i - from] == static_cast<std::uint8_t>(image[i])) continue;
        if (differing++ == 0) {
            v.firstAddress = kFlashBase + i;
            v.expected = static_cast<std::uint8_t>(image[i]);
            v.found = flash[i - from];
        }
    }
    return 0;
}

// Programs the block's held bytes again when every differing bit is a 1 the
// flash can still clear. True when anything was sent to program, so the
// block must be read again.
bool RepairBlock(VesperilIO& link, const std::vector<std::int16_t>& image, std::uint32_t block) {
    std::vector<std::uint8_t> flash(kBlock);
    if (link.ReadMemory(kFlashBase + block, flash) != 0) return false;
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        if (image[block + i] < 0) continue;
        const auto want = static_cast<std::uint8_t>(image[block + i]);
        if ((flash[i] & want) != want) return false;  // a 0 that only an erase turns back to 1
    }
    bool sent = false;
    for (std::uint32_t i = 0; i < kBlock;) {
        if (image[block + i] < 0) {
            ++i;
            continue;
        }
        std::uint32_t end = i;
        std::vector<std::uint8_t> run;
        while (end < kBlock && image[block + end] >= 0) run.push_back(static_cast<std::uint8_t>(image[block + end++]));
        CommPurgeInput();
        sent = true;
        if (link.ProgramFlash(kFlashBase + block + i, run, 8) != 0) break;
        i = end;
    }
    return sent;
}

// The CRC path with the link held: 0, or why the caller must read back.
int FastVerifyHeld(const std::vector<std::int16_t>& image, const ByteProgressT& progress,
                   const FastVerifyOptionsT& options, FastVerifyResultT& out) {
    if (!TargetLink) return kNoDaemon;
    VesperilIO& link = *TargetLink;
    const auto applet = options.applet.empty() ? std::span<const std::uint8_t>(crcApplet, crcAppletSize) : options.applet;
    // Never call an applet that would jump into the middle of another daemon.
    if (applet.size() < 6 || GetLong(applet.data()) != MapSendBuffer()) return kAppletOtherDaemon;

    std::vector<RangeT> ranges;
    std::vector<PieceT> pieces;
    Plan(image, ranges, pieces);
    std::uint32_t total = 0;
    for (const RangeT& r : ranges) total += r.length;
    std::vector<std::uint32_t> crcs;
    if (const int r = BoardCrcs(link, applet, ranges, crcs, progress, total); r != 0) return r;

    VerifyResultT& v = out.verify;
    v.compared = total;
    std::vector<std::uint32_t> suspect;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::uint32_t block = pieces[i].offset - pieces[i].offset % kBlock;
        if (crcs[i] != ImageCrc(image, pieces[i]) && (suspect.empty() || suspect.back() != block))
            suspect.push_back(block);
    }
    for (const std::uint32_t block : suspect) {
        VerifyResultT b;
        unsigned long differing = 0;
        bool silent = CountBlock(link, image, block, b, differing) != 0;
        if (!silent && differing != 0 && options.repair && RepairBlock(link, image, block)) {
            b = VerifyResultT{};
            silent = CountBlock(link, image, block, b, differing) != 0;
            if (!silent && differing == 0) ++out.repaired;
        }
        if (silent) {
            v.result = kBoardSilent;
            return 0;
        }
        // A CRC damaged on the line: the block's bytes all match.
        if (differing == 0) continue;
        if (v.differing == 0) {
            v.firstAddress = b.firstAddress;
            v.expected = b.expected;
            v.found = b.found;
        }
        v.differing += differing;
        out.differingBlocks.push_back(kFlashBase + block);
    }
    return 0;
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    static const auto table = MakeTable();
    crc = ~crc;
    for (const std::uint8_t b : bytes) crc = table[(crc ^ b) & 0xFFU] ^ (crc >> 8);
    return ~crc;
}

FastVerifyResultT FastVerifyRom(const RomImageT& rom, const ByteProgressT& progress,
                                const FastVerifyOptionsT& options) {
    FastVerifyResultT out;
    const HeldBytesT held = HeldBytes(rom);
    if (held.result != 0) {
        out.verify.result = held.result;
        return out;
    }
    const std::vector<std::int16_t>& image = held.held;
    if (!daemonRunning) {
        out.verify.result = kNoDaemon;
        return out;
    }
    {
        LinkUseT use;
        if (!use.Held()) {
            out.verify.result = kLinkBusy;
            return out;
        }
        out.applet = FastVerifyHeld(image, progress, options, out);
        if (out.applet == kNoDaemon) {
            out.applet = 0;
            out.verify.result = kNoDaemon;
            return out;
        }
        if (out.applet == 0) return out;
    }
    // Never a success without a comparison: every byte the slow way.
    out.readBack = true;
    out.verify = VerifyRom(rom, progress);
    return out;
}
