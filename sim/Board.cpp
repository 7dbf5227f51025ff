#include "Board.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "Mc68681.h"
#include "SxFile.h"

namespace sim {

namespace {

constexpr std::uint32_t kLowSize = 0x1000;           // monitor RAM, vectors, DUART
constexpr std::uint32_t kPage1Base = 0x1000;         // memory-interface registers
constexpr std::uint32_t kRegisterLow = 0x1E00;
constexpr std::uint32_t kRegisterHigh = 0x1FFF;
constexpr std::uint32_t kModuleSize = 0x1000;
constexpr std::uint32_t kFlashSize = Am29f400::kSize;
constexpr std::uint32_t kDuartEnd = 0xC1F;
constexpr std::uint32_t kReturnSentinel = 0x400;     // where a called routine returns to the monitor
constexpr std::uint32_t kMonitorStack = 0x7F0;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr Picos kSlice = kPicosPerMilli;             // CPU run between looks at the host
constexpr Picos kMonitorFrameTimeout = 500 * kPicosPerMilli;
// A CPU that has polled an idle line this long has run out every poll-count
// time-out it had (the daemon's longest is well under a second); from then on
// the board waits for the host instead of spinning.
constexpr Picos kIdleWindow = 2000 * kPicosPerMilli;
constexpr unsigned kClocksPerCodeByte = 2;           // instruction cost, CPU32-like
constexpr unsigned kClocksPerDeviceAccess = 4;
constexpr std::array<std::uint8_t, 5> kAttention{0x10, 0x1E, 0x54, 0x10, 0x03};

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

Buffer MakeBuffer(std::size_t size, std::uint8_t fill) {
    Buffer b(static_cast<std::uint8_t*>(std::aligned_alloc(4096, size)));
    if (b) std::memset(b.get(), fill, size);
    return b;
}

std::uint32_t BigEndian(const std::uint8_t* p, unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

void PutBigEndian(std::uint8_t* p, unsigned n, std::uint64_t v) {
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

}  // namespace

struct Board::Impl {
    BoardOptions options;
    Picos cyclePs = 0;
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
    void ToHost(const WireChar& c);

    // ---------------------------------------------------------------- thread
    void ThreadMain();
    Picos SimFromWall() const {
        const auto d = std::chrono::steady_clock::now() - anchorWall;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
        return anchorSim + static_cast<Picos>(std::max<long long>(0, ns)) * 1000u;
    }
    void WaitWall(Picos t);
};

// ============================================================== Unicorn hooks

namespace {

Board::Impl* Self(void* user) { return static_cast<Board::Impl*>(user); }

std::uint32_t Pc(uc_engine* uc) {
    std::uint32_t pc = 0;
    uc_reg_read(uc, UC_M68K_REG_PC, &pc);
    return pc;
}

void HookBlock(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* user) {
    Board::Impl* b = Self(user);
    b->now += static_cast<Picos>(size) * kClocksPerCodeByte * b->cyclePs;
    if (address >= kFlashBase && address < kFlashBase + kFlashSize) b->flashCodeRun = true;
    if (b->now >= b->sliceEnd || b->stopSoon) uc_emu_stop(uc);
}

void HookDuartRead(uc_engine*, uc_mem_type, std::uint64_t address, int size, std::int64_t, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    bool wait = false;
    for (int i = 0; i < size; ++i) {
        const auto a = static_cast<std::uint32_t>(address) + static_cast<std::uint32_t>(i);
        if (a > kDuartEnd) break;
        const std::uint8_t v = b->DuartLoad(a);
        b->low.get()[a] = v;
        const unsigned reg = (a - kDuartBase - 1) / 2;
        if ((a & 1u) != 0 && (reg == Mc68681::kSRA_CSRA || reg == Mc68681::kSRB_CSRB)) {
            const std::uint8_t ready = Mc68681::kRxRdy | Mc68681::kTxRdy | Mc68681::kTxEmt;
            if ((v & ready) != ready) wait = true;
        }
    }
    // A status read that shows something not ready is taken as a wait.
    if (wait) b->WaitHint();
}

void HookDuartWrite(uc_engine*, uc_mem_type, std::uint64_t address, int size, std::int64_t value, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    const auto n = static_cast<unsigned>(size);
    for (unsigned i = 0; i < n; ++i) {
        const auto v = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * (n - 1 - i)));
        b->DuartStore(static_cast<std::uint32_t>(address) + i, v);
    }
}

void HookFlashRead(uc_engine*, uc_mem_type, std::uint64_t address, int size, std::int64_t, void* user) {
    Board::Impl* b = Self(user);
    b->RestoreDirtyView();
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    const auto first = static_cast<std::uint32_t>(address - kFlashBase) & ~1u;
    const auto last = static_cast<std::uint32_t>(address - kFlashBase) + static_cast<std::uint32_t>(size) - 1;
    for (std::uint32_t off = first; off <= last && off < kFlashSize; off += 2) {
        const std::uint16_t v = b->flash.Read(off, b->now);
        std::uint8_t* p = b->flashView.get() + off;
        PutBigEndian(p, 2, v);
        b->dirtyView.emplace_back(off, 2);
    }
    if (b->flash.Busy()) b->WaitHint();
}

void HookFlashWrite(uc_engine*, uc_mem_type, std::uint64_t address, int size, std::int64_t value, void* user) {
    Board::Impl* b = Self(user);
    b->RestoreDirtyView();
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    const auto off = static_cast<std::uint32_t>(address - kFlashBase);
    const auto v = static_cast<std::uint64_t>(value);
    if (size == 1) {
        b->FlashWriteByte(off, static_cast<std::uint8_t>(v));
    } else if (size == 2) {
        b->FlashWriteWord(off, static_cast<std::uint16_t>(v));
    } else if (size == 4) {
        b->FlashWriteWord(off, static_cast<std::uint16_t>(v >> 16));
        b->FlashWriteWord(off + 2, static_cast<std::uint16_t>(v));
    }
    // The store itself lands in the view after this hook; undo it later.
    b->dirtyView.emplace_back(off, static_cast<std::uint32_t>(size));
}

std::uint64_t Page1Read(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    return BigEndian(b->page1.get() + offset, size);
}

void Page1Write(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    b->RegisterStore(kPage1Base + static_cast<std::uint32_t>(offset), size * 8, static_cast<std::uint32_t>(value), true);
}

std::uint64_t ModuleRead(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    return BigEndian(b->module.get() + offset, size);
}

void ModuleWrite(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerDeviceAccess * b->cyclePs;
    b->RegisterStore(kModuleBase + static_cast<std::uint32_t>(offset), size * 8, static_cast<std::uint32_t>(value), true);
}

bool HookInvalid(uc_engine* uc, uc_mem_type type, std::uint64_t address, int, std::int64_t, void* user) {
    Board::Impl* b = Self(user);
    const char* what = "access";
    switch (type) {
        case UC_MEM_READ_UNMAPPED: case UC_MEM_READ_PROT: what = "read"; break;
        case UC_MEM_WRITE_UNMAPPED: case UC_MEM_WRITE_PROT: what = "write"; break;
        case UC_MEM_FETCH_UNMAPPED: case UC_MEM_FETCH_PROT: what = "instruction fetch"; break;
        default: break;
    }
    char text[96];
    std::snprintf(text, sizeof text, "bus error: %s at 0x%06llX answered by nothing", what,
                  static_cast<unsigned long long>(address));
    b->Fault(BoardFault::Kind::BusError, Pc(uc), static_cast<std::uint32_t>(address), 2, text);
    return false;
}

void HookInterrupt(uc_engine* uc, std::uint32_t intno, void* user) {
    Board::Impl* b = Self(user);
    BoardFault::Kind kind = BoardFault::Kind::Exception;
    const char* name = "exception";
    switch (intno) {
        case 2: kind = BoardFault::Kind::BusError; name = "bus error"; break;
        case 3: kind = BoardFault::Kind::AddressError; name = "address error"; break;
        case 4: kind = BoardFault::Kind::IllegalInstruction; name = "illegal instruction"; break;
        case 5: name = "zero divide"; break;
        case 6: name = "CHK"; break;
        case 7: name = "TRAPV"; break;
        case 8: name = "privilege violation"; break;
        case 9: name = "trace"; break;
        case 10: kind = BoardFault::Kind::IllegalInstruction; name = "line A (unimplemented instruction)"; break;
        case 11: kind = BoardFault::Kind::IllegalInstruction; name = "line F (unimplemented instruction)"; break;
        default:
            if (intno >= 32 && intno < 48) name = "TRAP";
            break;
    }
    char text[80];
    std::snprintf(text, sizeof text, "%s (vector %u)", name, intno);
    b->Fault(kind, Pc(uc), 0, intno, text);
    uc_emu_stop(uc);
}

}  // namespace

// ============================================================== set-up

bool Board::Impl::Init(std::string& error) {
    cyclePs = kPicosPerSecond / std::max<std::uint32_t>(1, options.cpuClockHz);
    console = options.channel == Channel::A ? 0u : 1u;
    flash = Am29f400(options.timing == TimingProfile::Typical ? FlashTiming::Typical() : FlashTiming::Instant());
    low = MakeBuffer(kLowSize, 0);
    page1 = MakeBuffer(0x1000, 0);
    module = MakeBuffer(kModuleSize, 0);
    ram = MakeBuffer(kRamSize, 0);
    flashView = MakeBuffer(kFlashSize, 0xFF);
    if (!low || !page1 || !module || !ram || !flashView) {
        error = "out of memory";
        return false;
    }
    if (uc_open(UC_ARCH_M68K, UC_MODE_BIG_ENDIAN, &uc) != UC_ERR_OK) {
        uc = nullptr;
        error = "the CPU emulator cannot be opened";
        return false;
    }
    uc_err e = uc_ctl_set_cpu_model(uc, UC_CPU_M68K_M68020);
    if (e == UC_ERR_OK) e = uc_mem_map_ptr(uc, 0, kLowSize, UC_PROT_ALL, low.get());
    if (e == UC_ERR_OK) e = uc_mmio_map(uc, kPage1Base, 0x1000, Page1Read, this, Page1Write, this);
    if (e == UC_ERR_OK) e = uc_mmio_map(uc, kModuleBase, kModuleSize, ModuleRead, this, ModuleWrite, this);
    uc_hook h{};
    if (e == UC_ERR_OK) e = uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(HookBlock), this, 1, 0);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(HookDuartRead), this, kDuartBase, kDuartEnd);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(HookDuartWrite), this, kDuartBase, kDuartEnd);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(HookFlashRead), this, kFlashBase,
                        kFlashBase + kFlashSize - 1);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(HookFlashWrite), this, kFlashBase,
                        kFlashBase + kFlashSize - 1);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(HookInvalid), this, 1, 0);
    if (e == UC_ERR_OK) e = uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(HookInterrupt), this, 1, 0);
    if (e == UC_ERR_OK) e = uc_ctl_exits_enable(uc);
    if (e == UC_ERR_OK) {
        std::array<std::uint64_t, 3> exits{kReturnSentinel, kReentry1C8, kReentry1DA};
        e = uc_ctl_set_exits(uc, exits.data(), exits.size());
    }
    if (e != UC_ERR_OK) {
        error = std::string("CPU emulator set-up failed: ") + uc_strerror(e);
        return false;
    }
    flash.onArrayChange = [this](std::uint32_t off, std::uint32_t n) {
        std::memcpy(flashView.get() + off, flash.Contents().data() + off, n);
        if (flashCodeRun) pendingInvalidate.emplace_back(off, n);
    };
    duart.toHost = [this](unsigned channel, const WireChar& c) {
        if (channel == console) ToHost(c);
    };
    PowerOn();
    return true;
}

