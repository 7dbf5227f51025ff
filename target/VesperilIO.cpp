#include "VesperilIO.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "CommPort.h"
#include "TimerT.h"

void ReverseBytes(std::span<std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n / 2; ++i) std::swap(bytes[i], bytes[n - 1 - i]);
}

VesperilIO::VesperilIO(std::int32_t index, std::uint32_t base, std::uint32_t scratch)
    : SerialIO(index), moduleBase(base), scratchAddress(scratch) {}

namespace {
constexpr std::size_t kOverhead = LINK_FRAME_OVERHEAD;
}  // namespace

int VesperilIO::SendFrame(std::span<std::uint8_t> buffer) {
    if (buffer.size() < kOverhead) return 0;
    const std::size_t len = buffer[kLenAt];
    if (buffer.size() < len + kOverhead) return 0;
    buffer[LINK_FRAME_STX_AT] = kStx;
    buffer[LINK_FRAME_ZERO_AT] = LINK_FRAME_ZERO;
    unsigned sum = 0;
    for (std::size_t i = kCmdAt; i < kDataAt + len; ++i) sum += buffer[i];
    buffer[kDataAt + len] = static_cast<std::uint8_t>(sum);
    buffer[kDataAt + len + 1] = kEtx;
    return Write(buffer.first(len + kOverhead));
}

bool VesperilIO::ReadOneByte(std::uint8_t& byte) {
    // Never blocks: the callers wait on their own deadline. A read with the
    // port's read time-out (1 s once an erase has set it) made each 0.2 s
    // wait for an ACK last a second on a silent line.
    const bool came = ReadByte(byte) == 0;
    heard = heard || came;
    return came;
}

int VesperilIO::ReceiveFrame(std::span<std::uint8_t, kFrameSize> buffer, std::uint8_t expected,
                             std::uint16_t seconds) {
    return ReceiveFrameWithin(buffer, expected, static_cast<std::uint16_t>(std::min(seconds * 10U, 0xFFFFU)));
}

int VesperilIO::ReceiveFrameWithin(std::span<std::uint8_t, kFrameSize> buffer, std::uint8_t expected,
                                   std::uint16_t tenths) {
    enum class State { Hunt, Zero, Cmd, Len, Data, Check, End };
    TimerT timer;
    timer.Start(tenths);
    State state = State::Hunt;
    std::size_t len = 0;
    std::size_t got = 0;
    unsigned sum = 0;
    for (;;) {
        if (timer.Expired() != 0 || CommLineFailed() != 0) return -1;
        std::uint8_t b = 0;
        if (!ReadOneByte(b)) {
            WaitForInput(timer);
            continue;
        }
        switch (state) {
            case State::Hunt:
                buffer[LINK_FRAME_STX_AT] = b;
                if (b == kStx) state = State::Zero;
                break;
            case State::Zero:
                buffer[LINK_FRAME_ZERO_AT] = b;
                state = State::Cmd;
                break;
            case State::Cmd:
                buffer[kCmdAt] = b;
                state = State::Len;
                break;
            case State::Len:
                buffer[kLenAt] = b;
                len = b;
                // LEN 255 needs 261 bytes: drop it and hunt for the next STX,
                // so nothing is ever stored past the buffer.
                if (len > kFrameSize - kOverhead) {
                    state = State::Hunt;
                    break;
                }
                sum = unsigned{buffer[LINK_FRAME_ZERO_AT]} + buffer[kCmdAt] + buffer[kLenAt];
                got = 0;
                state = len == 0 ? State::Check : State::Data;
                break;
            case State::Data:
                buffer[kDataAt + got] = b;
                sum += b;
                if (++got == len) state = State::Check;
                break;
            case State::Check:
                buffer[kDataAt + len] = b;
                state = State::End;
                break;
            case State::End:
                buffer[kDataAt + len + 1] = b;
                if (b == kEtx && (sum & 0xFFU) == buffer[kDataAt + len] && (expected == 0 || expected == buffer[kCmdAt]))
                    return 0;
                state = State::Hunt;
                break;
        }
    }
}

bool VesperilIO::WaitAck(std::uint16_t tenths) {
    TimerT timer;
    timer.Start(tenths);
    for (;;) {
        std::uint8_t b = 0;
        const bool came = ReadOneByte(b);
        if (came && b == kAck) return true;
        if (timer.Expired() != 0 || CommLineFailed() != 0) return false;
        if (!came) WaitForInput(timer);
    }
}

