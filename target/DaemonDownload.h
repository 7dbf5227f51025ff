#pragma once
// Stores the daemon in board RAM through the boot monitor, starts it and
// moves both ends of the line to 38400 baud.
#include <array>
#include <cstdint>

#include "Progress.h"
#include "Results.h"

class VesperilIO;

// download_result: kAlreadyRunning (nothing sent); kStarted (stored,
// started, both ends at 38400); kRunRefused; kBadImage; kStoreRefused; or
// kLinkBusy. The progress position is the record count, once per stored
// block, and the bar is filled after the last block.
// quickSwitch: move the host to 38400 as soon as the board's ACK for the new
// speed has arrived, instead of a second later.
int DownloadDaemon(ProgressT& progress, bool quickSwitch = false);
// The same with another image text (NUL-terminated S-records back to back).
int DownloadDaemonImage(const char* image, ProgressT& progress, bool quickSwitch = false);

// Stores the data records of an image text through link, block by block,
// moving progress as DownloadDaemon does; entry: the first record's address.
// 0, kStoreRefused or kBadImage (no data records included).
int StoreImage(VesperilIO& link, const char* image, ProgressT& progress, std::uint32_t& entry);

// After the board's ACK for 38,400: the host follows, and ENQs (up to about
// a second) show the board listens there. True when one was answered.
bool SwitchOnAcknowledgement(VesperilIO& link);

// A record of the daemon image carries at most this many data bytes.
inline constexpr std::size_t kImageRecordMax = 128;

// Reads the record at *position of an image text and moves past it. 1: an
// S3 record (its data into data), 0: the S5 record, -1: no whole, valid
// record where one belongs. Other record types are stepped over. Records
// are read as the ROM file's are (SxRecord.h), with nothing between them.
int NextImageRecord(const char*& position, std::array<std::uint8_t, kImageRecordMax>& data,
                    std::uint32_t& address, std::uint8_t& length);
