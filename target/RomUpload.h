#pragma once
// Programs an S-record ROM file into the flash through the running daemon,
// and restarts the board into it.
#include <cstdint>
#include <string>
#include <vector>

// Flash as the board maps it.
inline constexpr std::uint32_t kFlashBase = 0x400000;
inline constexpr std::uint32_t kFlashEnd = 0x480000;  // one past the last byte
// Where the programmed code starts.
inline constexpr std::uint32_t kRestartAddress = 0x400420;

// 0: every data record written; 1: the daemon is not running (file not
// opened); -1: a block was not acknowledged, or the file holds a record that
// the reader rejected; -151: the file cannot be opened; kLinkBusy.
// Mode 0 programs the flash; any other value stores into RAM.
int UploadRomFile(const char* path, int mode);
int LoadRomFile(const char* path);
// The same from a file's text already read (ReadRomFile): what is uploaded
// is then exactly what was checked, even from a pipe or a file that changes.
int UploadRomText(const std::string& text, int mode);
// Programs the text into flash this sequence has just erased, with the
// speed-ups fast turns on (fullFrames, skipBlank; noPause is the link's).
// Results as UploadRomText.
struct FastOptionsT;
int UploadRomTextFast(const std::string& text, const FastOptionsT& fast);
// The blocks an upload of the text would write, and the frames they take,
// worked out without a board. result: 0, -1 for a rejected record, kLinkBusy.
struct UploadBlockT {
    std::uint32_t address;
    std::size_t count;
};
struct UploadPlanT {
    int result = 0;
    std::vector<UploadBlockT> blocks;
    std::size_t frames = 0;
};
UploadPlanT PlanUploadText(const std::string& text);
// Writes count bytes of the transfer buffer at address; 0 for a count of 0.
int FlushBlock(std::uint32_t address, std::size_t count, int mode);
// Lines of the file (a line over 255 characters counts as more than one);
// 0 for an empty path or a file that cannot be opened.
int CountLines(const char* path);
int CountLinesText(const std::string& text);
// Runs the board's code at address; false when there is no link (or it is
// in use by another step).
bool RestartReceiver(std::uint32_t address);

// What a whole ROM file holds, checked before anything is erased.
struct RomCheckT {
    int result = 0;             // 0 or one of the codes below
    std::string reason;         // the system's reason, for kRomUnreadable
    unsigned long records = 0;  // data records
    unsigned long bytes = 0;    // data bytes
    std::uint32_t lowest = 0;   // lowest and one past the highest address
    std::uint32_t highest = 0;
    unsigned long line = 0;     // the offending line, for -152 and -153
};
inline constexpr int kRomUnreadable = -151;  // cannot be opened
inline constexpr int kRomBadRecord = -152;   // a data record is malformed
inline constexpr int kRomOutOfFlash = -153;  // data outside the flash
inline constexpr int kRomEmpty = -154;       // no data record at all
RomCheckT CheckRomFile(const char* path);
RomCheckT CheckRomText(const std::string& text);

// A ROM file read whole, once. Regular files, pipes and FIFOs are read;
// a directory, a device or a file larger than any ROM for this flash is
// refused, as is one that cannot be read. result is 0 or kRomUnreadable,
// with the system's reason ("No such file or directory").
struct RomFileT {
    int result = kRomUnreadable;
    std::string text;
    std::string reason;
};
inline constexpr std::size_t kRomFileMax = 64u << 20;
RomFileT ReadRomFile(const char* path);
// The operator's words for a check result.
std::string RomCheckText(const RomCheckT& check);
