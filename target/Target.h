#pragma once
// The state the loading steps share, and bring-up: getting the board's
// attention, finding its boot monitor and writing its memory-interface
// registers so that the flash and the daemon's RAM answer.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "FastOptions.h"
#include "VesperilIO.h"

class FlashMemT;

struct ChipSelectEntry {
    std::uint32_t base = 0;
    std::uint32_t mask = 0;
    bool enabled = false;
};
struct PortRegisterEntry {
    std::uint8_t value = 0;
    bool enabled = false;
};
struct ControlWordEntry {
    std::uint16_t value = 0;
    bool enabled = false;
};
struct RegionEntry {
    std::uint32_t baseWord = 0;
    std::uint32_t optionWord = 0;
    bool enabled = false;
};

// What bring-up writes into the board.
struct TargetConfigurationT {
    std::int32_t processorType = 0;  // 330: write the integration module's registers
    std::uint32_t moduleBase = 0;
    std::uint32_t scratchAddress = 0;
    std::array<ChipSelectEntry, 4> chipSelects{};
    std::array<PortRegisterEntry, 8> portRegisters{};
    bool regionBlockEnabled = false;
    std::array<ControlWordEntry, 4> controlWords{};
    std::array<RegionEntry, 11> regionEntries{};
};

extern TargetConfigurationT TargetConfiguration;
void ResetTargetConfiguration();
void LoadTargetConfiguration();

// Chosen port row, 0 to 19.
extern std::uint8_t SelectedPort;
// The current link and flash command object; the next bring-up replaces both.
extern std::unique_ptr<VesperilIO> TargetLink;
extern std::unique_ptr<FlashMemT> TargetFlash;
// Set once the daemon runs at 38400 baud; never cleared.
extern std::atomic<bool> daemonRunning;
// Counts connects and daemon downloads: whatever was stored in board RAM
// beside the daemon under an older count may be gone.
extern std::atomic<unsigned> daemonSession;

// Result of any step that finds the link in use by another thread.
inline constexpr int kLinkBusy = -200;

// Holds the link for one step. Steps refuse with kLinkBusy instead of
// sharing the port with a step running on another thread.
class LinkUseT {
public:
    LinkUseT();
    ~LinkUseT();
    LinkUseT(const LinkUseT&) = delete;
    LinkUseT& operator=(const LinkUseT&) = delete;
    bool Held() const { return held_; }

private:
    bool held_;
};

// 1: monitor at 9600 (registers written, or the daemon already marked
// running); 2: silent at 9600 but answering at 38400 (daemon runs);
// -1: no hand-over answer and no answer at 9600; -2: silent at both speeds;
// kLinkBusy. With fast.monitorFirst a boot monitor that answers a ping at
// 9600 is taken at once, without the hand-over attempts; fast.noPause is
// given to the new link.
int Connect(const FastOptionsT& fast = {});
// True when the board answered the attention requests with "**".
bool HandOver();
// One byte stored through the current link; -1 without a link.
int WriteRegisterByte(std::uint32_t address, std::uint8_t value);

// The message sent after the break; the board application hands the line
// over only after the attention request that follows it.
inline constexpr std::array<std::uint8_t, 5> kBreakMessage{0x10, 0x1F, 0x42, 0x10, 0x03};
inline constexpr std::array<std::uint8_t, 5> kAttentionRequest{0x10, 0x1E, 0x54, 0x10, 0x03};
