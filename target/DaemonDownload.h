#pragma once
// Stores the daemon in board RAM through the boot monitor, starts it and
// moves both ends of the line to 38400 baud.
#include <array>
#include <cstdint>

// Shared by the daemon download and the ROM upload.
extern std::array<std::uint8_t, 500> transferBuffer;
extern int recordCounter;

// 1: the daemon already runs, nothing sent; 0: stored, started, both ends at
// 38400; -103: the run request was not acknowledged; -104: the image text
// holds something other than a record where one belongs; -105: a block store
// was not acknowledged; kLinkBusy.
// quickSwitch: move the host to 38400 as soon as the board's ACK for the new
// speed has arrived, instead of a second later.
int DownloadDaemon(bool quickSwitch = false);
// The same with another image text (NUL-terminated S-records back to back).
int DownloadDaemonImage(const char* image, bool quickSwitch = false);

// Reads the record at *position of an image text and moves past it. 1: an
// S3 record (data into a 128-byte buffer), 0: the S5 record, -1: no record
// where one belongs. Other record types are stepped over.
int NextImageRecord(const char*& position, std::array<std::uint8_t, 128>& data, std::uint32_t& address,
                    std::uint8_t& length);
