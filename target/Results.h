#pragma once
// What the steps return, by name: one list per step of the loading sequence,
// with the values the window has always mapped to its texts, then the
// loader's own codes. Every step still returns an int; these are its values.
// Within a step's list a number means one thing; the loader's own codes
// never take a number that a step's list uses, nor each other's.
#include <cstddef>
#include <iterator>

// Connect (bring-up).
namespace connect_result {
inline constexpr int kMonitor = 1;        // the boot monitor answered at 9600
inline constexpr int kDaemonRunning = 2;  // silent at 9600, answering at 38400
inline constexpr int kNoAnswer = -1;      // no "**" to the attention requests and no answer at 9600
inline constexpr int kSilent = -2;        // silent on the decisive probe at 9600 and at 38400
}  // namespace connect_result

// DownloadDaemon.
namespace download_result {
inline constexpr int kStarted = 0;          // stored, started, both ends at 38400
inline constexpr int kAlreadyRunning = 1;   // nothing sent
inline constexpr int kRunRefused = -103;    // the run request was not acknowledged
inline constexpr int kBadImage = -104;      // the image holds something other than a record where one belongs
inline constexpr int kStoreRefused = -105;  // a block store was not acknowledged
}  // namespace download_result

// EraseFlash, and the sector erase that may stand in for it.
namespace erase_result {
inline constexpr int kErased = 0;
inline constexpr int kNoDaemon = -100;  // nothing was sent
inline constexpr int kFailed = -104;    // refused, another answer, or no status in time
}  // namespace erase_result

// The daemon's last answer to an erase request (FlashMemT).
namespace erase_status {
inline constexpr int kAck = 0;
inline constexpr int kNak = 78;
inline constexpr int kOther = 65;    // any other byte
inline constexpr int kNone = -100;   // no byte in time
}  // namespace erase_status

// UploadRomFile and the uploads built like it.
namespace upload_result {
inline constexpr int kDone = 0;            // every record delivered has been written
inline constexpr int kNoDaemon = 1;        // the file was not opened
inline constexpr int kBlockRefused = -1;   // a frame stayed unacknowledged, or the file holds a rejected record
inline constexpr int kUnreadable = -151;   // the file cannot be opened
}  // namespace upload_result

// The link's memory primitives (WriteBlock, ReadMemory, RunAt).
namespace link_result {
inline constexpr int kOk = 0;
inline constexpr int kUnanswered = -1;  // five sends without an answer
}  // namespace link_result

// ---- The loader's own codes ----

// Any step that finds the link held by another thread: nothing was sent.
inline constexpr int kLinkBusy = -200;
// Reading, verifying and the smaller flash commands.
inline constexpr int kNoDaemon = -201;      // nothing was sent
inline constexpr int kBoardSilent = -202;   // a request stayed unanswered
inline constexpr int kBoardRefused = -203;  // the daemon reported failure
inline constexpr int kNotInFlash = -204;    // an address outside the flash
// What a ROM file holds, checked before anything is erased. A file that
// cannot be read is the upload's own "cannot be opened".
inline constexpr int kRomUnreadable = upload_result::kUnreadable;
inline constexpr int kRomBadRecord = -152;   // a data record is malformed
inline constexpr int kRomOutOfFlash = -153;  // data outside the flash
inline constexpr int kRomEmpty = -154;       // no data record at all
// Why the CRC verify fell back to reading everything back.
inline constexpr int kAppletStoreFailed = -110;  // the applet or its parameters were not acknowledged
inline constexpr int kAppletSilent = -111;       // no ACK to the call, or no or short replies
// Linked against a send_buffer the daemon map does not name, or the daemon
// running on the board is not the one this loader carries.
inline constexpr int kAppletOtherDaemon = -112;

namespace results_detail {
inline constexpr int kStepValues[] = {
    connect_result::kMonitor,      connect_result::kDaemonRunning,  connect_result::kNoAnswer,
    connect_result::kSilent,       download_result::kStarted,       download_result::kAlreadyRunning,
    download_result::kRunRefused,  download_result::kBadImage,      download_result::kStoreRefused,
    erase_result::kNoDaemon,       erase_result::kFailed,           erase_status::kNak,
    erase_status::kOther,          upload_result::kBlockRefused,    upload_result::kUnreadable,
};
inline constexpr int kOwnCodes[] = {
    kLinkBusy,     kNoDaemon,      kBoardSilent, kBoardRefused,      kNotInFlash,   kRomBadRecord,
    kRomOutOfFlash, kRomEmpty,     kAppletStoreFailed, kAppletSilent, kAppletOtherDaemon,
};
constexpr bool OwnCodesStandAlone() {
    for (std::size_t i = 0; i < std::size(kOwnCodes); ++i) {
        for (const int v : kStepValues)
            if (kOwnCodes[i] == v) return false;
        for (std::size_t j = i + 1; j < std::size(kOwnCodes); ++j)
            if (kOwnCodes[i] == kOwnCodes[j]) return false;
    }
    return true;
}
}  // namespace results_detail
static_assert(results_detail::OwnCodesStandAlone(), "a code of the loader's own repeats a step's result or another code");