void Board::Impl::InitDuartForMonitor() {
    duart.Reset(now);
    for (unsigned ch = 0; ch < 2; ++ch) {
        const unsigned base = ch * 8;
        duart.Write(base + Mc68681::kCRA, 0x10, now);  // MR pointer to MR1
        duart.Write(base + Mc68681::kMRA, 0x13, now);  // 8 bits, no parity
        duart.Write(base + Mc68681::kMRA, 0x07, now);  // one stop bit
        duart.Write(base + Mc68681::kSRA_CSRA, 0xBB, now);  // 9600 both ways
        duart.Write(base + Mc68681::kCRA, 0x20, now);  // reset receiver
        duart.Write(base + Mc68681::kCRA, 0x30, now);  // reset transmitter
        duart.Write(base + Mc68681::kCRA, 0x40, now);  // reset error status
        duart.Write(base + Mc68681::kCRA, 0x05, now);  // enable both
    }
    duart.Write(Mc68681::kIPCR_ACR, 0x00, now);  // baud-rate set 1: code 0xC = 38400
}

void Board::Impl::PowerOn() {
    InitDuartForMonitor();
    flash.PowerOn();
    std::uint8_t* l = low.get();
    PutBigEndian(l + 0, 4, kMonitorStack);
    PutBigEndian(l + 4, 4, kReturnSentinel);
    PutBigEndian(l + kConsoleWord, 2, console == 0 ? 0x0C00 : 0x0C10);
    l[kReentryByte] = options.reenterAt1DA ? 0xD0 : 0x00;
    std::memset(module.get() + 0x40, 0, 0x20);
    if (options.chipSelectsPreset) {
        PutBigEndian(module.get() + 0x48, 4, 0x0007FF7D);
        PutBigEndian(module.get() + 0x4C, 4, 0x00400013);
        PutBigEndian(module.get() + 0x50, 4, 0x000FFF71);
        PutBigEndian(module.get() + 0x54, 4, 0x00490013);
    }
    UpdateChipSelects();
    ApplyMaps();
    mode = options.application ? BoardMode::Application : BoardMode::Monitor;
    ResetMonitor();
    out.clear();
    appBreakSeen = false;
    appArmed = false;
    appLast.clear();
    std::uint32_t sr = 0x2700;
    uc_reg_write(uc, UC_M68K_REG_SR, &sr);
}