int VesperilIO::DaemonVersion() {
    FrameBuffer f{};
    f[kCmdAt] = kCmdSendVersion;
    f[kLenAt] = 0;
    heard = false;
    if (SendFrame(f) == 0) return kVersionSilent;
    if (ReceiveFrameWithin(f, kReplyData, 5) != 0 || f[kLenAt] != 1) return heard ? -1 : kVersionSilent;
    return f[kDataAt];
}

int VesperilIO::AskBusy(std::uint16_t tenths) {
    static constexpr std::array<std::uint8_t, 1> kEnq{LINK_ENQ};
    if (Write(kEnq) == 0) return -1;
    TimerT timer;
    timer.Start(tenths);
    for (;;) {
        std::uint8_t b = 0;
        if (ReadOneByte(b)) return b;
        if (timer.Expired() != 0 || CommLineFailed() != 0) return -1;
        WaitForInput(timer);
    }
}

int VesperilIO::WaitEraseStatus(std::uint16_t limitTenths, bool busyAnswers, std::uint16_t silenceTenths) {
    static constexpr std::array<std::uint8_t, 1> kEnq{LINK_ENQ};
    busySilence = false;
    TimerT limit;
    limit.Start(limitTenths);
    TimerT silence;  // since the last byte from the board
    silence.Start(silenceTenths);
    TimerT ask;  // until the next ENQ
    ask.Start(kBusyAskTenths);
    int unanswered = 0;  // ENQs sent and not yet answered with SYN
    for (;;) {
        if (CommLineFailed() != 0) return -1;
        std::uint8_t b = 0;
        if (ReadOneByte(b)) {
            silence.Start(silenceTenths);
            if (busyAnswers && b == kSyn) {
                unanswered = unanswered > 0 ? unanswered - 1 : 0;
                continue;
            }
            // The board went back to its command loop after the status and
            // answers an ENQ still in its receiver with ACK: take those
            // answers off the line, or the next request would take one of
            // them for its own.
            if (unanswered > 0) {
                TimerT drain;
                drain.Start(3);
                std::uint8_t stray = 0;
                while (unanswered > 0 && drain.Expired() == 0 && CommLineFailed() == 0) {
                    if (ReadOneByte(stray)) --unanswered;
                    else WaitForInput(drain);
                }
            }
            return b;
        }
        if (limit.Expired() != 0) return -1;
        if (busyAnswers) {
            if (silence.Expired() != 0) {
                busySilence = true;
                return -1;
            }
            if (ask.Expired() != 0) {
                if (Write(kEnq) == 0) return -1;
                ++unanswered;
                ask.Start(kBusyAskTenths);
            }
            WaitForInput(ask);
        } else {
            WaitForInput(limit);
        }
    }
}

bool VesperilIO::Ping(std::uint16_t tenths) {
    Write(kPing);
    return WaitAck(tenths);
}

bool VesperilIO::IsAlive() {
    for (int i = 0; i < kAttempts && CommLineFailed() == 0; ++i)
        if (Ping(2)) return true;
    return false;
}

bool VesperilIO::AnswersWithin(int tenths) {
    // By the clock, not by the count of pings: a ping's write may itself
    // take long on a line that does not drain.
    TimerT timer;
    timer.Start(static_cast<std::uint16_t>(tenths));
    do {
        if (Ping(2)) return true;
    } while (timer.Expired() == 0 && CommLineFailed() == 0);
    return false;
}

std::int32_t VesperilIO::Probe(std::int32_t speed) {
    CommSettings s{};
    GetSettings(s);
    s.nominalBaud = speed;
    s.baudRate = speed;
    s.parity = 0;
    s.stopBits = 0;
    s.byteSize = 8;
    Configure(s);
    PurgeInput();
    SleepMs(100);
    return IsAlive() ? speed : kNoAnswer;
}

int VesperilIO::SetHostSpeed(std::int32_t speed) {
    CommSettings s{};
    GetSettings(s);
    s.nominalBaud = speed;
    s.baudRate = speed;
    Configure(s);
    return 0;
}

int VesperilIO::SetTargetSpeed(std::int32_t speed) {
    frame[kCmdAt] = kCmdBaudControl;
    frame[kLenAt] = 1;
    frame[kDataAt] = speed == 9600 ? kSpeedCode9600 : kSpeedCode38400;
    speedAcked = false;
    for (int i = 0; i < kAttempts && CommLineFailed() == 0; ++i) {
        PurgeInput();
        SleepMs(10);
        SendFrame();
        if (WaitAck(2)) {
            speedAcked = true;
            return 0;
        }
    }
    WaitTenths(2);
    return 0;
}

