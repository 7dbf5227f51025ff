#include "LoadSequence.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "BringUp.h"
#include "CommPort.h"
#include "DaemonDownload.h"
#include "FastStage.h"
#include "FastVerify.h"
#include "BoardMemory.h"
#include "FlashMap.h"
#include "FlashMemT.h"
#include "SectorErase.h"
#include "SerialAreaGuard.h"
#include "StatusTexts.h"
#include "TargetState.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs one step and tells the view how long it took.
template <typename Step>
int Timed(SequenceViewT& view, const char* name, Step step) {
    const auto start = Clock::now();
    const int result = step();
    view.StepTimed(name, std::chrono::duration<double>(Clock::now() - start).count());
    return result;
}

// Why a step failed: the port's own failure (a hang-up, a vanished
// device) when it has one, which says more than any guess about the board,
// else the guess; then what became of the flash.
std::string WhyFailed(const char* guess, const char* flash) {
    const std::string line = CommLineError();
    return (line.empty() ? std::string(guess) : line) + "; " + flash;
}

// What the daemon said about the erase that failed.
std::string EraseFailureText() {
    if (!TargetFlash) return "the daemon did not report the erase done";
    if (TargetFlash->LastStatus() == erase_status::kNone) {
        switch (TargetFlash->LastSilence()) {
            case FlashMemT::SilenceT::StoppedAnswering: return "the board stopped answering while it erased";
            case FlashMemT::SilenceT::NoAnswer: return "the board did not answer the erase request";
            case FlashMemT::SilenceT::NotTaken: return "the daemon answers but did not take the erase request";
            case FlashMemT::SilenceT::Timeout: break;
        }
        return "the daemon did not report the erase done";
    }
    if (TargetFlash->LastStatus() != erase_status::kNak) return "the daemon answered the erase with an unknown byte";
    if (TargetFlash->LastSector() == 0) return "the daemon reported that the chip did not erase";
    char text[96];
    std::snprintf(text, sizeof text, "the daemon reported that the sector at 0x%06X did not erase",
                  static_cast<unsigned>(TargetFlash->LastSector()));
    return text;
}

// A frame the upload could not get taken.
std::string UploadFailureText() {
    if (!TargetLink || !TargetLink->FailedRefused()) return "the board stopped taking the file before its end";
    char text[128];
    std::snprintf(text, sizeof text, "the flash would not program 0x%06X to 0x%06X (refused at every send)",
                  static_cast<unsigned>(TargetLink->FailedFrom()), static_cast<unsigned>(TargetLink->FailedTo() - 1));
    return text;
}

std::string LoadingText(const std::string& path) {
    // The format's only conversion is %s; the path is shown whole.
    std::string text = status::kLoadingFormat;
    return text.replace(text.find("%s"), 2, path);
}

// The frames' 8-bit sum misses some double errors on a noisy line, so after
// the last frame the flash is compared with the file: by CRCs computed on
// the board, or by reading it back where the board cannot run that. True
// when the flash holds the file; otherwise reason says why not.
bool CheckProgrammed(const RomImageT& rom, std::string& reason) {
    const FastVerifyResultT f = FastVerifyRom(rom, nullptr);
    const VerifyResultT& v = f.verify;
    if (v.result == 0 && v.differing == 0) return true;
    char text[160];
    if (v.result == 0) {
        std::snprintf(text, sizeof text, "the flash does not hold the file: %lu %s, the first at 0x%06X",
                      v.differing, v.differing == 1 ? "byte differs" : "bytes differ",
                      static_cast<unsigned>(v.firstAddress));
        reason = text;
        return false;
    }
    if (v.result == kBoardSilent || v.result == kNoDaemon)
        std::snprintf(text, sizeof text, "the board stopped answering while the flash was checked against the file");
    else
        std::snprintf(text, sizeof text, "the flash could not be checked against the file (%d)", v.result);
    reason = WhyFailed(text, "the flash is programmed but not known to hold the file");
    return false;
}

}  // namespace

