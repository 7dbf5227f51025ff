#pragma once
// Erasing only the flash sectors a ROM file touches, keeping the
// serial-number area the way the daemon's chip erase keeps it.
#include <cstdint>
#include <span>
#include <string>

#include "RomImage.h"

// Erases the sectors the image touches (RomImageT::sectors) with the
// daemon's sector erase. When the top
// sector is among them, the serial-number area is read first and, unless it
// is blank, programmed back after the erase and read again to check it, as
// the chip erase does on the board. It stands in for the chip erase, with
// its results (erase_result): kErased; kNoDaemon (nothing sent); kFailed (an
// erase was refused or unanswered, or the area could not be read,
// programmed back or checked); or kLinkBusy.
// Before the top sector is erased, a kept area is also written to an
// S-record file in the temporary directory (none written: kFailed, nothing
// erased); the file is removed once the area is back in the flash.
int EraseTouchedSectors(const RomImageT& image);

// The serial-number area (kept, its 4 KiB) on the host's disk while the top
// sector is blank: if the link or this process dies before it is programmed
// back, the serial number is not lost with it. Its path, or "" when the file
// could not be written.
std::string WriteSerialRescueFile(std::span<const std::uint8_t> kept);

// After a failed EraseTouchedSectors: the file that still holds the
// serial-number area it could not put back, or "".
const std::string& SerialNumberRescueFile();