void Board::Impl::UpdateChipSelects() {
    // Chip select 1 answers for the flash, chip select 2 for the RAM above it,
    // once their base registers hold the valid bit.
    const bool wantFlash = (BigEndian(module.get() + 0x4C, 4) & 1u) != 0;
    const bool wantRam = (BigEndian(module.get() + 0x54, 4) & 1u) != 0;
    if (wantFlash != flashMapped || wantRam != ramMapped) pendingMapUpdate = true;
    if (!pendingMapUpdate) return;
    if (inEmulation) {
        stopSoon = true;  // mapping changes wait until the CPU stands still
    } else {
        ApplyMaps();
    }
}

void Board::Impl::ApplyMaps() {
    if (!pendingMapUpdate) return;
    pendingMapUpdate = false;
    const bool wantFlash = (BigEndian(module.get() + 0x4C, 4) & 1u) != 0;
    const bool wantRam = (BigEndian(module.get() + 0x54, 4) & 1u) != 0;
    if (wantFlash != flashMapped) {
        if (wantFlash) {
            std::memcpy(flashView.get(), flash.Contents().data(), kFlashSize);
            flashMapped = uc_mem_map_ptr(uc, kFlashBase, kFlashSize, UC_PROT_ALL, flashView.get()) == UC_ERR_OK;
        } else {
            uc_mem_unmap(uc, kFlashBase, kFlashSize);
            flashMapped = false;
        }
    }
    if (wantRam != ramMapped) {
        if (wantRam) {
            ramMapped = uc_mem_map_ptr(uc, kRamBase, kRamSize, UC_PROT_ALL, ram.get()) == UC_ERR_OK;
        } else {
            uc_mem_unmap(uc, kRamBase, kRamSize);
            ramMapped = false;
        }
    }
}

