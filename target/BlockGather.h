#pragma once
// How the daemon download and the ROM upload gather records: records at
// consecutive addresses go to the board together, and a block is written
// once it holds more than kBlockGather bytes (or the next record does not
// follow it). With the daemon image's 15-byte records a block then fills one
// store frame of LINK_WRITE_CHUNK bytes, and a ROM's blocks take one or two
// frames: fewer acknowledged exchanges than a frame per record.
#include <cstddef>

#include "link_protocol.h"

inline constexpr std::size_t kBlockGather = 230;
static_assert(kBlockGather + 15 <= LINK_WRITE_CHUNK);
