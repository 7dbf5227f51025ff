#pragma once
// Bring-up: getting the board's attention, finding its boot monitor and
// writing its memory-interface registers so that the flash and the daemon's
// RAM answer.
#include <array>
#include <cstdint>

#include "FastOptions.h"
#include "Results.h"
#include "link_protocol.h"

// connect_result: kMonitor (registers written, or the daemon already marked
// running), kDaemonRunning, kNoAnswer, kSilent; or kLinkBusy. With
// fast.monitorFirst a boot monitor that answers a ping at 9600 is taken at
// once, without the hand-over attempts.
int Connect(const FastOptionsT& fast = {});
// True when the board answered the attention requests with "**".
bool HandOver();
// One byte stored through the current link: the store's link_result, and
// kUnanswered without a link.
int WriteRegisterByte(std::uint32_t address, std::uint8_t value);

// The message sent after the break; the board application hands the line
// over only after the attention request that follows it.
inline constexpr std::array<std::uint8_t, LINK_HANDOVER_BYTES> kBreakMessage LINK_BREAK_MESSAGE;
inline constexpr std::array<std::uint8_t, LINK_HANDOVER_BYTES> kAttentionRequest LINK_ATTENTION_REQUEST;