// ============================================================== bus

void Board::Impl::RegisterStore(std::uint32_t address, unsigned width, std::uint32_t value, bool byCpu) {
    const unsigned n = width / 8;
    if (address >= kModuleBase) {
        const std::uint32_t off = address - kModuleBase;
        if (off + n > kModuleSize) return;
        PutBigEndian(module.get() + off, n, value);
        registerLog.push_back({address, static_cast<std::uint8_t>(width), value, now, byCpu});
        if (off < 0x60 && off + n > 0x40) UpdateChipSelects();
        return;
    }
    const std::uint32_t off = address - kPage1Base;
    if (off + n > 0x1000) return;
    PutBigEndian(page1.get() + off, n, value);
    if (address >= kRegisterLow && address <= kRegisterHigh) {
        registerLog.push_back({address, static_cast<std::uint8_t>(width), value, now, byCpu});
    }
}

bool Board::Impl::MonitorStore(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!Answers(address + i)) {
            char text[96];
            std::snprintf(text, sizeof text, "monitor store to 0x%06X: nothing answers at 0x%06X", address,
                          address + i);
            Fault(BoardFault::Kind::MonitorStore, 0, address + i, 0, text);
            return false;
        }
    }
    const bool registers = (address >= kPage1Base && address < kPage1Base + 0x1000) || address >= kModuleBase;
    if (registers && (n == 4 || n == 2)) {
        // One bus cycle of the store's own width, as the monitor's move does.
        RegisterStore(address, n * 8, BigEndian(bytes, n), false);
        return true;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t a = address + i;
        if (a >= kDuartBase && a <= kDuartEnd) {
            DuartStore(a, bytes[i]);
        } else if (a < kLowSize) {
            low.get()[a] = bytes[i];
        } else if (a < kPage1Base + 0x1000 || a >= kModuleBase) {
            RegisterStore(a, 8, bytes[i], false);
        } else if (a >= kFlashBase && a < kFlashBase + kFlashSize) {
            const std::uint32_t off = a - kFlashBase;
            if ((off & 1u) == 0 && i + 1 < n) {
                FlashWriteWord(off, static_cast<std::uint16_t>((bytes[i] << 8) | bytes[i + 1]));
                ++i;
            } else {
                FlashWriteByte(off, bytes[i]);
            }
        } else {
            ram.get()[a - kRamBase] = bytes[i];
        }
    }
    // The CPU may have run code from these bytes before (the register-write
    // routine is stored at the same place again and again).
    uc_ctl_remove_cache(uc, address, address + n);
    return true;
}

// ============================================================== CPU

void Board::Impl::Fault(BoardFault::Kind kind, std::uint32_t pc, std::uint32_t address, unsigned vector,
                        std::string text) {
    BoardFault f;
    f.kind = kind;
    f.pc = pc;
    f.address = address;
    f.vector = vector;
    f.time = now;
    f.text = std::move(text);
    if (kind != BoardFault::Kind::MonitorStore) faultThisSlice = true;
    faults.push_back(f);
    if (faultCallback) faultCallback(f);
}

std::optional<Picos> Board::Impl::NextDeviceEvent() const {
    std::optional<Picos> best = duart.NextEvent();
    const auto f = flash.NextEvent();
    if (f && (!best || *f < *best)) best = f;
    if (best && *best <= now) best = now + 1;
    return best;
}

void Board::Impl::WaitHint() {
    if (inboxPending.load(std::memory_order_relaxed)) {
        stopSoon = true;
        return;
    }
    const auto ev = NextDeviceEvent();
    if (!ev) {
        idlePoll = true;
        return;
    }
    // Nothing the CPU can see changes before the next device event: skip to it.
    now = std::max(now, std::min(*ev, sliceEnd));
}

void Board::Impl::RestoreDirtyView() {
    if (dirtyView.empty()) return;
    const std::uint8_t* array = flash.Contents().data();
    for (const auto& [off, n] : dirtyView) {
        const std::uint32_t end = std::min(off + n, kFlashSize);
        std::memcpy(flashView.get() + off, array + off, end - off);
    }
    dirtyView.clear();
}

void Board::Impl::StartCall(std::uint32_t address) {
    std::uint32_t sp = kMonitorStack - 4;
    PutBigEndian(low.get() + sp, 4, kReturnSentinel);
    std::uint32_t sr = 0x2700;
    uc_reg_write(uc, UC_M68K_REG_A7, &sp);
    uc_reg_write(uc, UC_M68K_REG_SR, &sr);
    uc_reg_write(uc, UC_M68K_REG_PC, &address);
    mode = BoardMode::Cpu;
}