std::size_t VesperilIO::BeginFrame(std::uint8_t command, std::uint8_t length, std::uint32_t address) {
    frame[kCmdAt] = command;
    frame[kLenAt] = length;
    for (std::size_t i = 0; i < LINK_ADDRESS_BYTES; ++i)
        frame[kDataAt + i] = static_cast<std::uint8_t>(address >> (8 * (LINK_ADDRESS_BYTES - 1 - i)));
    return kDataAt + LINK_ADDRESS_BYTES;
}

bool VesperilIO::SendUntilAcknowledged() {
    refused = false;
    silentLastTime = false;
    const bool firstAfterRun = std::exchange(afterRun, false);
    for (int attempt = 0; attempt < kAttempts && CommLineFailed() == 0; ++attempt) {
        if (attempt == 1 && firstAfterRun) settleAfterRun = true;
        if (attempt > 0 && giveUpWhenSilent && !heard) {
            silentLastTime = true;
            break;
        }
        PurgeInput();
        // The daemon reads a frame only once it has answered the last one,
        // so the first send needs no pause; a resend follows a failure and
        // lets the daemon's line go quiet first.
        if (idlePause || attempt > 0) SleepMs(10);
        heard = false;
        SendFrame();
        // A NAK says the frame was refused: resend it now rather than after
        // the rest of the time-out, which cannot bring an ACK for it.
        for (int wait = 0; wait < kAttempts; ++wait) {
            const int answer = WaitAnswer(2);
            if (answer == kAck) return true;
            if (answer == kNak) {
                refused = true;
                break;
            }
        }
    }
    return false;
}

int VesperilIO::WaitAnswer(std::uint16_t tenths) {
    TimerT timer;
    timer.Start(tenths);
    for (;;) {
        std::uint8_t b = 0;
        const bool came = ReadOneByte(b);
        if (came && (b == kAck || b == kNak)) return b;
        if (timer.Expired() != 0 || CommLineFailed() != 0) return -1;
        if (!came) WaitForInput(timer);
    }
}

int VesperilIO::WriteBlock(std::uint32_t address, std::span<const std::uint8_t> source, int width,
                           std::uint8_t command, std::size_t chunkLimit) {
    const std::size_t unit = width == 16 ? 2 : width == 32 ? 4 : 1;
    // A count that is not whole units would leave a unit half reversed.
    failedRefused = false;
    failedFrom = failedTo = 0;
    if (source.size() % unit != 0) return -1;
    // Keep units whole within a frame, so that a unit never straddles two
    // frames and is reversed as one (245 for bytes, 244 for words and longs).
    // The frame buffer holds LEN + 6 bytes, LEN counting the address too.
    const std::size_t most = std::clamp<std::size_t>(chunkLimit, unit, kFrameSize - kOverhead - LINK_ADDRESS_BYTES);
    const std::size_t chunk = most - most % unit;
    while (!source.empty()) {
        const std::size_t n = std::min(source.size(), chunk);
        const std::size_t at = BeginFrame(command, static_cast<std::uint8_t>(n + LINK_ADDRESS_BYTES), address);
        std::memcpy(&frame[at], source.data(), n);
        if constexpr (std::endian::native != std::endian::big) {
            for (std::size_t u = 0; u < n; u += unit) ReverseBytes(std::span(&frame[at + u], unit));
        }
        if (!SendUntilAcknowledged()) {
            failedFrom = address;
            failedTo = address + static_cast<std::uint32_t>(n);
            failedRefused = refused;
            return -1;
        }
        address += static_cast<std::uint32_t>(n);
        source = source.subspan(n);
    }
    return 0;
}

int VesperilIO::WriteMemory(std::uint32_t address, std::span<const std::uint8_t> source, int width) {
    return WriteBlock(address, source, width, kCmdWriteMemory);
}

int VesperilIO::ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> source, int width,
                             std::size_t chunk) {
    return WriteBlock(address, source, width, kCmdProgramFlash, chunk);
}

int VesperilIO::ReadMemory(std::uint32_t address, std::span<std::uint8_t> destination) {
    while (!destination.empty()) {
        const std::size_t n = std::min(destination.size(), kReadChunk);
        bool done = false;
        silentLastTime = false;
        for (int attempt = 0; attempt < kAttempts && !done && CommLineFailed() == 0; ++attempt) {
            if (attempt > 0 && giveUpWhenSilent && !heard) {
                silentLastTime = true;
                break;
            }
            heard = false;
            PurgeInput();
            const std::size_t at = BeginFrame(kCmdReadMemory, LINK_ADDRESS_BYTES + 1, address);
            frame[at] = static_cast<std::uint8_t>(n);
            SendFrame();
            // Only a data reply of exactly the size asked for is taken: a
            // shorter one would hand back stale bytes of the request as data.
            done = ReceiveFrame(frame, kReplyData, 3) == 0 && frame[kLenAt] == n;
        }
        if (!done) return -1;
        std::memcpy(destination.data(), &frame[kDataAt], n);
        destination = destination.subspan(n);
        address += static_cast<std::uint32_t>(n);
    }
    return 0;
}

