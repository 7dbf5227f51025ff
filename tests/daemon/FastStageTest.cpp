// The committed fast stage on the simulated board, started by the daemon:
// the speed handshake and its fall-back, pipelined program frames, the
// sticky error, damaged and repeated frames, sector erases inside the
// stream, and the way back to the daemon.
#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>

#include "DaemonBoard.h"
#include "fast_stage.h"

namespace daemontest {
namespace {

constexpr sim::LineFormat k57600{57600, 8, sim::Parity::None, 1};
constexpr sim::LineFormat k115200{115200, 8, sim::Parity::None, 1};

std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc ^= static_cast<std::uint16_t>(b << 8);
        for (int k = 0; k < 8; ++k) crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Bytes StageFrame(std::uint8_t seq, std::uint8_t cmd, std::span<const std::uint8_t> data = {}) {
    Bytes body{seq, cmd, static_cast<std::uint8_t>(data.size())};
    body.insert(body.end(), data.begin(), data.end());
    const std::uint16_t crc = Crc16(body);
    Bytes f{STAGE_STX};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc));
    return f;
}

Bytes ProgramFrame(std::uint8_t seq, std::uint32_t address, std::span<const std::uint8_t> words) {
    Bytes data{static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
               static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
    data.insert(data.end(), words.begin(), words.end());
    return StageFrame(seq, STAGE_CMD_PROGRAM, data);
}

Bytes EraseFrame(std::uint8_t seq, std::uint32_t address) {
    const Bytes data{static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
    return StageFrame(seq, STAGE_CMD_ERASE, data);
}

void PutLong(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// The board's check of its flash: ranges of (address, length), the length
// with STAGE_CHECK_BLANK for a range that must be blank.
Bytes CheckFrame(std::uint8_t seq, std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> ranges) {
    Bytes data;
    for (const auto& [address, length] : ranges) {
        PutLong(data, address);
        PutLong(data, length);
    }
    return StageFrame(seq, STAGE_CMD_CHECK, data);
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 5));
    return b;
}

struct Status {
    std::uint8_t code = 0xFF;
    std::uint32_t address = 0, crc = 0, bytes = 0;
    unsigned blankSectors = 0;
};

std::uint32_t Long(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

class Stage {
public:
    explicit Stage(sim::BoardOptions o = DaemonBoard::DefaultOptions()) : d(o) {}

    // The daemon at 38,400, the stage stored and called; then the host's
    // side of the handshake: pings at `fast` until answered or `tries` are
    // spent, then at 38,400. Returns the speed it got an answer at.
    std::optional<std::uint32_t> Start(std::uint8_t speed, std::uint16_t preload, const sim::LineFormat& fast,
                                       int tries = 8) {
        if (!d.StartDaemon()) return std::nullopt;
        if (d.Exchange(Frame(0x86, Bytes{0x0C}), 1) != Bytes{kAck}) return std::nullopt;
        d.SetHostFormat(sim::k38400_8N1);
        d.Write(STAGE_BASE, std::span(fastStage, fastStageSize));
        d.Write(STAGE_PARAMS, Bytes{speed, static_cast<std::uint8_t>(preload >> 8), static_cast<std::uint8_t>(preload)});
        if (d.Exchange(AddressFrame(0x82, STAGE_ENTRY), 1) != Bytes{kAck}) return std::nullopt;
        if (speed == STAGE_SPEED_TIMER) {
            d.SetHostFormat(fast);
            for (int i = 0; i < tries; ++i)
                if (d.Exchange(StageFrame(0x50, STAGE_CMD_PING), 2, DaemonBoard::Millis(25)) ==
                    Bytes{STAGE_ACK, 0x50})
                    return fast.baud;
        }
        d.SetHostFormat(sim::k38400_8N1);
        for (int i = 0; i < 40; ++i)
            if (d.Exchange(StageFrame(0x51, STAGE_CMD_PING), 2, DaemonBoard::Millis(25)) == Bytes{STAGE_ACK, 0x51})
                return 38400u;
        return std::nullopt;
    }

    // The status; asked again while the stage says it is not done (a
    // sector still erasing). busy counts those answers.
    std::optional<Status> End(int* busy = nullptr) {
        for (int i = 0; i < 20; ++i) {
            const Bytes r = d.Exchange(StageFrame(0, STAGE_CMD_END), 4 + STAGE_STATUS_LEN, DaemonBoard::Millis(500));
            if (r == Bytes{STAGE_ACK, 0} || r == Bytes{STAGE_NAK, 0}) {
                if (busy) ++*busy;
                continue;
            }
            if (r.size() != 4 + STAGE_STATUS_LEN || r[0] != STAGE_STX || r[1] != STAGE_CMD_END) return std::nullopt;
            const Bytes body(r.begin() + 2, r.begin() + 2 + STAGE_STATUS_LEN);
            if (Crc16(body) != ((r[2 + STAGE_STATUS_LEN] << 8) | r[3 + STAGE_STATUS_LEN])) return std::nullopt;
            return Status{body[0], Long(body, 1), Long(body, 5), Long(body, 9), body[13]};
        }
        return std::nullopt;
    }

    bool LeaveToDaemon() {
        if (d.Exchange(StageFrame(0x77, STAGE_CMD_LEAVE), 2) != Bytes{STAGE_ACK, 0x77}) return false;
        d.SetHostFormat(sim::k38400_8N1);
        return d.Alive();
    }

    DaemonBoard d;
};

// zlib's CRC-32, bit by bit.
std::uint32_t Crc32(const Bytes& b) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : b) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

// Four frames sent back to back at 57,600 are answered on receipt, in
// order, and programmed; the board's CRC of what it read back is the file's.
TEST(FastStage, PipelinedFramesAt57600AreProgrammedAndCheckedOnTheBoard) {
    Stage s;
    ASSERT_EQ(s.Start(STAGE_SPEED_TIMER, 2, k57600), 57600u);
    EXPECT_EQ(s.d.Board().DuartClockSelect(sim::Channel::A), 0xDD);
    Bytes burst, all;
    for (std::uint8_t i = 0; i < 4; ++i) {
        const Bytes words = Pattern(250, i);
        const Bytes f = ProgramFrame(i, 0x420000 + 250u * i, words);
        burst.insert(burst.end(), f.begin(), f.end());
        all.insert(all.end(), words.begin(), words.end());
    }
    EXPECT_EQ(s.d.Exchange(burst, 8), (Bytes{STAGE_ACK, 0, STAGE_ACK, 1, STAGE_ACK, 2, STAGE_ACK, 3})) << s.d.FaultText();
    EXPECT_EQ(s.d.Exchange(CheckFrame(4, {{0x420000, 1000}}), 2), (Bytes{STAGE_ACK, 4}));
    const auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    EXPECT_EQ(st->bytes, 1000u);
    EXPECT_EQ(st->crc, Crc32(all));
    EXPECT_EQ(s.d.Read(0x420000, 1000), all);
    EXPECT_TRUE(s.LeaveToDaemon());
    EXPECT_EQ(s.d.Board().DuartClockSelect(sim::Channel::A), 0xCC);
}

// The check reads the flash itself: odd edges, ranges in order, a blank
// range that is not blank named by its first word, and a flash that does
// not hold what was sent (a word failed before the stage ran) seen in the CRC.
TEST(FastStage, TheCheckReadsTheFlashNotWhatWasSent) {
    Stage s;
    s.d.FillFlash(0x421000, 0x421100, 0x00);
    ASSERT_EQ(s.Start(STAGE_SPEED_KEEP, 0, sim::k38400_8N1), 38400u);
    const Bytes words = Pattern(64, 1);
    EXPECT_EQ(s.d.Exchange(ProgramFrame(0, 0x420000, words), 2), (Bytes{STAGE_ACK, 0}));
    EXPECT_EQ(s.d.Exchange(CheckFrame(1, {{0x420021, 31}, {0x420001, 0x1E}, {0x420040, 0x40 | STAGE_CHECK_BLANK}}), 2),
              (Bytes{STAGE_ACK, 1}));
    auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    Bytes order(words.begin() + 0x21, words.begin() + 0x40);
    order.insert(order.end(), words.begin() + 1, words.begin() + 0x1F);
    EXPECT_EQ(st->crc, Crc32(order));
    // 0x421000 holds zeros the host never sent: blank it is not.
    EXPECT_EQ(s.d.Exchange(CheckFrame(2, {{0x420800, 0x1000 | STAGE_CHECK_BLANK}}), 2), (Bytes{STAGE_ACK, 2}));
    st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_ERR_BLANK);
    EXPECT_EQ(st->address, 0x421000u);
    EXPECT_TRUE(s.LeaveToDaemon());
}