void Board::Impl::RunSlice(Picos end) {
    sliceEnd = std::max(end, now + 1);
    idlePoll = false;
    stopSoon = false;
    faultThisSlice = false;
    inEmulation = true;
    const std::uint32_t start = Pc(uc);
    const uc_err e = uc_emu_start(uc, start, 0, 0, 0);
    inEmulation = false;
    RestoreDirtyView();
    ApplyMaps();
    for (const auto& [off, n] : pendingInvalidate) uc_ctl_remove_cache(uc, kFlashBase + off, kFlashBase + off + n);
    pendingInvalidate.clear();
    const std::uint32_t pc = Pc(uc);
    if (faultThisSlice) {
        mode = BoardMode::Halted;
        return;
    }
    if (e != UC_ERR_OK) {
        Fault(BoardFault::Kind::Emulator, pc, 0, 0, std::string("emulator stopped: ") + uc_strerror(e));
        mode = BoardMode::Halted;
        return;
    }
    if (pc == kReturnSentinel) {
        mode = BoardMode::Monitor;  // the called routine returned
        ResetMonitor();
    } else if (pc == kReentry1C8 || pc == kReentry1DA) {
        // Re-entry: the monitor takes the line back at its own speed.
        mode = BoardMode::Monitor;
        ResetMonitor();
        duart.Write(console * 8 + Mc68681::kSRA_CSRA, 0xBB, now);
    }
}

// ============================================================== monitor, application

void Board::Impl::ToHost(const WireChar& c) {
    AddTrace({c.time, false, c.byte, c.isBreak, c.framingError});
    if (hostSink) {
        hostSink(c);
        return;
    }
    {
        std::lock_guard lk(rm);
        received.push_back(c);
    }
    rcv.notify_all();
}

void Board::Impl::DrainInbox() {
    if (!inboxPending.load()) return;
    std::deque<HostEvent> events;
    {
        std::lock_guard lk(im);
        events.swap(inbox);
        inboxPending = false;
    }
    idleSince = kForever;
    for (const HostEvent& e : events) {
        switch (e.kind) {
            case HostEvent::Kind::Byte:
                AddTrace({duart.HostSend(console, e.byte, e.format, now), true, e.byte, false, false});
                break;
            case HostEvent::Kind::BreakOn:
                duart.HostBreak(console, true, now);
                AddTrace({now, true, 0, true, false});
                break;
            case HostEvent::Kind::BreakOff:
                duart.HostBreak(console, false, now);
                break;
            case HostEvent::Kind::Unit:
                if (e.breakMs > 0) {
                    duart.HostBreakFor(console, Picos{e.breakMs} * kPicosPerMilli, now);
                    AddTrace({now, true, 0, true, false});
                } else {
                    const Picos at =
                        duart.HostSend(console, e.byte, duart.RxFormat(console), now, e.framingError, e.parityError);
                    AddTrace({at, true, e.byte, false, e.framingError});
                }
                break;
        }
    }
}

void Board::Impl::FlushOut() {
    const unsigned base = console * 8;
    while (!out.empty() && (duart.Read(base + Mc68681::kSRA_CSRA, now) & Mc68681::kTxRdy) != 0) {
        duart.Write(base + Mc68681::kRBA_TBA, out.front(), now);
        out.pop_front();
    }
}

void Board::Impl::MonitorByte(std::uint8_t b, std::uint8_t status) {
    if (status & Mc68681::kReceivedBreak) {
        ResetMonitor();
        return;
    }
    if (rx != Rx::Hunt) frameDeadline = now + kMonitorFrameTimeout;
    switch (rx) {
        case Rx::Hunt:
            if (b == kEnq) {
                out.push_back(kAck);  // the ping's first byte, or a plain ENQ
            } else if (b == kStx) {
                rx = Rx::Zero;
                frameDeadline = now + kMonitorFrameTimeout;
            }
            break;
        case Rx::Zero: rx = Rx::Cmd; break;
        case Rx::Cmd:
            cmd = b;
            rx = Rx::Len;
            break;
        case Rx::Len:
            len = b;
            sum = static_cast<unsigned>(cmd) + len;
            data.clear();
            rx = len == 0 ? Rx::Ck : Rx::Data;
            break;
        case Rx::Data:
            data.push_back(b);
            sum += b;
            if (data.size() == len) rx = Rx::Ck;
            break;
        case Rx::Ck:
            ck = b;
            rx = Rx::Etx;
            break;
        case Rx::Etx: {
            rx = Rx::Hunt;
            frameDeadline = kForever;
            if (b != kEtx || (sum & 0xFFu) != ck) break;  // damaged: no answer
            if (len < 4) break;
            const std::uint32_t address = BigEndian(data.data(), 4);
            if (cmd == 0x81) {
                if (MonitorStore(address, data.data() + 4, static_cast<std::uint32_t>(data.size() - 4))) {
                    out.push_back(kAck);
                }
            } else if (cmd == 0x82) {
                out.push_back(kAck);
                pendingCall = address;
            }
            break;
        }
    }
}

void Board::Impl::AppByte(std::uint8_t b, std::uint8_t status) {
    if (status & Mc68681::kReceivedBreak) {
        appBreakSeen = true;
        appArmed = false;
        appLast.clear();
        return;
    }
    if (!appBreakSeen) return;  // the application's own traffic: not modelled
    appLast.push_back(b);
    if (appLast.size() > 5) appLast.pop_front();
    if (appLast.size() < 5) return;
    if (appLast[0] == 0x10 && appLast[1] == 0x1F && appLast[3] == 0x10 && appLast[4] == 0x03) {
        appArmed = true;  // the break message
        appLast.clear();
        return;
    }
    if (appArmed && std::equal(appLast.begin(), appLast.end(), kAttention.begin())) {
        out.push_back('*');
        out.push_back('*');
        mode = BoardMode::Monitor;
        ResetMonitor();
    }
}

