#include <array>
#include <cstring>

#include "CommPort.h"
#include "FlashMemT.h"
#include "Progress.h"
#include "Target.h"
#include "TimerT.h"

TargetConfigurationT TargetConfiguration;
std::uint8_t SelectedPort = 0;
std::unique_ptr<VesperilIO> TargetLink;
std::unique_ptr<FlashMemT> TargetFlash;
std::atomic<bool> daemonRunning{false};
std::atomic<unsigned> daemonSession{0};

namespace {
// Recursive, so that a whole sequence can hold the link across its steps,
// which take it again on the same thread.
std::recursive_mutex linkMutex;

class NullProgressT final : public ProgressT {
public:
    void SetProgress(int) override {}
    void FillProgress() override {}
    void ToggleUploadLamp() override {}
    void EnableRestart() override {}
};
NullProgressT nullProgress;
std::atomic<ProgressT*> progressSink{&nullProgress};
}  // namespace

void SetProgressSink(ProgressT* sink) { progressSink = sink != nullptr ? sink : &nullProgress; }
ProgressT& Progress() { return *progressSink.load(); }

LinkUseT::LinkUseT() : held_(linkMutex.try_lock()) {}
LinkUseT::~LinkUseT() {
    if (held_) linkMutex.unlock();
}

void ResetTargetConfiguration() { TargetConfiguration = TargetConfigurationT{}; }

void LoadTargetConfiguration() {
    auto& c = TargetConfiguration;
    c.processorType = 330;
    c.moduleBase = 0xFFF000;
    c.scratchAddress = 0x810;
    c.chipSelects[0] = {0x00000013, 0x00001F7F, true};
    c.chipSelects[1] = {0x00400013, 0x0007FF7D, true};
    c.chipSelects[2] = {0x00490013, 0x000FFF71, true};
    c.chipSelects[3] = {0, 0, false};
    c.portRegisters = {};
    c.regionBlockEnabled = true;
    c.controlWords[0] = {0x0382, true};
    c.controlWords[1] = {0xEFFE, true};
    c.controlWords[2] = {0x9C35, true};
    c.controlWords[3] = {0x00B6, true};
    c.regionEntries = {};
    c.regionEntries[3] = {0x00490101, 0xF903F301, true};
    c.regionEntries[9] = {0x00490041, 0xF903F201, true};
    c.regionEntries[10] = {0x00400141, 0xF907F381, true};
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

int VesperilIO::WriteRegionEntry(int index, std::uint32_t baseWord, std::uint32_t optionWord) {
    const std::uint32_t reg = 0x1F00 + 8u * static_cast<std::uint32_t>(index);
    const std::array<std::uint16_t, 4> halves{static_cast<std::uint16_t>(optionWord >> 16),
                                              static_cast<std::uint16_t>(optionWord),
                                              static_cast<std::uint16_t>(baseWord >> 16),
                                              static_cast<std::uint16_t>(baseWord)};
    for (std::uint32_t i = 0; i < 4; ++i) {
        const int r = WriteRegisterWord(reg + 2 * i, halves[i]);
        if (r != 0) return r;
    }
    return 0;
}

int WriteRegisterByte(std::uint32_t address, std::uint8_t value) {
    if (!TargetLink) return -1;
    return TargetLink->WriteMemory(address, std::span(&value, 1), 8);
}

bool HandOver() {
    CommConfigure(9600, 0, 8, 0);
    CommPurgeInput();
    SleepMs(100);
    CommBreak(500);
    CommWrite(kBreakMessage);
    static constexpr char kAnswer[] = "**";
    int matched = 0;  // carries over between attempts
    for (int attempt = 0; attempt < 10; ++attempt) {
        CommPurgeInput();
        CommWrite(kAttentionRequest);
        SleepMs(100);
        for (int poll = 0; poll < 1002 && matched < 2; ++poll) {
            std::uint8_t b = 0;
            if (CommRead(std::span(&b, 1)) != 1) continue;
            matched = b == static_cast<std::uint8_t>(kAnswer[matched]) ? matched + 1 : 0;
        }
        if (matched >= 2) return true;
    }
    SleepMs(10);
    return false;
}

namespace {
void WriteConfiguration(VesperilIO& link) {
    const auto& c = TargetConfiguration;
    link.WriteRegisterWord(0x1E0A, 0x0C00);
    if (c.processorType == 330) {
        for (int i = 0; i < 4; ++i) {
            const auto& cs = c.chipSelects[static_cast<std::size_t>(i)];
            if (cs.enabled) link.WriteChipSelect(i, cs.base, cs.mask);
        }
        for (std::uint32_t k = 0; k < 8; ++k) {
            const auto& pr = c.portRegisters[k];
            if (pr.enabled) WriteRegisterByte(c.moduleBase + 0x11 + 2 * k, pr.value);
        }
    }
    if (c.regionBlockEnabled) {
        link.WriteControlWord(4, 0x0A05);
        for (int i = 0; i < 4; ++i) {
            const auto& cw = c.controlWords[static_cast<std::size_t>(i)];
            if (cw.enabled) link.WriteControlWord(i, cw.value);
        }
        link.WriteControlWord(4, 0x0000);
        // Register pairs 0 to 7 take these configuration entries.
        static constexpr std::array<std::size_t, 8> kEntryOfPair{0, 3, 4, 6, 7, 8, 9, 10};
        for (int pair = 0; pair < 8; ++pair) {
            const auto& e = c.regionEntries[kEntryOfPair[static_cast<std::size_t>(pair)]];
            if (e.enabled) link.WriteRegionEntry(pair, e.baseWord, e.optionWord);
        }
    }
}
}  // namespace

int Connect(const FastOptionsT& fast) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    // The old link closes its port before the new one opens it.
    TargetFlash.reset();
    TargetLink.reset();
    ++daemonSession;
    TargetLink = std::make_unique<VesperilIO>(SelectedPort, TargetConfiguration.moduleBase,
                                              TargetConfiguration.scratchAddress);
    TargetFlash = std::make_unique<FlashMemT>(*TargetLink);
    if (CommIsOpen() == 0) return -1;  // the port could not be opened

    VesperilIO& link = *TargetLink;
    // The hand-over (a break, then ten attention requests a board
    // application answers) takes about 3 s when the monitor already listens.
    if (fast.monitorFirst && link.Probe(9600) == 9600) {
        if (!daemonRunning) WriteConfiguration(link);
        return 1;
    }
    const bool handedOver = HandOver();
    if (!handedOver && link.Probe(9600) != 9600) return -1;
    if (link.Probe(9600) == 9600) {
        if (daemonRunning) return 1;
        WriteConfiguration(link);
        return 1;
    }
    link.SetHostSpeed(38400);
    if (link.Probe(38400) == 38400) {
        daemonRunning = true;
        return 2;
    }
    return -2;
}
