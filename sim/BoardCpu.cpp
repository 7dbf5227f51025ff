// The CPU: emulator set-up, the hooks through which it reaches the devices,
// its faults, and one run of it between looks at the host.
#include "BoardImpl.h"

namespace sim {

namespace {

Board::Impl* Self(void* user) { return static_cast<Board::Impl*>(user); }

void AddressError(uc_engine* uc, Board::Impl* b, std::uint32_t address, const char* what) {
    char text[96];
    std::snprintf(text, sizeof text, "address error: %s at odd address 0x%06X (vector 3)", what, address);
    b->Fault(BoardFault::Kind::AddressError, Pc(uc), address, 3, text);
    uc_emu_stop(uc);
}

void HookBlock(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* user) {
    Board::Impl* b = Self(user);
    // The CPU32 fetches instructions as words: an odd PC is an address error
    // (the 68020 core would take the fetch and decode rubbish).
    if ((address & 1u) != 0) {
        AddressError(uc, b, static_cast<std::uint32_t>(address), "instruction fetch");
        return;
    }
    (void)size;
    if (address >= kFlashBase && address < kFlashBase + kFlashSize) b->flashCodeRun = true;
    if (b->now >= b->sliceEnd || b->stopSoon) {
        // With a code hook installed the emulator does not take its PC back
        // to this block when it stops here: it is left at the previous
        // block's last instruction, already executed, which would run twice
        // (a jsr pushing twice, an rts popping twice). Go on from here.
        b->resumeAt = static_cast<std::uint32_t>(address);
        uc_emu_stop(uc);
    }
}

void HookCode(uc_engine*, std::uint64_t, std::uint32_t, void* user) {
    Board::Impl* b = Self(user);
    b->now += kClocksPerInstruction * b->cyclePs;
    ++b->instructions;
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
            // A loop that polls the flash as well (an erase that answers the
            // line meanwhile) runs at the CPU's pace, as flash polls do.
            if ((v & ready) != ready && b->instructions - b->lastStatusRead <= kWaitLoopInstructions &&
                b->lastFlashRead <= b->lastStatusRead)
                wait = true;
            b->lastStatusRead = b->instructions;
        }
    }
    // A status read in a tight loop that shows something not ready is a wait.
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
    // A busy flash is polled at the CPU's own pace: every status read costs
    // its instructions' time, so a poll count runs out as on the board.
    b->lastFlashRead = b->instructions;
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

// The CPU32 has no misaligned transfers: a word or long at an odd address is
// an address error, where the 68020 core would split it and go on.
void HookAlignment(uc_engine* uc, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void* user) {
    if (size == 1 || (address & 1u) == 0) return;
    AddressError(uc, Self(user), static_cast<std::uint32_t>(address), type == UC_MEM_WRITE ? "write" : "read");
}

void HookInterrupt(uc_engine* uc, std::uint32_t intno, void* user) {
    Board::Impl* b = Self(user);
    if (b->faultThisSlice) {
        uc_emu_stop(uc);  // already reported (an address error the core went on from)
        return;
    }
    if ((Pc(uc) & 1u) != 0) {
        AddressError(uc, b, Pc(uc), "instruction fetch");
        return;
    }
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

bool Board::Impl::Init(std::string& error) {
    cyclePs = kPicosPerSecond / std::max<std::uint32_t>(1, options.cpuClockHz);
    console = options.channel == Channel::A ? 0u : 1u;
    faultRng.seed(options.lineFaults.seed);
    switch (options.timing) {
        case TimingProfile::Instant: flash = Am29f400(FlashTiming::Instant()); break;
        case TimingProfile::Typical: flash = Am29f400(FlashTiming::Typical()); break;
        case TimingProfile::Slowest: flash = Am29f400(FlashTiming::Slowest()); break;
    }
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
    if (e == UC_ERR_OK) e = uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(HookCode), this, 1, 0);
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
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(HookAlignment), this, 1,
                        0);
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
    resumeAt = 0;
    inEmulation = true;
    const std::uint32_t start = Pc(uc);
    const uc_err e = uc_emu_start(uc, start, 0, 0, 0);
    inEmulation = false;
    if (resumeAt != 0 && e == UC_ERR_OK && !faultThisSlice) uc_reg_write(uc, UC_M68K_REG_PC, &resumeAt);
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

}  // namespace sim
