#pragma once
// Opt-in speed-ups of the programming sequence. The defaults are the
// sequence the window runs; each field turns one speed-up on.
#include <cstddef>
#include <cstdint>

#include "link_protocol.h"

struct FastOptionsT {
    // Erase only the sectors the file touches (keeping the serial-number
    // area as the chip erase does) instead of the whole chip.
    bool sectorErase = false;
    // No 10 ms pause before a frame's first send; resends keep it.
    bool noPause = false;
    // Program frames filled to the largest word-aligned payload, across
    // records at contiguous addresses.
    bool fullFrames = false;
    // A block of nothing but 0xFF is not programmed after the erase.
    bool skipBlank = false;
    // Ping the boot monitor before the hand-over attempts, and move the host
    // to the new speed as soon as the daemon's ACK for it has arrived.
    bool monitorFirst = false;
    // Bring-up's routine-run register writes two to a routine (the same
    // 18 bytes at the scratch address, the same order).
    bool pairedWrites = false;
    // The daemon stored at 38,400 by a small loader the monitor stores and
    // starts first (FirstLoader.h); the ordinary download when that fails.
    bool firstLoader = false;
    // The upload through the fast stage (FastStage.h): pipelined frames and
    // the board's own check of its flash at the end, at stageBaud (57,600
    // falls back to 38,400), compressed chunks with compress.
    bool stage = false;
    std::uint32_t stageBaud = 57600;
    bool compress = false;

    bool Any() const {
        return sectorErase || noPause || fullFrames || skipBlank || monitorFirst || pairedWrites || firstLoader || stage;
    }
};

// The payload of a full program frame (link_protocol.h says why 250).
inline constexpr std::size_t kFullFramePayload = LINK_FULL_FRAME_PAYLOAD;