void Board::Impl::HostStep() {
    const unsigned base = console * 8;
    if (mode == BoardMode::Monitor && rx != Rx::Hunt && now >= frameDeadline) ResetMonitor();
    for (;;) {
        const std::uint8_t sr = duart.Read(base + Mc68681::kSRA_CSRA, now);
        if ((sr & Mc68681::kRxRdy) == 0) break;
        const std::uint8_t b = duart.Read(base + Mc68681::kRBA_TBA, now);
        if (mode == BoardMode::Application) {
            AppByte(b, sr);
        } else {
            MonitorByte(b, sr);
            if (pendingCall) break;
        }
    }
    FlushOut();
    if (pendingCall && out.empty()) {
        const std::uint32_t a = *pendingCall;
        pendingCall.reset();
        StartCall(a);
    }
}

// ============================================================== run loop

Step Board::Impl::Service(Picos limit) {
    CheckConsoleFormat();
    DrainInbox();
    duart.Advance(now);
    flash.Advance(now);
    switch (mode) {
        case BoardMode::Halted: return {Step::Kind::Timer, kForever};
        case BoardMode::Cpu:
            RunSlice(std::min(limit, now + kSlice));
            if (mode != BoardMode::Cpu || !idlePoll) {
                idleSince = kForever;
                return {mode == BoardMode::Cpu ? Step::Kind::Pace : Step::Kind::Continue, 0};
            }
            if (idleSince == kForever) idleSince = now;
            if (now - idleSince >= kIdleWindow) return {Step::Kind::Timer, kForever};
            return {Step::Kind::IdlePace, 0};
        case BoardMode::Monitor:
        case BoardMode::Application: {
            HostStep();
            if (mode == BoardMode::Cpu) return {Step::Kind::Continue, 0};
            const auto dev = NextDeviceEvent();
            const Picos timer = mode == BoardMode::Monitor ? frameDeadline : kForever;
            if (dev && *dev <= timer) return {Step::Kind::Device, *dev};
            return {Step::Kind::Timer, std::max(timer, now)};
        }
    }
    return {};
}

void Board::Impl::WaitWall(Picos t) {
    std::unique_lock lk(im);
    auto ready = [this] { return inboxPending.load() || stopRequest.load(); };
    if (t == kForever) {
        cv.wait(lk, ready);
        return;
    }
    const Picos ahead = t > anchorSim ? t - anchorSim : 0;
    const auto deadline = anchorWall + std::chrono::nanoseconds(static_cast<long long>(ahead / 1000u));
    cv.wait_until(lk, deadline, ready);
}

void Board::Impl::ThreadMain() {
    {
        std::lock_guard lk(m);
        anchorWall = std::chrono::steady_clock::now();
        anchorSim = now;
        idleAnchored = false;
    }
    const bool realTime = options.realTime;
    while (!stopRequest.load()) {
        Step s;
        {
            std::lock_guard lk(m);
            s = Service(kForever);
        }
        auto anchorForIdle = [&] {
            if (realTime || idleAnchored) return;
            std::lock_guard lk(m);
            anchorWall = std::chrono::steady_clock::now();
            anchorSim = now;
            idleAnchored = true;
        };
        Picos simNow = 0;
        {
            std::lock_guard lk(m);
            simNow = now;
        }
        switch (s.kind) {
            case Step::Kind::Continue:
            case Step::Kind::Pace:
                if (realTime) {
                    WaitWall(simNow);
                } else {
                    idleAnchored = false;
                }
                break;
            case Step::Kind::IdlePace:
                // Within the idle window the CPU runs its poll loops at the
                // pace of the mode, so that their time-outs run out.
                if (realTime) WaitWall(simNow);
                break;
            case Step::Kind::Device:
                if (!realTime) {
                    std::lock_guard lk(m);
                    now = std::max(now, s.at);
                    idleAnchored = false;
                    break;
                }
                [[fallthrough]];
            case Step::Kind::Timer: {
                anchorForIdle();
                WaitWall(s.at);
                std::lock_guard lk(m);
                now = std::max(now, std::min(s.at, SimFromWall()));
                break;
            }
        }
    }
}

// ============================================================== Board

