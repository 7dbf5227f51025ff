#include "BringUp.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

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
    for (int attempt = 0; attempt < 10 && CommLineFailed() == 0; ++attempt) {
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

std::uint32_t g_failedRegister = 0;

// One register write of bring-up. A write that stays unanswered is not
// skipped: one ping tells a live line (the write is sent once more) from a
// dead one, which would otherwise cost every later write its five sends.
// False, with the register noted, when the write did not go in.
template <typename Write>
bool Take(VesperilIO& link, std::uint32_t reg, Write write) {
    if (write() == 0) return true;
    if (CommLineFailed() == 0 && link.Ping(2) && write() == 0) return true;
    g_failedRegister = reg;
    return false;
}

bool WriteConfiguration(VesperilIO& link, bool paired) {
    const auto& c = TargetConfiguration;
    // Paired: the routine-run writes after the chip selects and ports are
    // gathered in order here and sent two to a routine at the end.
    std::vector<VesperilIO::RegisterWordT> queued;
    if (!Take(link, 0x1E0A, [&] { return link.WriteRegisterWord(0x1E0A, 0x0C00); })) return false;
    if (c.processorType == 330) {
        for (int i = 0; i < 4; ++i) {
            const auto& cs = c.chipSelects[static_cast<std::size_t>(i)];
            const std::uint32_t reg = c.moduleBase + 0x40 + 8u * static_cast<std::uint32_t>(i);
            if (cs.enabled && !Take(link, reg, [&] { return link.WriteChipSelect(i, cs.base, cs.mask); })) return false;
        }
        for (std::uint32_t k = 0; k < 8; ++k) {
            const auto& pr = c.portRegisters[k];
            const std::uint32_t reg = c.moduleBase + 0x11 + 2 * k;
            if (pr.enabled && !Take(link, reg, [&] { return WriteRegisterByte(reg, pr.value); })) return false;
        }
    }
    if (c.regionBlockEnabled) {
        const auto control = [&](int index, std::uint16_t value) {
            const std::uint32_t reg = 0x1E30 + 2u * static_cast<std::uint32_t>(index);
            if (paired) {
                queued.push_back({reg, value});
                return true;
            }
            return Take(link, reg, [&] { return link.WriteControlWord(index, value); });
        };
        if (!control(4, 0x0A05)) return false;
        for (int i = 0; i < 4; ++i) {
            const auto& cw = c.controlWords[static_cast<std::size_t>(i)];
            if (cw.enabled && !control(i, cw.value)) return false;
        }
        if (!control(4, 0x0000)) return false;
        // Register pairs 0 to 7 take these configuration entries.
        static constexpr std::array<std::size_t, 8> kEntryOfPair{0, 3, 4, 6, 7, 8, 9, 10};
        for (int pair = 0; pair < 8; ++pair) {
            const auto& e = c.regionEntries[kEntryOfPair[static_cast<std::size_t>(pair)]];
            const std::uint32_t reg = 0x1F00 + 8u * static_cast<std::uint32_t>(pair);
            if (!e.enabled) continue;
            if (paired) {
                const auto words = VesperilIO::RegionEntryWords(pair, e.baseWord, e.optionWord);
                queued.insert(queued.end(), words.begin(), words.end());
            } else if (!Take(link, reg, [&] { return link.WriteRegionEntry(pair, e.baseWord, e.optionWord); })) {
                return false;
            }
        }
    }
    for (std::size_t i = 0; i < queued.size(); i += 2) {
        const auto two = std::span(queued).subspan(i, std::min<std::size_t>(2, queued.size() - i));
        if (!Take(link, two.front().address, [&] { return link.WriteRegisterWords(two); })) return false;
    }
    return true;
}

}  // namespace

std::uint32_t BringUpFailedRegister() { return g_failedRegister; }

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
    g_failedRegister = 0;
    if (fast.monitorFirst && link.Probe(9600) == 9600) {
        if (!daemonRunning && !WriteConfiguration(link, fast.pairedWrites)) return kRegisterWriteFailed;
        return r::kMonitor;
    }
    const bool handedOver = HandOver();
    if (!handedOver && link.Probe(9600) != 9600) return r::kNoAnswer;
    if (link.Probe(9600) == 9600) {
        if (daemonRunning) return r::kMonitor;
        if (!WriteConfiguration(link, fast.pairedWrites)) return kRegisterWriteFailed;
        return r::kMonitor;
    }
    link.SetHostSpeed(38400);
    if (link.Probe(38400) == 38400) {
        daemonRunning = true;
        return r::kDaemonRunning;
    }
    return r::kSilent;
}
