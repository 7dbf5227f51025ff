// Random and mutated requests against the daemon on the simulated board.
// Each step sends, as one burst, some noise, one frame (often damaged) and,
// when the frame was cut short, zero bytes until the daemon must have dropped
// it. Noise or a damaged frame makes the daemon swallow the rest of the
// burst, so such a step ends with a quiet pause. A reference
// receiver reads the same bytes to know which request the daemon takes, what
// it must answer, and which memory it may change. After every step: no CPU
// fault, exactly the expected answer, and RAM and flash unchanged outside the
// request's range (flash inside a program range may only lose bits).
//
// ZELMO_DAEMON_FUZZ_STEPS and ZELMO_DAEMON_FUZZ_SEED override the fixed
// defaults for longer runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <cstdlib>
#include <optional>
#include <random>

#include "DaemonBoard.h"

namespace daemontest {
namespace {

constexpr std::uint32_t kRamEnd = 0x500000;
// RAM compared after every step: the save buffer, the daemon's code, stack and
// data words, and the window that stores go to.
constexpr std::uint32_t kStoreWindowEnd = 0x4B0000;
constexpr std::uint32_t kDaemonEnd = 0x4A000C;  // code, stack and data words end here
constexpr std::uint32_t kStackLow = 0x49F000;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

struct Request {
    std::uint8_t cmd = 0;
    Bytes data;
    std::uint32_t Address() const {
        return (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) | (std::uint32_t{data[2]} << 8) |
               data[3];
    }
};

// The daemon's receiver, byte by byte.
class ReferenceReceiver {
public:
    // The request completed by this byte, if any.
    std::optional<Request> Feed(std::uint8_t b) {
        switch (state_) {
            case State::Idle:
                if (b == kEnq) ++enqAnswers;
                else state_ = b == kStx ? State::Zero : State::Skip;
                break;
            case State::Skip:
                break;
            case State::Zero:
                state_ = b == 0 ? State::Cmd : State::Skip;
                break;
            case State::Cmd:
                current_ = {b, {}};
                sum_ = b;
                state_ = State::Len;
                break;
            case State::Len:
                len_ = b;
                sum_ = static_cast<std::uint8_t>(sum_ + b);
                state_ = len_ == 0 ? State::Ck : State::Data;
                break;
            case State::Data:
                current_.data.push_back(b);
                sum_ = static_cast<std::uint8_t>(sum_ + b);
                if (current_.data.size() == len_) state_ = State::Ck;
                break;
            case State::Ck:
                sumHolds_ = b == sum_;  // ETX is read either way
                state_ = State::Etx;
                break;
            case State::Etx:
                state_ = State::Skip;
                if (sumHolds_ && b == kEtx && current_.cmd != 0) {
                    state_ = State::Idle;
                    return current_;
                }
                break;
        }
        return std::nullopt;
    }
    bool OutsideFrame() const { return state_ == State::Idle || state_ == State::Skip; }
    bool Skipping() const { return state_ == State::Skip; }
    unsigned enqAnswers = 0;

private:
    enum class State { Idle, Skip, Zero, Cmd, Len, Data, Ck, Etx };
    State state_ = State::Idle;
    Request current_;
    std::uint8_t sum_ = 0;
    bool sumHolds_ = false;
    std::size_t len_ = 0;
};

struct Range {
    std::uint32_t from = 0, to = 0;  // [from, to)
};

bool InFlash(std::uint32_t a) { return a >= kFlashBase && a < kFlashEnd; }

std::uint32_t SectorStart(std::uint32_t a) {
    const std::uint32_t o = a - kFlashBase;
    if (o < 0x4000) return kFlashBase;
    if (o < 0x6000) return kFlashBase + 0x4000;
    if (o < 0x8000) return kFlashBase + 0x6000;
    if (o < 0x10000) return kFlashBase + 0x8000;
    return kFlashBase + (o & ~0xFFFFu);
}

std::uint32_t SectorEnd(std::uint32_t a) {
    const std::uint32_t o = a - kFlashBase;
    if (o < 0x4000) return kFlashBase + 0x4000;
    if (o < 0x6000) return kFlashBase + 0x6000;
    if (o < 0x8000) return kFlashBase + 0x8000;
    if (o < 0x10000) return kFlashBase + 0x10000;
    return kFlashBase + (o & ~0xFFFFu) + 0x10000;
}

// What the daemon must do with a request it takes.
struct Expectation {
    bool allowed = true;          // the request may be sent at all
    std::size_t replyLength = 0;  // bytes the daemon answers
    std::vector<Range> writable;  // memory it may change
    std::optional<Range> program; // flash it may program (bits only cleared)
    bool mustRefuse = false;      // the single answer must be NAK
};

Expectation Expect(const Request& r) {
    Expectation e;
    const std::size_t len = r.data.size();
    switch (r.cmd) {
        case 0x80: {
            if (len < 5) break;
            const std::uint32_t a = r.Address();
            const std::uint32_t n = r.data[4];
            const bool flash = a >= kFlashBase && a <= kFlashEnd - n;
            const bool ram = a >= kSaveBuffer && a <= kRamEnd - n;
            // The stack changes while the daemon answers: its bytes cannot be predicted.
            const bool stack = a < kDaemonEnd && a + n > kStackLow;
            e.allowed = (flash || ram) && !stack;
            e.replyLength = n + 6;
            break;
        }
        case 0x81: {
            if (len < 4) break;
            const std::uint32_t a = r.Address();
            const std::uint32_t n = static_cast<std::uint32_t>(len - 4);
            const bool saveBuffer = a >= kSaveBuffer && a <= 0x48F000 - n;
            const bool freeRam = a >= kDaemonEnd && a <= kStoreWindowEnd - n;
            e.allowed = saveBuffer || freeRam;
            e.replyLength = 1;
            e.writable.push_back({a, a + n});
            break;
        }
        case 0x82:
        case 0x86:
        case 0x87:
            e.allowed = false;  // hand the processor or the line away
            break;
        case 0x83: {
            if (len < 4) break;
            const std::uint32_t a = r.Address();
            if (a & 1u) break;
            e.replyLength = 1;
            if (InFlash(a)) e.writable.push_back({SectorStart(a), SectorEnd(a)});
            else e.mustRefuse = true;
            break;
        }
        case 0x84: {
            if (len < 4) break;
            const std::uint32_t a = r.Address();
            const std::uint32_t n = static_cast<std::uint32_t>(len - 4);
            if (n == 0) {
                e.replyLength = (a & 1u) ? 0 : 1;
                break;
            }
            e.replyLength = 1;
            if (a >= kFlashBase && a <= kFlashEnd - n) e.program = Range{a & ~1u, (a + n + 1) & ~1u};
            else e.mustRefuse = true;
            break;
        }
        case 0x89:
            e.replyLength = 7;
            break;
        case 0x8A:
            e.replyLength = 2;
            e.writable.push_back({kLastPage, kFlashEnd});
            e.writable.push_back({kSaveBuffer, 0x48F000});
            break;
        case 0x8F:
            e.replyLength = 2;
            e.writable.push_back({kFlashBase, kFlashEnd});
            e.writable.push_back({kSaveBuffer, 0x48F000});
            break;
        default:
            break;
    }
    return e;
}

class Fuzzer {
public:
    explicit Fuzzer(std::uint64_t seed) : rng_(seed) {}