ConnectOutcomeT RunConnectSequence(SequenceViewT& view, const FastOptionsT& fast) {
    LinkUseT use;
    if (!use.Held()) {
        view.SetStatus(status::kBusy);
        return ConnectOutcomeT::Busy;
    }
    view.SetStatus(status::kConnecting);
    view.DisableStart();
    // Compared as a 16-bit value, as the result has always been.
    const auto connected = static_cast<std::int16_t>(Timed(view, "bring-up", [&] { return Connect(fast); }));
    if (connected == connect_result::kDaemonRunning) {
        view.SetStatus(status::kDaemonAlreadyRunning);
        view.SetLamp(LampT::Connection);
        return ConnectOutcomeT::DaemonAlreadyRunning;
    }
    if (connected != connect_result::kMonitor) {
        view.SetStatus(status::kConnectFailed);
        if (connected == kRegisterWriteFailed) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "the boot monitor stopped answering while the memory interface was set up (register 0x%06X)",
                          static_cast<unsigned>(BringUpFailedRegister()));
            view.Reason(WhyFailed(text, "the flash was not touched"));
        } else if (connected != kLinkBusy) {
            view.Reason(WhyFailed("the board answered neither at 9600 nor at 38400 baud", "the flash was not touched"));
        }
        view.EnableReset();
        return ConnectOutcomeT::Failed;
    }
    view.SetStatus(status::kLoadingDaemon);
    view.SetLamp(LampT::Connection);
    view.ShowProgress(0, kDaemonProgressRange);
    FirstLoaderReportT firstLoader;
    const int loaded = Timed(view, "download", [&] {
        return fast.firstLoader ? DownloadDaemonFirstLoader(view, fast.monitorFirst, &firstLoader)
                                : DownloadDaemon(view, fast.monitorFirst);
    });
    if (firstLoader.tried) view.FirstLoaderReport(firstLoader);
    if (loaded == download_result::kStarted || loaded == download_result::kAlreadyRunning) {
        view.SetStatus(status::kDaemonRunning);
        view.SetLamp(LampT::Daemon);
        view.DaemonReady();
        return ConnectOutcomeT::DaemonStarted;
    }
    view.SetStatus(status::kDaemonLoadFailed);
    view.Reason(WhyFailed("the daemon could not be stored in the board's RAM and started", "the flash was not touched"));
    view.EnableReset();
    return ConnectOutcomeT::Failed;
}

bool RunEraseStep(SequenceViewT& view, const FastOptionsT& fast, const RomImageT* rom) {
    view.SetStatus(status::kErasing);
    view.HideProgress();
    // A file that touches every sector is erased faster by the chip erase
    // (11 s typical against 11 sectors of 1 s and the serial-number area's
    // rescue), which keeps that area the same way.
    constexpr std::uint32_t kEverySector = (1u << kFlashSectors.size()) - 1u;
    const bool sectors = fast.sectorErase && rom != nullptr && (rom->sectors & kEverySector) != kEverySector;
    const int erased =
        Timed(view, "erase", [&] { return sectors ? EraseTouchedSectors(*rom) : EraseFlash(); });
    if (erased == erase_result::kErased) {
        view.SetStatus(status::kErased);
        view.SetLamp(LampT::Erased);
        return true;
    }
    view.SetStatus(erased == erase_result::kNoDaemon ? status::kEraseNoDaemon : status::kEraseFailed);
    if (sectors && !SerialNumberRescueFile().empty())
        view.Reason("the serial-number area is not back in the flash; a copy is in " + SerialNumberRescueFile());
    else if (erased != erase_result::kNoDaemon)
        view.Reason(WhyFailed(EraseFailureText().c_str(), "the flash may be partly erased"));
    view.EnableReset();
    return false;
}

bool CheckBeforeErase(SequenceViewT& view, const RomImageT& rom, bool serialNumberOnPurpose) {
    if (!daemonRunning) return true;
    std::string why;
    if (rom.result != 0) why = RomCheckText(rom);
    else if (!serialNumberOnPurpose) why = SerialAreaConflict(rom);
    if (why.empty()) return true;
    view.SetStatus(status::kLoadFailed);
    view.Reason(WhyFailed(why.c_str(), "nothing was erased"));
    view.EnableReset();
    return false;
}

