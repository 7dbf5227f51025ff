#pragma once
// The serial-number area (0x47F000..0x47FFFF) is the one thing the chip
// erase keeps. A file that writes into it (one saved from another board,
// say) would program its bytes over the board's own, leaving neither.
#include <string>

#include "RomImage.h"

// "" when programming rom cannot damage the board's serial-number area: the
// file gives it nothing but 0xFF, or the board's area reads blank, or it
// already holds what the file gives it. Otherwise the reason, in the
// operator's words. Reads the area (with the link held) only when the file
// writes something other than 0xFF into it; needs the daemon.
std::string SerialAreaConflict(const RomImageT& rom);