    std::uint32_t Below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_); }
    std::uint8_t AnyByte() { return static_cast<std::uint8_t>(Below(256)); }
    bool Chance(unsigned percent) { return Below(100) < percent; }

    std::uint32_t FlashAddress() { return kFlashBase + Below(kFlashEnd - kFlashBase); }
    std::uint32_t FreeRamAddress() { return kDaemonEnd + Below(kStoreWindowEnd - kDaemonEnd - 256); }

    // A request of a command that is fair game, with fields that mostly fit.
    Request MakeRequest() {
        static constexpr std::uint8_t kCommands[] = {0x80, 0x80, 0x81, 0x81, 0x83, 0x84, 0x84, 0x84, 0x84,
                                                     0x89, 0x8A, 0x8F, 0x85, 0x88, 0x8B, 0x8C, 0x8D, 0x8E,
                                                     0x00, 0x11, 0xFF};
        Request r;
        r.cmd = kCommands[Below(sizeof kCommands)];
        if (r.cmd == 0x8A || r.cmd == 0x8F) {
            // Long operations: keep them rare.
            if (!Chance(8)) r.cmd = 0x89;
        }
        std::uint32_t address = 0;
        std::size_t payload = Chance(10) ? Below(250) : Below(24);
        switch (r.cmd) {
            case 0x80: address = Chance(50) ? FlashAddress() : kSaveBuffer + Below(kRamEnd - kSaveBuffer); break;
            case 0x81: address = FreeRamAddress(); break;
            case 0x83: address = Chance(80) ? FlashAddress() & ~1u : static_cast<std::uint32_t>(rng_()); break;
            case 0x84:
                address = Chance(85) ? FlashAddress() : static_cast<std::uint32_t>(rng_());
                if (Chance(40)) payload = Below(6);
                break;
            default: address = static_cast<std::uint32_t>(rng_()); break;
        }
        for (int i = 3; i >= 0; --i) r.data.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
        if (r.cmd == 0x80) {
            r.data.push_back(static_cast<std::uint8_t>(Chance(20) ? 255 : Below(64)));
        } else {
            for (std::size_t i = 0; i < payload && r.data.size() < 249; ++i) {
                // Mostly bytes that can be programmed over erased flash, some zeros.
                r.data.push_back(Chance(30) ? 0x00 : AnyByte());
            }
        }
        if (Chance(6)) r.data.resize(Below(static_cast<std::uint32_t>(r.data.size()) + 1));  // LEN too short
        return r;
    }

