#include "TargetState.h"

namespace {
TargetStateT g_state;
}  // namespace

TargetStateT& TargetState() { return g_state; }

std::uint8_t& SelectedPort = g_state.selectedPort;
TargetConfigurationT& TargetConfiguration = g_state.configuration;
std::unique_ptr<VesperilIO>& TargetLink = g_state.link;
std::unique_ptr<FlashMemT>& TargetFlash = g_state.flash;
std::atomic<bool>& daemonRunning = g_state.daemonRunning;
std::atomic<unsigned>& daemonSession = g_state.daemonSession;
std::array<std::uint8_t, 500>& transferBuffer = g_state.transferBuffer;
int& recordCounter = g_state.recordCounter;

void ResetTargetState() {
    TargetStateT& s = g_state;
    s.flash.reset();
    s.link.reset();  // closes the port
    s.selectedPort = 0;
    s.configuration = TargetConfigurationT{};
    s.daemonRunning = false;
    ++s.daemonSession;
    s.transferBuffer.fill(0);
    s.recordCounter = 0;
}

LinkUseT::LinkUseT() : held_(g_state.linkMutex.try_lock()) {}
LinkUseT::~LinkUseT() {
    if (held_) g_state.linkMutex.unlock();
}