Board::Board(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Board::~Board() { Stop(); }

std::unique_ptr<Board> Board::Create(const BoardOptions& options, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    std::string why;
    if (!impl->Init(why)) {
        if (error) *error = why;
        return nullptr;
    }
    auto board = std::make_unique<Board>(std::move(impl));
    if (!options.flashImage.empty() && board->LoadFlash(options.flashImage) != 0) {
        if (error) *error = "cannot read the flash image " + options.flashImage;
        return nullptr;
    }
    return board;
}

void Board::Start() {
    if (impl_->running.exchange(true)) return;
    impl_->stopRequest = false;
    impl_->thread = std::thread([this] { impl_->ThreadMain(); });
}

void Board::Stop() {
    if (!impl_->running.load()) return;
    {
        std::lock_guard lk(impl_->im);
        impl_->stopRequest = true;
    }
    impl_->cv.notify_all();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->running = false;
}

bool Board::Running() const { return impl_->running.load(); }

void Board::RunFor(Picos duration) {
    Impl& b = *impl_;
    Picos target = 0;
    {
        std::lock_guard lk(b.m);
        target = b.now + duration;
    }
    for (;;) {
        std::lock_guard lk(b.m);
        if (b.now >= target) return;
        const Step s = b.Service(target);
        if (s.kind == Step::Kind::Device || s.kind == Step::Kind::Timer) b.now = std::max(b.now, std::min(s.at, target));
    }
}

bool Board::RunUntil(const std::function<bool()>& done, Picos limit) {
    Impl& b = *impl_;
    Picos target = 0;
    {
        std::lock_guard lk(b.m);
        target = b.now + limit;
    }
    for (;;) {
        if (done()) return true;
        std::lock_guard lk(b.m);
        if (b.now >= target) return false;
        const Step s = b.Service(std::min(target, b.now + kSlice));
        if (s.kind == Step::Kind::Device || s.kind == Step::Kind::Timer) {
            b.now = std::max(b.now, std::min({s.at, target, b.now + kSlice}));
        }
    }
}

void Board::Reset() {
    std::lock_guard lk(impl_->m);
    impl_->PowerOn();
}

Picos Board::Now() const {
    std::lock_guard lk(impl_->m);
    return impl_->now;
}

std::uint32_t Board::CpuPc() const {
    std::lock_guard lk(impl_->m);
    return Pc(impl_->uc);
}

BoardMode Board::Mode() const {
    std::lock_guard lk(impl_->m);
    return impl_->mode;
}

void Board::HostSend(std::span<const std::uint8_t> bytes, const LineFormat& format) {
    {
        std::lock_guard lk(impl_->im);
        for (std::uint8_t b : bytes) impl_->inbox.push_back({HostEvent::Kind::Byte, b, format});
        impl_->inboxPending = true;
    }
    impl_->cv.notify_all();
}

void Board::HostBreak(bool on) {
    {
        std::lock_guard lk(impl_->im);
        impl_->inbox.push_back({on ? HostEvent::Kind::BreakOn : HostEvent::Kind::BreakOff, 0, {}});
        impl_->inboxPending = true;
    }
    impl_->cv.notify_all();
}

void Board::HostSendUnits(std::span<const HostUnit> units) {
    {
        std::lock_guard lk(impl_->im);
        for (const HostUnit& u : units) {
            HostEvent e;
            e.kind = HostEvent::Kind::Unit;
            e.byte = u.byte;
            e.framingError = u.framingError;
            e.parityError = u.parityError;
            e.breakMs = u.breakMs;
            impl_->inbox.push_back(e);
        }
        impl_->inboxPending = true;
    }
    impl_->cv.notify_all();
}

void Board::SetHostFollowsBoard(bool on) {
    std::lock_guard lk(impl_->m);
    impl_->duart.SetHostFollowsChannel(impl_->console, on);
}

void Board::SetConsoleFormatCallback(std::function<void(const LineFormat&)> callback) {
    std::lock_guard lk(impl_->m);
    impl_->formatCallback = std::move(callback);
    impl_->lastConsoleFormat = LineFormat{0, 0, Parity::None, 0};
    impl_->CheckConsoleFormat();
}

void Board::SetHostFormat(const LineFormat& format) {
    std::lock_guard lk(impl_->m);
    impl_->duart.SetHostFormat(impl_->console, format);
}

void Board::SetHostSink(std::function<void(const WireChar&)> sink) {
    std::lock_guard lk(impl_->m);
    impl_->hostSink = std::move(sink);
}

std::vector<WireChar> Board::TakeHostReceived() {
    std::lock_guard lk(impl_->rm);
    std::vector<WireChar> r;
    r.swap(impl_->received);
    return r;
}

bool Board::WaitHostReceived(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lk(impl_->rm);
    return impl_->rcv.wait_for(lk, timeout, [&] { return impl_->received.size() >= count; });
}

std::vector<std::uint8_t> Board::ReadMemory(std::uint32_t address, std::uint32_t length) const {
    const Impl& b = *impl_;
    std::lock_guard lk(b.m);
    std::vector<std::uint8_t> r(length, 0xFF);
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint32_t a = address + i;
        if (a < kLowSize) {
            r[i] = b.low.get()[a];
        } else if (a >= kPage1Base && a < kPage1Base + 0x1000) {
            r[i] = b.page1.get()[a - kPage1Base];
        } else if (a >= kFlashBase && a < kFlashBase + kFlashSize) {
            r[i] = b.flash.Contents()[a - kFlashBase];
        } else if (a >= kRamBase && a < kRamBase + kRamSize) {
            r[i] = b.ram.get()[a - kRamBase];
        } else if (a >= kModuleBase && a - kModuleBase < kModuleSize) {
            r[i] = b.module.get()[a - kModuleBase];
        }
    }
    return r;
}

bool Board::WriteMemory(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    Impl& b = *impl_;
    std::lock_guard lk(b.m);
    bool ok = true;
    std::uint32_t a = address;
    for (std::uint8_t v : bytes) {
        if (a < kLowSize) {
            b.low.get()[a] = v;
        } else if (a >= kPage1Base && a < kPage1Base + 0x1000) {
            b.page1.get()[a - kPage1Base] = v;
        } else if (a >= kFlashBase && a < kFlashBase + kFlashSize) {
            b.flash.MutableContents()[a - kFlashBase] = v;
            b.flashView.get()[a - kFlashBase] = v;
            b.pendingInvalidate.emplace_back(a - kFlashBase, 1);
        } else if (a >= kRamBase && a < kRamBase + kRamSize) {
            b.ram.get()[a - kRamBase] = v;
        } else if (a >= kModuleBase && a - kModuleBase < kModuleSize) {
            b.module.get()[a - kModuleBase] = v;
        } else {
            ok = false;
        }
        ++a;
    }
    // Code may have been translated from these bytes before.
    uc_ctl_remove_cache(b.uc, address, address + static_cast<std::uint32_t>(bytes.size()));
    b.pendingInvalidate.clear();
    return ok;
}