namespace {

// The stage never answered: nothing was erased or programmed.
constexpr int kStageNotStarted = -1000;
// The stage programmed the file and the board's own check of the flash
// agreed with it: there is nothing left to check.
constexpr int kStageChecked = -1001;

// Why the stage's run failed, and what became of the flash.
std::string StageFailureText(const FastStageResultT& r) {
    char text[256];
    if (r.result == kStageEraseFailed && r.boardError == STAGE_ERR_ERASE) {
        std::snprintf(text, sizeof text, "the board reported that the sector at 0x%06X did not erase",
                      static_cast<unsigned>(r.errorAddress));
        if (!r.serialRescue.empty())
            return std::string(text) + "; the flash may be partly erased; the serial-number area is kept in " +
                   r.serialRescue;
        return std::string(text) + "; the flash may be partly erased";
    }
    if (r.result == kStageEraseFailed) {
        std::snprintf(text, sizeof text,
                      "the serial-number area did not program back after its sector's erase (at 0x%06X)",
                      static_cast<unsigned>(r.errorAddress));
        return std::string(text) + (r.serialRescue.empty() ? "; its copy could not be saved"
                                                           : "; a copy is in " + r.serialRescue);
    }
    const auto at = static_cast<unsigned>(r.errorAddress);
    const char* flash = "; the flash is erased and only partly programmed";
    switch (r.result) {
        case kStageStoreFailed:
            return std::string("the board did not take the fast stage") + flash;
        case kStageSilent:
            return std::string("the fast stage stopped answering") + flash;
        case kStageCheckFailed:
            if (r.boardError == STAGE_ERR_BLANK) {
                std::snprintf(text, sizeof text, "the flash does not hold the file: the word at 0x%06X is not blank", at);
                return text;
            }
            return "the flash does not hold the file: the board's CRC of it is not the file's";
        case kStageProgramFailed:
            break;
        default:
            std::snprintf(text, sizeof text, "the fast stage failed (result %d)", r.result);
            return text + std::string(flash);
    }
    if (r.boardError == STAGE_ERR_PROGRAM)
        std::snprintf(text, sizeof text, "the flash would not program the word at 0x%06X", at);
    else if (r.boardError == STAGE_ERR_ADDRESS)
        std::snprintf(text, sizeof text, "the board refused a frame for 0x%06X (outside the flash, odd or too long)", at);
    else if (r.boardError == STAGE_ERR_CHUNK)
        std::snprintf(text, sizeof text, "a compressed chunk for 0x%06X did not inflate to its length", at);
    else
        std::snprintf(text, sizeof text, "the board reported error %u at 0x%06X", static_cast<unsigned>(r.boardError), at);
    return text + std::string(flash);
}

// Through the fast stage, which erases too: kDone, kStageNotStarted, or
// kBlockRefused with why in reason.
int UploadThroughStageImage(SequenceViewT& view, const RomImageT& rom, const FastOptionsT& fast, std::string& reason) {
    std::vector<std::int16_t> image(kFlashEnd - kFlashBase, -1);
    for (const RomRecordT& record : rom.records) {
        const auto data = rom.Data(record);
        for (std::size_t i = 0; i < data.size(); ++i) {
            const std::uint32_t at = record.address + static_cast<std::uint32_t>(i);
            if (at >= kFlashBase && at < kFlashEnd) image[at - kFlashBase] = data[i];
        }
    }
    FastStageOptionsT o;
    o.baud = fast.stageBaud;
    o.compress = fast.compress;
    // The sectors the erase step would have erased; the chip erase's set is
    // every sector, the serial-number area kept the same way.
    constexpr std::uint32_t kEverySector = (1u << kFlashSectors.size()) - 1u;
    o.eraseSectors = fast.sectorErase ? rom.sectors & kEverySector : kEverySector;
    // The bar in the file's lines, as the other uploads move it; the lamp
    // blinks at every frame answered.
    const std::uint64_t lines = rom.lines > 0 ? rom.lines : 1;
    const FastStageResultT r = UploadThroughStage(image, o, [&](std::uint64_t done, std::uint64_t total) {
        view.SetProgress(static_cast<int>(total > 0 ? done * lines / total : 0));
        view.ToggleUploadLamp();
    });
    view.StageReport(r);
    if (!r.started) return kStageNotStarted;
    // Erased inside the stream: a failure after that is the upload's.
    if (r.result != kStageEraseFailed) view.SetLamp(LampT::Erased);
    if (r.result == 0 && !rom.rejected) return kStageChecked;
    if (r.result == kStageCheckFailed && !CheckProgrammed(rom, reason)) return upload_result::kBlockRefused;
    reason = StageFailureText(r);
    return upload_result::kBlockRefused;
}

// notStarted: set (and nothing done) when the fast stage did not start.
UploadOutcomeT UploadWith(SequenceViewT& view, const std::string& path, const RomImageT& rom,
                          const FastOptionsT* fast, bool* notStarted = nullptr) {
    view.ShowProgress(0, static_cast<unsigned>(rom.lines) & 0xFFFFu);
    view.SetStatus(LoadingText(path));
    // Why it failed, said after the status text it explains. A flash that
    // does not hold the file is a load error, as a refused block is.
    std::string reason;
    int uploaded = Timed(view, "upload", [&] {
        if (fast != nullptr && fast->stage) return UploadThroughStageImage(view, rom, *fast, reason);
        return fast != nullptr ? UploadRomImageFast(rom, *fast, view) : UploadRomImage(rom, 0, view);
    });
    if (uploaded == kStageNotStarted && notStarted != nullptr) {
        *notStarted = true;
        return UploadOutcomeT::Failed;
    }
    const bool checked = uploaded == kStageChecked;
    if (checked) uploaded = upload_result::kDone;
    if (uploaded != upload_result::kDone && reason.empty())
        reason = WhyFailed(UploadFailureText().c_str(), "the flash is erased and only partly programmed");
    if (uploaded == upload_result::kDone && !checked)
        uploaded = Timed(view, "check", [&] {
            return CheckProgrammed(rom, reason) ? upload_result::kDone : upload_result::kBlockRefused;
        });
    if (uploaded == upload_result::kDone) {
        view.SetStatus(status::kLoadCompleted);
        view.SetLamp(LampT::Uploading);
        view.SetLamp(LampT::Completed);
        view.UploadSucceeded();
        return UploadOutcomeT::Completed;
    }
    if (uploaded == upload_result::kNoDaemon) {
        view.SetStatus(status::kLoadNoDaemon);
        return UploadOutcomeT::NoDaemon;
    }
    view.SetStatus(status::kLoadFailed);
    view.Reason(reason);
    view.EnableReset();
    return UploadOutcomeT::Failed;
}

}  // namespace