// A preload of 1 would be 115,200: below the chip's minimum, no clock. The
// host hears nothing there; both ends go back to 38,400 by themselves and
// the run goes on.
TEST(FastStage, NoClockBelowPreloadTwoFallsBackTo38400) {
    Stage s;
    ASSERT_EQ(s.Start(STAGE_SPEED_TIMER, 1, k115200, 4), 38400u);
    const Bytes words = Pattern(100, 9);
    EXPECT_EQ(s.d.Exchange(ProgramFrame(0, 0x430000, words), 2), (Bytes{STAGE_ACK, 0}));
    const auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    EXPECT_EQ(s.d.Read(0x430000, 100), words);
    EXPECT_TRUE(s.LeaveToDaemon());
    // A line that carries nothing above 38,400 (the board's transceivers):
    // the same fall-back.
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.lineFaults.maxBaud = 38400;
    Stage slow(o);
    ASSERT_EQ(slow.Start(STAGE_SPEED_TIMER, 2, k57600, 4), 38400u);
    EXPECT_TRUE(slow.LeaveToDaemon());
}

// A damaged frame is dropped without a word and nothing of it reaches the
// flash; the same frame sent again is taken, and a repeat of a frame already
// taken is answered again but not programmed twice.
TEST(FastStage, DamagedAndRepeatedFramesNeverProgramWrongData) {
    Stage s;
    ASSERT_EQ(s.Start(STAGE_SPEED_TIMER, 2, k57600), 57600u);
    const Bytes words = Pattern(200, 3);
    Bytes bad = ProgramFrame(0, 0x440000, words);
    bad[20] ^= 0x10;
    EXPECT_TRUE(s.d.Exchange(bad, 2, DaemonBoard::Millis(100)).empty());
    EXPECT_EQ(s.d.Read(0x440000, 200), Bytes(200, 0xFF));
    Bytes cut = ProgramFrame(0, 0x440000, words);
    cut.resize(100);
    EXPECT_TRUE(s.d.Exchange(cut, 2, DaemonBoard::Millis(50)).empty());
    EXPECT_EQ(s.d.Exchange(ProgramFrame(0, 0x440000, words), 2), (Bytes{STAGE_ACK, 0}));
    EXPECT_EQ(s.d.Exchange(ProgramFrame(0, 0x440000, words), 2), (Bytes{STAGE_ACK, 0}));
    // Ahead of a lost frame: dropped, the loader goes back to the lost one.
    EXPECT_TRUE(s.d.Exchange(ProgramFrame(2, 0x440200, words), 2, DaemonBoard::Millis(100)).empty());
    EXPECT_EQ(s.d.Exchange(CheckFrame(1, {{0x440000, 200}}), 2), (Bytes{STAGE_ACK, 1}));
    const auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    EXPECT_EQ(st->bytes, 200u);
    EXPECT_EQ(st->crc, Crc32(words));
    EXPECT_EQ(s.d.Read(0x440000, 200), words);
    EXPECT_EQ(s.d.Read(0x440200, 2), Bytes(2, 0xFF));
}