int VesperilIO::RunAt(std::uint32_t address) {
    BeginFrame(kCmdRunAt, LINK_ADDRESS_BYTES, address);
    if (!SendUntilAcknowledged()) return -1;
    // The daemon answers a run request first and then busy-waits before the
    // call: a frame sent meanwhile overruns its receiver. Once that has cost
    // a resend, every run request gets a settle pause; the boot monitor,
    // which takes the next frame at once, never pays it.
    if (settleAfterRun) SleepMs(kRunSettleMs);
    afterRun = true;
    return 0;
}

int VesperilIO::WriteRegisterWord(std::uint32_t registerAddress, std::uint16_t value) {
    const std::array<std::uint16_t, 9> words{
        value,
        0x207C,  // movea.l #register, a0
        static_cast<std::uint16_t>(registerAddress >> 16),
        static_cast<std::uint16_t>(registerAddress),
        0x227C,  // movea.l #scratch, a1
        static_cast<std::uint16_t>(scratchAddress >> 16),
        static_cast<std::uint16_t>(scratchAddress),
        0x3091,  // move.w (a1), (a0)
        0x4E75,  // rts
    };
    std::array<std::uint8_t, 18> routine{};
    std::memcpy(routine.data(), words.data(), routine.size());  // host order
    if (const int r = WriteMemory(scratchAddress, routine, 16); r != 0) return r;
    return RunAt(scratchAddress + 2);
}

int VesperilIO::WriteRegisterWords(std::span<const RegisterWordT> writes) {
    if (writes.empty() || writes.size() > 2) return -1;
    std::array<std::uint16_t, 9> words{};
    std::size_t n = 0;
    for (const RegisterWordT& w : writes) {
        words[n++] = 0x33FC;  // move.w #value, (address).l
        words[n++] = w.value;
        words[n++] = static_cast<std::uint16_t>(w.address >> 16);
        words[n++] = static_cast<std::uint16_t>(w.address);
    }
    words[n++] = 0x4E75;  // rts
    std::array<std::uint8_t, 18> routine{};
    std::memcpy(routine.data(), words.data(), 2 * n);  // host order
    if (const int r = WriteMemory(scratchAddress, std::span(routine).first(2 * n), 16); r != 0) return r;
    return RunAt(scratchAddress);
}

int VesperilIO::WriteChipSelect(int index, std::uint32_t base, std::uint32_t mask) {
    // Each value goes as one 32-bit unit from host order to board order.
    std::array<std::uint8_t, 4> bytes{};
    const std::uint32_t reg = moduleBase + 0x40 + 8u * static_cast<std::uint32_t>(index);
    std::memcpy(bytes.data(), &mask, 4);
    const int r = WriteMemory(reg, bytes, 32);
    if (r != 0) return r;
    std::memcpy(bytes.data(), &base, 4);
    return WriteMemory(reg + 4, bytes, 32);
}

int VesperilIO::WriteControlWord(int index, std::uint16_t value) {
    return WriteRegisterWord(0x1E30 + 2u * static_cast<std::uint32_t>(index), value);
}

std::array<VesperilIO::RegisterWordT, 4> VesperilIO::RegionEntryWords(int index, std::uint32_t baseWord,
                                                                     std::uint32_t optionWord) {
    const std::uint32_t reg = 0x1F00 + 8u * static_cast<std::uint32_t>(index);
    return {{{reg, static_cast<std::uint16_t>(optionWord >> 16)},
             {reg + 2, static_cast<std::uint16_t>(optionWord)},
             {reg + 4, static_cast<std::uint16_t>(baseWord >> 16)},
             {reg + 6, static_cast<std::uint16_t>(baseWord)}}};
}

int VesperilIO::WriteRegionEntry(int index, std::uint32_t baseWord, std::uint32_t optionWord) {
    for (const RegisterWordT& w : RegionEntryWords(index, baseWord, optionWord)) {
        const int r = WriteRegisterWord(w.address, w.value);
        if (r != 0) return r;
    }
    return 0;
}