UploadOutcomeT RunUploadStep(SequenceViewT& view, const std::string& path, const RomImageT& rom) {
    return UploadWith(view, path, rom, nullptr);
}

UploadOutcomeT RunUploadSequence(SequenceViewT& view, const std::string& path, const RomImageT& rom,
                                 const FastOptionsT& fast, bool serialNumberOnPurpose) {
    LinkUseT use;
    if (!use.Held()) {
        view.SetStatus(status::kBusy);
        return UploadOutcomeT::Busy;
    }
    if (!CheckBeforeErase(view, rom, serialNumberOnPurpose))
        return CommLineFailed() != 0 ? UploadOutcomeT::Failed : UploadOutcomeT::Refused;
    FastOptionsT daemonOnly = fast;
    if (fast.stage) {
        // The stage erases inside its stream. One that never answered has
        // erased nothing: the daemon erases and programs, as without it.
        bool notStarted = false;
        const UploadOutcomeT staged = UploadWith(view, path, rom, &fast, &notStarted);
        if (!notStarted) return staged;
        daemonOnly.stage = false;
    }
    if (!RunEraseStep(view, daemonOnly, &rom)) return UploadOutcomeT::Failed;
    // The fast upload counts on the erase just done (blank blocks); the
    // default one is today's, byte for byte.
    return UploadWith(view, path, rom, daemonOnly.Any() ? &daemonOnly : nullptr);
}