// A word that does not program: the frames after it are answered NAK (the
// error is sticky), none of them is programmed, and the end says where.
TEST(FastStage, StickyErrorReachesTheHostAndStopsProgramming) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    Stage s(o);
    s.d.Board().FailFlashWord(0x450010);
    ASSERT_EQ(s.Start(STAGE_SPEED_TIMER, 2, k57600), 57600u);
    const Bytes words = Pattern(64, 5);
    Bytes burst;
    for (std::uint8_t i = 0; i < 3; ++i) {
        const Bytes f = ProgramFrame(i, 0x450000 + 64u * i, words);
        burst.insert(burst.end(), f.begin(), f.end());
    }
    const Bytes answers = s.d.Exchange(burst, 6);
    ASSERT_EQ(answers.size(), 6u);
    EXPECT_EQ(answers[5], 2);
    EXPECT_EQ(answers[4], STAGE_NAK);
    const auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_ERR_PROGRAM);
    EXPECT_EQ(st->address, 0x450010u);
    EXPECT_EQ(st->bytes, 0x10u);
    EXPECT_EQ(s.d.Read(0x450040, 64), Bytes(64, 0xFF));
    // Outside the flash is refused as well (a fresh stage).
    Stage t;
    ASSERT_EQ(t.Start(STAGE_SPEED_KEEP, 0, sim::k38400_8N1), 38400u);
    t.d.Exchange(ProgramFrame(0, 0x47FFF0, Pattern(32, 1)), 2);
    const auto outside = t.End();
    ASSERT_TRUE(outside);
    EXPECT_EQ(outside->code, STAGE_ERR_ADDRESS);
    EXPECT_TRUE(t.LeaveToDaemon());
}