    // Frame bytes, damaged now and then.
    Bytes Damage(Bytes f) {
        switch (Below(20)) {
            case 0: f[Below(static_cast<std::uint32_t>(f.size()))] ^= static_cast<std::uint8_t>(1u << Below(8)); break;
            case 1: f.resize(1 + Below(static_cast<std::uint32_t>(f.size()))); break;  // cut short
            case 2: f[3] = AnyByte(); break;                                             // LEN that does not fit
            case 3: f[1] = AnyByte(); break;                                             // second byte
            case 4: f[f.size() - 2] = AnyByte(); break;                                  // checksum
            case 5: f.back() = AnyByte(); break;                                         // ETX
            case 6: f.insert(f.begin() + 1 + Below(static_cast<std::uint32_t>(f.size() - 1)), AnyByte()); break;
            default: break;  // intact
        }
        return f;
    }

    Bytes Noise() {
        Bytes n;
        if (!Chance(25)) return n;
        const std::uint32_t count = 1 + Below(8);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint8_t b = AnyByte();
            if (b == kStx) b = kEnq;
            n.push_back(b);
        }
        return n;
    }

    std::mt19937_64& Rng() { return rng_; }

private:
    std::mt19937_64 rng_;
};

struct Step {
    Bytes bytes;
    std::optional<Request> request;
    unsigned enqAnswers = 0;
    bool skipping = false;  // the daemon swallows until the line is quiet
};

// Builds one step the reference receiver accepts as fair; nullopt to retry.
std::optional<Step> MakeStep(Fuzzer& f) {
    Step s;
    s.bytes = f.Noise();
    const Request r = f.MakeRequest();
    const Bytes frame = f.Damage(Frame(r.cmd, r.data));
    s.bytes.insert(s.bytes.end(), frame.begin(), frame.end());

    ReferenceReceiver rx;
    for (std::size_t i = 0; i < s.bytes.size(); ++i) {
        if (auto taken = rx.Feed(s.bytes[i])) {
            // Nothing may follow a taken request within the step: the daemon
            // could be busy with it and lose the bytes.
            if (s.request || i + 1 != s.bytes.size()) return std::nullopt;
            if (!Expect(*taken).allowed) return std::nullopt;
            s.request = std::move(taken);
        }
    }
    // A frame cut short: zeros until the daemon drops it (they never complete
    // one: a zero ETX fails).
    while (!rx.OutsideFrame()) {
        s.bytes.push_back(0x00);
        if (rx.Feed(0x00)) return std::nullopt;
    }
    s.enqAnswers = rx.enqAnswers;
    s.skipping = rx.Skipping();
    return s;
}

bool Writable(const std::vector<Range>& ranges, std::uint32_t a) {
    for (const Range& r : ranges)
        if (a >= r.from && a < r.to) return true;
    return false;
}

