// The memory map: power-on contents, chip selects, register stores, the
// monitor's stores, and direct reads and writes for inspection.
#include "BoardImpl.h"

namespace sim {

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

bool Board::Impl::ChipSelectCovers(std::uint32_t maskOffset, std::uint32_t first, std::uint32_t last) const {
    // A mask register (1 bits: address bits that do not matter) and the base
    // register after it (address bits A23..A8, valid bit 0). The device
    // answers only where its chip select decodes all of it; a chip select
    // that puts it elsewhere leaves it unanswered (relocation is not modelled).
    constexpr std::uint32_t kAddressBits = 0x00FFFF00;
    const std::uint32_t mask = BigEndian(module.get() + maskOffset, 4) & kAddressBits;
    const std::uint32_t base = BigEndian(module.get() + maskOffset + 4, 4);
    if ((base & 1u) == 0) return false;
    const auto decodes = [&](std::uint32_t a) { return ((a ^ base) & kAddressBits & ~mask) == 0; };
    return decodes(first) && decodes(last);
}

void Board::Impl::UpdateChipSelects() {
    const bool wantFlash = FlashSelected();
    const bool wantRam = RamSelected();
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
    const bool wantFlash = FlashSelected();
    const bool wantRam = RamSelected();
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

}  // namespace sim
