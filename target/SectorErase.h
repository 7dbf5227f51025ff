#pragma once
// Erasing only the flash sectors a ROM file touches, keeping the
// serial-number area the way the daemon's chip erase keeps it.
#include <cstdint>
#include <string>

// Bit i set: the file's data touches sector i of kFlashSectors. Records
// outside the flash are left out (the file check refuses them anyway).
std::uint32_t TouchedSectors(const std::string& text);

// Erases the touched sectors with the daemon's sector erase. When the top
// sector is among them, the serial-number area is read first and, unless it
// is blank, programmed back after the erase and read again to check it, as
// the chip erase does on the board. 0; -100 the daemon is not running
// (nothing sent); -104 an erase was refused or unanswered, or the area could
// not be read, programmed back or checked; kLinkBusy.
// Before the top sector is erased, a kept area is also written to an
// S-record file in the temporary directory (none written: -104, nothing
// erased); the file is removed once the area is back in the flash.
int EraseTouchedSectors(const std::string& text);

// After a failed EraseTouchedSectors: the file that still holds the
// serial-number area it could not put back, or "".
const std::string& SerialNumberRescueFile();
