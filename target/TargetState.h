#pragma once
// The target layer's process-wide state, in one object with one reset: the
// chosen port, the current link and flash command object, whether the
// daemon runs, the board configuration bring-up writes, and the buffer and
// counter the daemon download shares with the upload. The names the loading
// steps use are references into it.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "FlashMemT.h"
#include "TargetConfiguration.h"
#include "VesperilIO.h"

struct TargetStateT {
    // Chosen port row, 0 to 19.
    std::uint8_t selectedPort = 0;
    TargetConfigurationT configuration;
    // The current link and flash command object; the next bring-up replaces
    // both (the flash object first: it speaks through the link).
    std::unique_ptr<VesperilIO> link;
    std::unique_ptr<FlashMemT> flash;
    // Set once the daemon runs at 38400 baud; only a reset clears it.
    std::atomic<bool> daemonRunning{false};
    // Counts connects and daemon downloads: whatever was stored in board RAM
    // beside the daemon under an older count may be gone.
    std::atomic<unsigned> daemonSession{0};
    // The daemon download gathers records into blocks here.
    std::array<std::uint8_t, 500> transferBuffer{};
    // Records taken by the running download or upload: its progress position.
    int recordCounter = 0;
    // Held by one step at a time (LinkUseT). Recursive, so that a whole
    // sequence can hold the link across its steps, which take it again on
    // the same thread.
    std::recursive_mutex linkMutex;
};

TargetStateT& TargetState();

// Back to the state at program start: the link closed (its port with it),
// no daemon, port row 0, the configuration cleared. The daemon session
// moves on, so nothing stored beside an earlier daemon is trusted. Not while
// a step runs.
void ResetTargetState();

// The names the loading steps share.
extern std::uint8_t& SelectedPort;
extern TargetConfigurationT& TargetConfiguration;
extern std::unique_ptr<VesperilIO>& TargetLink;
extern std::unique_ptr<FlashMemT>& TargetFlash;
extern std::atomic<bool>& daemonRunning;
extern std::atomic<unsigned>& daemonSession;
extern std::array<std::uint8_t, 500>& transferBuffer;
extern int& recordCounter;

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