std::vector<std::uint8_t> Board::FlashContents() const {
    std::lock_guard lk(impl_->m);
    const auto c = impl_->flash.Contents();
    return {c.begin(), c.end()};
}

std::vector<RegisterWrite> Board::RegisterLog() const {
    std::lock_guard lk(impl_->m);
    return impl_->registerLog;
}

void Board::ClearRegisterLog() {
    std::lock_guard lk(impl_->m);
    impl_->registerLog.clear();
}

std::vector<TraceEntry> Board::LineTrace() const {
    std::lock_guard lk(impl_->m);
    return {impl_->trace.begin(), impl_->trace.end()};
}

std::vector<BoardFault> Board::Faults() const {
    std::lock_guard lk(impl_->m);
    return impl_->faults;
}

std::uint8_t Board::DuartClockSelect(Channel channel) const {
    std::lock_guard lk(impl_->m);
    return impl_->duart.ClockSelect(static_cast<unsigned>(channel));
}

Am29f400::Counters Board::FlashCounters() const {
    std::lock_guard lk(impl_->m);
    return impl_->flash.GetCounters();
}

bool Board::FlashAnswers() const {
    std::lock_guard lk(impl_->m);
    return impl_->flashMapped;
}

bool Board::RamAnswers() const {
    std::lock_guard lk(impl_->m);
    return impl_->ramMapped;
}

void Board::SetFaultCallback(std::function<void(const BoardFault&)> callback) {
    std::lock_guard lk(impl_->m);
    impl_->faultCallback = std::move(callback);
}

void Board::SetTraceCallback(std::function<void(const TraceEntry&)> callback) {
    std::lock_guard lk(impl_->m);
    impl_->traceCallback = std::move(callback);
}

int Board::LoadFlash(const std::string& path) {
    SXFILE_T file(path.c_str(), kModeIn | kModeNoCreate);
    if (file.Fail()) return -1;
    std::vector<std::uint8_t> image;
    {
        std::lock_guard lk(impl_->m);
        const auto c = impl_->flash.Contents();
        image.assign(c.begin(), c.end());
    }
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    while (file.ReadRecord(address, length, data.data()) == 0) {
        const std::uint32_t off = address >= kFlashBase ? address - kFlashBase : address;
        if (off > kFlashSize || length > kFlashSize - off) return -1;  // not flash
        std::copy_n(data.begin(), length, image.begin() + off);
    }
    const auto st = file.LastStatus();
    if (st != SXFILE_T::Status::EndRecord && st != SXFILE_T::Status::EndOfFile) return -1;
    return WriteMemory(kFlashBase, image) ? 0 : -1;
}

int Board::SaveFlash(const std::string& path) const {
    const std::vector<std::uint8_t> image = FlashContents();
    SXFILE_T file(path.c_str(), kModeOut | kModeTrunc);
    if (file.Fail()) return -1;
    const char header[] = "zelmo-sim flash";
    file.WriteRecord(0, sizeof header - 1, reinterpret_cast<const std::uint8_t*>(header), '0');
    constexpr std::uint32_t kChunk = 32;
    for (std::uint32_t off = 0; off < kFlashSize; off += kChunk) {
        const auto first = image.begin() + off;
        if (std::all_of(first, first + kChunk, [](std::uint8_t v) { return v == 0xFF; })) continue;
        file.WriteRecord(kFlashBase + off, kChunk, image.data() + off, '3');
    }
    file.WriteRecord(0, 0, nullptr, '7');
    return file.Fail() ? -1 : 0;
}

void Board::FailFlashWord(std::uint32_t address) {
    std::lock_guard lk(impl_->m);
    impl_->flash.FailWord(address >= kFlashBase ? address - kFlashBase : address);
}

void Board::FailFlashSector(unsigned sector) {
    std::lock_guard lk(impl_->m);
    impl_->flash.FailSector(sector);
}

void Board::ClearFlashFaults() {
    std::lock_guard lk(impl_->m);
    impl_->flash.ClearFaults();
}

const char* ToString(BoardMode mode) {
    switch (mode) {
        case BoardMode::Application: return "application";
        case BoardMode::Monitor: return "monitor";
        case BoardMode::Cpu: return "cpu";
        case BoardMode::Halted: return "halted";
    }
    return "?";
}

const char* ToString(BoardFault::Kind kind) {
    switch (kind) {
        case BoardFault::Kind::BusError: return "bus error";
        case BoardFault::Kind::AddressError: return "address error";
        case BoardFault::Kind::IllegalInstruction: return "illegal instruction";
        case BoardFault::Kind::Exception: return "exception";
        case BoardFault::Kind::Emulator: return "emulator";
        case BoardFault::Kind::MonitorStore: return "monitor store";
    }
    return "?";
}

}  // namespace sim
