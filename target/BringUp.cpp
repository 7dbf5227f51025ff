#include "BringUp.h"

#include <array>

#include "CommPort.h"
#include "TargetState.h"
#include "TimerT.h"

int WriteRegisterByte(std::uint32_t address, std::uint8_t value) {
    if (!TargetLink) return link_result::kUnanswered;
    return TargetLink->WriteMemory(address, std::span(&value, 1), 8);
}

bool HandOver() {
    CommConfigure(9600, 0, 8, 0);
    CommPurgeInput();
    SleepMs(100);
    CommBreak(500);
    CommWrite(kBreakMessage);
    static constexpr char kAnswer[] = LINK_HANDOVER_ANSWER;
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
    namespace r = connect_result;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    // The old link closes its port before the new one opens it.
    TargetFlash.reset();
    TargetLink.reset();
    ++daemonSession;
    TargetLink = std::make_unique<VesperilIO>(SelectedPort, TargetConfiguration.moduleBase,
                                              TargetConfiguration.scratchAddress);
    TargetFlash = std::make_unique<FlashMemT>(*TargetLink);
    if (CommIsOpen() == 0) return r::kNoAnswer;  // the port could not be opened

    VesperilIO& link = *TargetLink;
    // The hand-over (a break, then ten attention requests a board
    // application answers) takes about 3 s when the monitor already listens.
    if (fast.monitorFirst && link.Probe(9600) == 9600) {
        if (!daemonRunning) WriteConfiguration(link);
        return r::kMonitor;
    }
    const bool handedOver = HandOver();
    if (!handedOver && link.Probe(9600) != 9600) return r::kNoAnswer;
    if (link.Probe(9600) == 9600) {
        if (daemonRunning) return r::kMonitor;
        WriteConfiguration(link);
        return r::kMonitor;
    }
    link.SetHostSpeed(38400);
    if (link.Probe(38400) == 38400) {
        daemonRunning = true;
        return r::kDaemonRunning;
    }
    return r::kSilent;
}