Bytes RawDeflate(const Bytes& data, const Bytes& dictionary) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    if (!dictionary.empty()) deflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size()));
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Two compressed chunks, the second primed with the first (which the stage
// reads back from the flash), are inflated and programmed; a chunk that
// does not inflate to its length is a sticky error and programs nothing.
TEST(FastStage, CompressedChunksAreInflatedOnTheBoard) {
    Stage s;
    ASSERT_EQ(s.Start(STAGE_SPEED_TIMER, 2, k57600), 57600u);
    Bytes first, second;
    for (int i = 0; i < 4096; ++i) first.push_back(static_cast<std::uint8_t>((i % 37) * 3 + (i / 512)));
    second.assign(first.begin() + 100, first.end());
    second.insert(second.end(), first.begin(), first.begin() + 100);
    second[7] = 0x42;
    std::uint8_t seq = 0;
    Bytes answers;
    auto chunk = [&](std::uint32_t address, const Bytes& data, const Bytes& history, std::uint16_t length) {
        const Bytes packed = RawDeflate(data, history);
        for (std::size_t at = 0; at < packed.size(); at += 200) {
            const Bytes part(packed.begin() + static_cast<std::ptrdiff_t>(at),
                             packed.begin() + static_cast<std::ptrdiff_t>(std::min(packed.size(), at + 200)));
            answers = s.d.Exchange(StageFrame(seq++, STAGE_CMD_DATA, part), 2);
        }
        const Bytes arg{static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                        static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
                        static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                        static_cast<std::uint8_t>(history.size() >> 8), static_cast<std::uint8_t>(history.size())};
        answers = s.d.Exchange(StageFrame(seq++, STAGE_CMD_INFLATE, arg), 2);
    };
    chunk(0x460000, first, {}, 4096);
    EXPECT_EQ(answers, (Bytes{STAGE_ACK, static_cast<std::uint8_t>(seq - 1)}));
    chunk(0x461000, second, first, 4096);
    EXPECT_EQ(s.d.Exchange(CheckFrame(seq, {{0x460000, 8192}}), 2), (Bytes{STAGE_ACK, seq}));
    ++seq;
    auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    EXPECT_EQ(st->bytes, 8192u);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(st->crc, Crc32(both));
    EXPECT_EQ(s.d.Read(0x460000, 8192), both);
    chunk(0x462000, second, {}, 4094);  // one byte more than it says
    st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_ERR_CHUNK);
    EXPECT_EQ(s.d.Read(0x462000, 16), Bytes(16, 0xFF));
}