TEST(DaemonFuzz, SurvivesRandomAndDamagedRequests) {
    const std::uint64_t seed = EnvNumber("ZELMO_DAEMON_FUZZ_SEED", 0x5EED2024);
    const std::uint64_t steps = EnvNumber("ZELMO_DAEMON_FUZZ_STEPS", 1000);
    RecordProperty("seed", std::to_string(seed));
    Fuzzer f(seed);

    DaemonBoard d;
    ASSERT_TRUE(d.Ok()) << d.Error();
    ASSERT_TRUE(d.StartDaemon());
    ASSERT_EQ(d.Exchange(Frame(0x86, Bytes{0x0C}), 1), Bytes{kAck});
    d.SetHostFormat(sim::k38400_8N1);
    ASSERT_TRUE(d.Alive());

    unsigned long taken = 0;
    for (std::uint64_t n = 0; n < steps; ++n) {
        if (n % 100 == 0) {
            // Fresh data to program over, erase and keep.
            const std::uint32_t sector = SectorStart(f.FlashAddress());
            d.FillFlash(sector, std::min(SectorEnd(sector), sector + 0x2000), f.AnyByte());
            if (f.Chance(50)) d.FillFlash(kSerialArea, kSerialArea + 0x100, f.AnyByte());
        }
        std::optional<Step> step;
        while (!(step = MakeStep(f))) {
        }
        const Expectation e = step->request ? Expect(*step->request) : Expectation{};

        const Bytes flashBefore = d.Board().FlashContents();
        const Bytes ramBefore = d.Read(kSaveBuffer, kStoreWindowEnd - kSaveBuffer);
        Bytes expectedReply(step->enqAnswers, kAck);
        if (step->request && step->request->cmd == 0x80 && e.replyLength > 0) {
            const Request& r = *step->request;
            expectedReply = Bytes(step->enqAnswers, kAck);
            const Bytes data = d.Read(r.Address(), r.data[4]);
            const Bytes reply = DataReply(data);
            expectedReply.insert(expectedReply.end(), reply.begin(), reply.end());
        }
        const std::size_t total = step->enqAnswers + e.replyLength;

        if (std::getenv("ZELMO_DAEMON_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "step %llu: %zu bytes, cmd %02X, expect %zu\n", static_cast<unsigned long long>(n),
                         step->bytes.size(), step->request ? step->request->cmd : 0u, total);
        }
        // With nothing to wait for, the daemon has dealt with the bytes soon
        // after the last one arrived.
        const sim::LineFormat& line = d.HostFormat();
        const sim::Picos sending = step->bytes.size() * line.FrameBits() * line.BitTime();
        const sim::Picos limit = total > 0 ? DaemonBoard::Millis(20000) : sending + DaemonBoard::Millis(5);
        const Bytes got = d.Exchange(step->bytes, total, limit, DaemonBoard::Millis(2));
        const std::string where = "step " + std::to_string(n) + " seed " + std::to_string(seed);
        ASSERT_TRUE(d.Faults().empty()) << where << "\n" << d.FaultText();
        ASSERT_EQ(got.size(), total) << where;
        // Past the daemon's quiet time (3 to 4 ms) before the next burst.
        if (step->skipping) {
            ASSERT_EQ(d.SendExpectingSilence({}, DaemonBoard::Millis(15)), Bytes{}) << where;
        }
        if (step->request) {
            ++taken;
            const Request& r = *step->request;
            if (r.cmd == 0x80) {
                ASSERT_EQ(got, expectedReply) << where;
            } else if (e.replyLength > 0) {
                ASSERT_EQ(Bytes(got.begin(), got.begin() + step->enqAnswers), Bytes(step->enqAnswers, kAck)) << where;
                const std::uint8_t last = got.back();
                if (e.mustRefuse) {
                    ASSERT_EQ(last, kNak) << where;
                } else if (r.cmd == 0x89) {
                    ASSERT_EQ(Bytes(got.end() - 7, got.end()), (Bytes{0x02, 0x00, 0x92, 0x01, 0x02, 0x95, 0x03}))
                        << where;
                } else if (r.cmd == 0x81) {
                    ASSERT_EQ(last, kAck) << where;
                } else {
                    ASSERT_TRUE(last == kAck || last == kNak) << where;
                }
            }
        }

        const Bytes flashAfter = d.Board().FlashContents();
        for (auto [b, a] = std::mismatch(flashBefore.begin(), flashBefore.end(), flashAfter.begin());
             b != flashBefore.end(); std::tie(b, a) = std::mismatch(b + 1, flashBefore.end(), a + 1)) {
            const std::uint32_t at = kFlashBase + static_cast<std::uint32_t>(b - flashBefore.begin());
            if (Writable(e.writable, at)) continue;
            if (e.program && at >= e.program->from && at < e.program->to) {
                ASSERT_EQ(*a & ~*b, 0) << where << ": a bit went from 0 to 1 at 0x" << std::hex << at;
                continue;
            }
            FAIL() << where << ": flash changed outside the request at 0x" << std::hex << at;
        }
        const Bytes ramAfter = d.Read(kSaveBuffer, kStoreWindowEnd - kSaveBuffer);
        for (auto [b, a] = std::mismatch(ramBefore.begin(), ramBefore.end(), ramAfter.begin());
             b != ramBefore.end(); std::tie(b, a) = std::mismatch(b + 1, ramBefore.end(), a + 1)) {
            const std::uint32_t at = kSaveBuffer + static_cast<std::uint32_t>(b - ramBefore.begin());
            if (Writable(e.writable, at) || (at >= kStackLow && at < kDaemonEnd)) continue;
            FAIL() << where << ": RAM changed outside the request at 0x" << std::hex << at;
        }
    }
    RecordProperty("requests_taken", static_cast<int>(taken));
    EXPECT_GT(taken, steps / 3);  // the damage leaves most requests whole
    EXPECT_TRUE(d.Alive());
}

}  // namespace
}  // namespace daemontest
