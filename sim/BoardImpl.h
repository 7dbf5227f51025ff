#pragma once
// The board's inside, shared by the files that implement Board: one file per
// job (emulator hooks and CPU runs, memory map, monitor and application
// stand-ins, host side of the line, scheduler and pacing, flash image files).
// Private to the sim library; users see only Board.h.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "Board.h"
#include "Mc68681.h"
#include "link_protocol.h"

namespace sim {

namespace board_detail {
constexpr std::uint32_t kLowSize = 0x1000;           // monitor RAM, vectors, DUART
constexpr std::uint32_t kPage1Base = 0x1000;         // memory-interface registers
constexpr std::uint32_t kRegisterLow = 0x1E00;
constexpr std::uint32_t kRegisterHigh = 0x1FFF;
constexpr std::uint32_t kModuleSize = 0x1000;
constexpr std::uint32_t kFlashSize = Am29f400::kSize;
constexpr std::uint32_t kDuartEnd = 0xC1F;
constexpr std::uint32_t kReturnSentinel = 0x400;     // where a called routine returns to the monitor
constexpr std::uint32_t kMonitorStack = 0x7F0;
constexpr std::uint8_t kAck = LINK_ACK;
constexpr std::uint8_t kEnq = LINK_ENQ;
constexpr std::uint8_t kStx = LINK_STX;
constexpr std::uint8_t kEtx = LINK_ETX;
constexpr Picos kSlice = kPicosPerMilli;             // CPU run between looks at the host
constexpr Picos kMonitorFrameTimeout = 500 * kPicosPerMilli;
// A CPU that has polled an idle line this long has run out every poll-count
// time-out it had (the daemon's longest is well under a second); from then on
// the board waits for the host instead of spinning.
constexpr Picos kIdleWindow = 2000 * kPicosPerMilli;
// Every instruction the board executes costs the CPU32's average. By its
// timing tables a register operation takes 2 clocks, a taken branch 6, a
// word read from memory 5 to 7: the daemon's flash poll loop (7 instructions)
// comes to about 4.1 an instruction, a table-driven CRC loop to about 4, a
// memory-to-memory copy to 6 or more. 5 is taken for compiled code, that is
// 3.4 million instructions a second at 16.78 MHz. Device accesses add their
// bus cycles on top.
constexpr unsigned kClocksPerInstruction = 5;
// A status read that finds nothing ready is taken for a wait (and the board
// skips to the next device event) only in a tight loop: this few
// instructions since the previous one. Code that works between its looks
// at the line (a decoder that keeps the receiver from overrunning) is run.
constexpr std::uint64_t kWaitLoopInstructions = 48;
constexpr unsigned kClocksPerDeviceAccess = 4;
constexpr std::array<std::uint8_t, LINK_HANDOVER_BYTES> kAttention LINK_ATTENTION_REQUEST;

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

inline Buffer MakeBuffer(std::size_t size, std::uint8_t fill) {
    Buffer b(static_cast<std::uint8_t*>(std::aligned_alloc(4096, size)));
    if (b) std::memset(b.get(), fill, size);
    return b;
}

inline std::uint32_t BigEndian(const std::uint8_t* p, unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

inline void PutBigEndian(std::uint8_t* p, unsigned n, std::uint64_t v) {
    for (unsigned i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
}

struct HostEvent {
    enum class Kind : std::uint8_t { Byte, BreakOn, BreakOff, Unit } kind = Kind::Byte;
    std::uint8_t byte = 0;
    LineFormat format;
    bool framingError = false;
    bool parityError = false;
    std::uint32_t breakMs = 0;
};

// How the run loop goes on after one step.
struct Step {
    enum class Kind : std::uint8_t { Continue, Pace, IdlePace, Device, Timer } kind = Kind::Continue;
    Picos at = 0;
};


inline std::uint32_t Pc(uc_engine* uc) {
    std::uint32_t pc = 0;
    uc_reg_read(uc, UC_M68K_REG_PC, &pc);
    return pc;
}

}  // namespace board_detail

// The board's own files share these names.
using namespace board_detail;

struct Board::Impl {
    BoardOptions options;
    Picos cyclePs = 0;
    std::uint64_t instructions = 0;
    std::uint64_t lastStatusRead = 0;  // `instructions` at the last DUART status read
    std::uint64_t lastFlashRead = 0;   // `instructions` at the last flash read
    uc_engine* uc = nullptr;

    Buffer low, page1, module, ram, flashView;
    Mc68681 duart;
    Am29f400 flash;
    bool flashMapped = false;
    bool ramMapped = false;
    bool pendingMapUpdate = false;
    bool inEmulation = false;
    bool flashCodeRun = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pendingInvalidate;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> dirtyView;

    mutable std::mutex m;  // everything below, and the CPU
    Picos now = 0;
    Picos sliceEnd = 0;
    bool idlePoll = false;
    // Set by device hooks: the CPU stops at the next block. Stopping from
    // inside a memory access would leave the PC at the start of the block.
    bool stopSoon = false;
    // The block a slice stopped at, where the CPU goes on (0: none).
    std::uint32_t resumeAt = 0;
    Picos idleSince = kForever;  // start of the CPU's current idle polling
    bool faultThisSlice = false;
    BoardMode mode = BoardMode::Monitor;
    unsigned console = 0;

    // Boot monitor.
    enum class Rx : std::uint8_t { Hunt, Zero, Cmd, Len, Data, Ck, Etx } rx = Rx::Hunt;
    std::uint8_t cmd = 0, len = 0, ck = 0;
    unsigned sum = 0;
    std::vector<std::uint8_t> data;
    Picos frameDeadline = kForever;
    std::optional<std::uint32_t> pendingCall;
    std::deque<std::uint8_t> out;
    // Board application.
    bool appBreakSeen = false;
    bool appArmed = false;
    std::deque<std::uint8_t> appLast;

    std::vector<RegisterWrite> registerLog;
    std::deque<TraceEntry> trace;
    std::vector<BoardFault> faults;
    std::function<void(const BoardFault&)> faultCallback;
    std::function<void(const TraceEntry&)> traceCallback;
    std::function<void(const WireChar&)> hostSink;
    std::function<void(const LineFormat&)> formatCallback;
    LineFormat lastConsoleFormat{0, 0, Parity::None, 0};
    void CheckConsoleFormat() {
        if (!formatCallback) return;
        const LineFormat f = duart.RxFormat(console);
        if (f == lastConsoleFormat) return;
        lastConsoleFormat = f;
        formatCallback(f);
    }

    // Host input, taken by the board at its own pace.
    std::mutex im;
    std::condition_variable cv;
    std::deque<HostEvent> inbox;
    std::atomic<bool> inboxPending{false};
    std::atomic<bool> stopRequest{false};

    // Line faults (options.lineFaults).
    std::mt19937_64 faultRng;
    std::uint64_t hostChars = 0;
    Picos silentFrom = kForever, silentUntil = 0;
    // True when a character at `at` is lost; otherwise it may have a bit flipped.
    bool LineFault(std::uint8_t& byte, Picos at, std::uint32_t baud);

    std::mutex rm;
    std::condition_variable rcv;
    std::vector<WireChar> received;

    std::thread thread;
    std::atomic<bool> running{false};
    std::chrono::steady_clock::time_point anchorWall;
    Picos anchorSim = 0;
    bool idleAnchored = false;

    ~Impl() {
        if (uc != nullptr) uc_close(uc);
    }

    // ---------------------------------------------------------------- set-up
    bool Init(std::string& error);
    void PowerOn();
    void InitDuartForMonitor();
    void UpdateChipSelects();
    // Chip select 1 (mask at 0x48, base at 0x4C) selects the flash, chip
    // select 2 (0x50, 0x54) the RAM.
    bool ChipSelectCovers(std::uint32_t maskOffset, std::uint32_t first, std::uint32_t last) const;
    bool FlashSelected() const { return ChipSelectCovers(0x48, kFlashBase, kFlashBase + kFlashSize - 1); }
    bool RamSelected() const { return ChipSelectCovers(0x50, kRamBase, kRamBase + kRamSize - 1); }
    void ApplyMaps();

    // ---------------------------------------------------------------- bus
    bool Answers(std::uint32_t a) const {
        if (a < kLowSize) return true;
        if (a >= kPage1Base && a < kPage1Base + 0x1000) return true;
        if (a >= kFlashBase && a < kFlashBase + kFlashSize) return flashMapped;
        if (a >= kRamBase && a < kRamBase + kRamSize) return ramMapped;
        return a >= kModuleBase && a < kModuleBase + kModuleSize;
    }
    void RegisterStore(std::uint32_t address, unsigned width, std::uint32_t value, bool byCpu);
    void FlashWriteWord(std::uint32_t offset, std::uint16_t value) { flash.Write(offset, value, now); }
    void FlashWriteByte(std::uint32_t offset, std::uint8_t value) {
        // The byte reaches the device on its lane of the 16-bit bus.
        const std::uint16_t word = (offset & 1u) ? value : static_cast<std::uint16_t>(value << 8);
        flash.Write(offset & ~1u, word, now);
    }
    void DuartStore(std::uint32_t a, std::uint8_t v) {
        if ((a & 1u) != 0 && a >= kDuartBase + 1 && a <= kDuartEnd) duart.Write((a - kDuartBase - 1) / 2, v, now);
    }
    std::uint8_t DuartLoad(std::uint32_t a) {
        if ((a & 1u) != 0 && a >= kDuartBase + 1 && a <= kDuartEnd) return duart.Read((a - kDuartBase - 1) / 2, now);
        return 0xFF;
    }
    bool MonitorStore(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t n);

    // ---------------------------------------------------------------- CPU
    void RunSlice(Picos end);
    void StartCall(std::uint32_t address);
    void Fault(BoardFault::Kind kind, std::uint32_t pc, std::uint32_t address, unsigned vector, std::string text);
    void WaitHint();
    std::optional<Picos> NextDeviceEvent() const;
    void RestoreDirtyView();

    // ---------------------------------------------------------------- host
    void DrainInbox();
    Step Service(Picos limit);
    void HostStep();
    void MonitorByte(std::uint8_t b, std::uint8_t status);
    void AppByte(std::uint8_t b, std::uint8_t status);
    void ResetMonitor() {
        rx = Rx::Hunt;
        data.clear();
        frameDeadline = kForever;
        pendingCall.reset();
    }
    void FlushOut();
    void AddTrace(const TraceEntry& e) {
        if (options.traceLimit == 0) return;
        if (trace.size() >= options.traceLimit) trace.pop_front();
        trace.push_back(e);
        if (traceCallback) traceCallback(e);
    }
    void ToHost(const WireChar& sent);

    // ---------------------------------------------------------------- thread
    void ThreadMain();
    Picos SimFromWall() const {
        const auto d = std::chrono::steady_clock::now() - anchorWall;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
        return anchorSim + static_cast<Picos>(std::max<long long>(0, ns)) * 1000u;
    }
    void WaitWall(Picos t);
};

}  // namespace sim