// An erase goes through the ring like a frame: while the sector erases (1 s,
// the data sheet's typical time) the frames behind it are stored and
// answered, a damaged one among them is dropped and taken when sent again,
// and all are programmed into the erased sector once it is done.
TEST(FastStage, FramesKeepArrivingWhileASectorErases) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.timing = sim::TimingProfile::Typical;
    Stage s(o);
    s.d.FillFlash(0x408000, 0x418000, 0x5A);
    const Bytes next = s.d.Read(0x410000, 0x100);
    ASSERT_EQ(s.Start(STAGE_SPEED_TIMER, 2, k57600), 57600u);
    Bytes burst = EraseFrame(0, 0x408000), all, expected;
    std::vector<Bytes> frames;
    for (std::uint8_t i = 0; i < 10; ++i) {
        const Bytes words = Pattern(250, static_cast<std::uint8_t>(i * 11));
        frames.push_back(ProgramFrame(static_cast<std::uint8_t>(i + 1), 0x408000 + 250u * i, words));
        all.insert(all.end(), words.begin(), words.end());
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        Bytes f = frames[i];
        if (i == 5) f[30] ^= 0x01;
        burst.insert(burst.end(), f.begin(), f.end());
    }
    const sim::Picos start = s.d.Board().Now();
    for (std::uint8_t seq = 0; seq <= 5; ++seq) expected.insert(expected.end(), {STAGE_ACK, seq});
    EXPECT_EQ(s.d.Exchange(burst, expected.size(), DaemonBoard::Millis(900)), expected);
    // The damaged frame and the ones behind it, again.
    Bytes again;
    for (std::size_t i = 5; i < frames.size(); ++i) again.insert(again.end(), frames[i].begin(), frames[i].end());
    expected.clear();
    for (std::uint8_t seq = 6; seq <= 10; ++seq) expected.insert(expected.end(), {STAGE_ACK, seq});
    EXPECT_EQ(s.d.Exchange(again, expected.size(), DaemonBoard::Millis(900)), expected);
    EXPECT_LT(s.d.Board().Now() - start, DaemonBoard::Millis(1000)) << "answered only after the erase";
    EXPECT_EQ(s.d.Exchange(CheckFrame(11, {{0x408000, 2500}}), 2, DaemonBoard::Millis(900)), (Bytes{STAGE_ACK, 11}));
    int busy = 0;
    const auto st = s.End(&busy);
    ASSERT_TRUE(st);
    EXPECT_GT(busy, 0);
    EXPECT_EQ(st->code, STAGE_OK);
    EXPECT_EQ(st->bytes, all.size());
    EXPECT_EQ(st->crc, Crc32(all));
    Bytes sector = all;
    sector.resize(0x8000, 0xFF);
    EXPECT_EQ(s.d.Read(0x408000, 0x8000), sector);
    EXPECT_EQ(s.d.Read(0x410000, 0x100), next);
    EXPECT_EQ(s.d.Board().FlashCounters().sectorErases, 1u);
    EXPECT_TRUE(s.d.Faults().empty()) << s.d.FaultText();
    EXPECT_TRUE(s.LeaveToDaemon());
}

// Given the sector's size, an erase of a sector already blank is left out
// and counted; one word not blank, even the sector's last, and it erases.
// In the last sector the serial-number area is not looked at.
TEST(FastStage, ABlankSectorIsNotErasedAgain) {
    Stage s;
    s.d.FillFlash(0x406000, 0x408000, 0xFF);
    s.d.FillFlash(0x407FFE, 0x408000, 0x00);
    s.d.FillFlash(0x47F000, 0x480000, 0x42);  // a serial number, the rest blank
    const Bytes serial = s.d.Read(0x47F000, 0x1000);
    ASSERT_EQ(s.Start(STAGE_SPEED_KEEP, 0, sim::k38400_8N1), 38400u);
    const auto sized = [](std::uint8_t seq, std::uint32_t start, std::uint32_t size) {
        Bytes data;
        PutLong(data, start);
        PutLong(data, size);
        return StageFrame(seq, STAGE_CMD_ERASE, data);
    };
    EXPECT_EQ(s.d.Exchange(sized(0, 0x404000, 0x2000), 2), (Bytes{STAGE_ACK, 0}));
    EXPECT_EQ(s.d.Exchange(sized(1, 0x406000, 0x2000), 2), (Bytes{STAGE_ACK, 1}));
    EXPECT_EQ(s.d.Exchange(sized(2, 0x470000, 0x10000), 2), (Bytes{STAGE_ACK, 2}));
    const auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    EXPECT_EQ(st->blankSectors, 2u);
    EXPECT_EQ(s.d.Board().FlashCounters().sectorErases, 1u);
    EXPECT_EQ(s.d.Read(0x407FFE, 2), Bytes(2, 0xFF));
    EXPECT_EQ(s.d.Read(0x47F000, 0x1000), serial);
    EXPECT_TRUE(s.LeaveToDaemon());
}

// The last sector's erase keeps the serial-number area; a sector that never
// erases is the sticky error, named by its address, and nothing is
// programmed after it; an area that does not program back is named too,
// its copy left in RAM for the loader.
TEST(FastStage, EraseKeepsTheSerialNumberAreaAndNamesWhatFailed) {
    Stage s;
    s.d.FillFlash(0x470000, 0x480000, 0x33);
    const Bytes serial = s.d.Read(0x47F000, 0x1000);
    ASSERT_EQ(s.Start(STAGE_SPEED_KEEP, 0, sim::k38400_8N1), 38400u);
    const Bytes words = Pattern(250, 4);
    Bytes burst = EraseFrame(0, 0x470000);
    const Bytes f = ProgramFrame(1, 0x470100, words);
    burst.insert(burst.end(), f.begin(), f.end());
    EXPECT_EQ(s.d.Exchange(burst, 4), (Bytes{STAGE_ACK, 0, STAGE_ACK, 1}));
    auto st = s.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_OK);
    Bytes page(0xF000, 0xFF);
    std::copy(words.begin(), words.end(), page.begin() + 0x100);
    EXPECT_EQ(s.d.Read(0x470000, 0xF000), page);
    EXPECT_EQ(s.d.Read(0x47F000, 0x1000), serial);

    Stage bad;
    bad.d.Board().FailFlashSector(3);
    bad.d.FillFlash(0x408000, 0x410000, 0x21);
    const Bytes old = bad.d.Read(0x408000, 250);
    ASSERT_EQ(bad.Start(STAGE_SPEED_KEEP, 0, sim::k38400_8N1), 38400u);
    burst = EraseFrame(0, 0x408000);
    const Bytes g = ProgramFrame(1, 0x408000, words);
    burst.insert(burst.end(), g.begin(), g.end());
    const Bytes answers = bad.d.Exchange(burst, 4);
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[2], STAGE_NAK);
    st = bad.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_ERR_ERASE);
    EXPECT_EQ(st->address, 0x408000u);
    EXPECT_EQ(st->bytes, 0u);
    EXPECT_EQ(bad.d.Read(0x408000, 250), old);
    EXPECT_TRUE(bad.LeaveToDaemon());

    Stage lost;
    lost.d.FillFlash(0x470000, 0x480000, 0x33);
    lost.d.Board().FailFlashWord(0x47F010);
    ASSERT_EQ(lost.Start(STAGE_SPEED_KEEP, 0, sim::k38400_8N1), 38400u);
    EXPECT_EQ(lost.d.Exchange(EraseFrame(0, 0x470000), 2), (Bytes{STAGE_ACK, 0}));
    st = lost.End();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, STAGE_ERR_SERIAL);
    EXPECT_EQ(st->address, 0x47F010u);
    EXPECT_EQ(lost.d.Read(STAGE_SERIAL_COPY, 0x1000), serial);
}

}  // namespace
}  // namespace daemontest
