#include "LoadSequence.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "DaemonDownload.h"
#include "FastStage.h"
#include "FastVerify.h"
#include "BoardMemory.h"
#include "FlashMemT.h"
#include "SectorErase.h"
#include "StatusTexts.h"
#include "Target.h"

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

std::string LoadingText(const std::string& path) {
    // The format's only conversion is %s; the path is shown whole.
    std::string text = status::kLoadingFormat;
    return text.replace(text.find("%s"), 2, path);
}

// The frames' 8-bit sum misses some double errors on a noisy line, so after
// the last frame the flash is compared with the file: by CRCs computed on
// the board, or by reading it back where the board cannot run that.
int CheckProgrammed(SequenceViewT& view, const RomFileT& rom) {
    const FastVerifyResultT f = FastVerifyRomText(rom.text, nullptr);
    const VerifyResultT& v = f.verify;
    if (v.result == 0 && v.differing == 0) return 0;
    char text[160];
    if (v.result == 0)
        std::snprintf(text, sizeof text, "the flash does not hold the file: %lu %s, the first at 0x%06X",
                      v.differing, v.differing == 1 ? "byte differs" : "bytes differ",
                      static_cast<unsigned>(v.firstAddress));
    else
        std::snprintf(text, sizeof text, "the flash could not be checked against the file (%d)", v.result);
    view.Reason(text);
    return -1;
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
    if (connected == 2) {
        view.SetStatus(status::kDaemonAlreadyRunning);
        view.SetLamp(LampT::Connection);
        return ConnectOutcomeT::DaemonAlreadyRunning;
    }
    if (connected != 1) {
        view.SetStatus(status::kConnectFailed);
        view.EnableReset();
        return ConnectOutcomeT::Failed;
    }
    view.SetStatus(status::kLoadingDaemon);
    view.SetLamp(LampT::Connection);
    view.ShowProgress(0, kDaemonProgressRange);
    // 0 and 1 (already running) both mean the daemon runs.
    const auto loaded = static_cast<unsigned>(Timed(view, "download", [&] { return DownloadDaemon(fast.monitorFirst); }));
    if (loaded < 2) {
        view.SetStatus(status::kDaemonRunning);
        view.SetLamp(LampT::Daemon);
        view.DaemonReady();
        return ConnectOutcomeT::DaemonStarted;
    }
    view.SetStatus(status::kDaemonLoadFailed);
    view.EnableReset();
    return ConnectOutcomeT::Failed;
}

bool RunEraseStep(SequenceViewT& view, const FastOptionsT& fast, const RomFileT* rom) {
    view.SetStatus(status::kErasing);
    view.HideProgress();
    const bool sectors = fast.sectorErase && rom != nullptr;
    const int erased =
        Timed(view, "erase", [&] { return sectors ? EraseTouchedSectors(rom->text) : EraseFlash(); });
    if (erased == 0) {
        view.SetStatus(status::kErased);
        view.SetLamp(LampT::Erased);
        return true;
    }
    view.SetStatus(erased == -100 ? status::kEraseNoDaemon : status::kEraseFailed);
    if (sectors && !SerialNumberRescueFile().empty())
        view.Reason("the serial-number area is not back in the flash; a copy is in " + SerialNumberRescueFile());
    view.EnableReset();
    return false;
}

bool CheckBeforeErase(SequenceViewT& view, const RomFileT& rom) {
    if (!daemonRunning || (rom.result == 0 && CheckRomText(rom.text).result == 0)) return true;
    view.SetStatus(status::kLoadFailed);
    view.EnableReset();
    return false;
}

namespace {

// Through the fast stage; 0 or -1 as the uploads, with the reason told.
int UploadThroughStageText(SequenceViewT& view, const std::string& text, const FastOptionsT& fast) {
    std::vector<std::int16_t> image;
    if (FlashImageOfText(text, image) != 0) return -1;
    FastStageOptionsT o;
    o.baud = fast.stageBaud;
    o.compress = fast.compress;
    const FastStageResultT r = UploadThroughStage(image, o);
    view.StageReport(r);
    if (r.result == 0) return 0;
    char reason[160];
    std::snprintf(reason, sizeof reason, "the fast stage failed (%d, board error %u at 0x%06X)", r.result,
                  static_cast<unsigned>(r.boardError), static_cast<unsigned>(r.errorAddress));
    view.Reason(reason);
    return -1;
}

UploadOutcomeT UploadWith(SequenceViewT& view, const std::string& path, const RomFileT& rom,
                          const FastOptionsT* fast) {
    view.ShowProgress(0, static_cast<unsigned>(CountLinesText(rom.text)) & 0xFFFFu);
    view.SetStatus(LoadingText(path));
    int uploaded = Timed(view, "upload", [&] {
        if (fast != nullptr && fast->stage) return UploadThroughStageText(view, rom.text, *fast);
        return fast != nullptr ? UploadRomTextFast(rom.text, *fast) : UploadRomText(rom.text, 0);
    });
    if (uploaded == 0) uploaded = Timed(view, "check", [&] { return CheckProgrammed(view, rom); });
    if (uploaded == 0) {
        view.SetStatus(status::kLoadCompleted);
        view.SetLamp(LampT::Uploading);
        view.SetLamp(LampT::Completed);
        view.UploadSucceeded();
        return UploadOutcomeT::Completed;
    }
    if (uploaded == 1) {
        view.SetStatus(status::kLoadNoDaemon);
        return UploadOutcomeT::NoDaemon;
    }
    view.SetStatus(status::kLoadFailed);
    view.EnableReset();
    return UploadOutcomeT::Failed;
}

}  // namespace

UploadOutcomeT RunUploadStep(SequenceViewT& view, const std::string& path, const RomFileT& rom) {
    return UploadWith(view, path, rom, nullptr);
}

UploadOutcomeT RunUploadSequence(SequenceViewT& view, const std::string& path, const RomFileT& rom,
                                 const FastOptionsT& fast) {
    LinkUseT use;
    if (!use.Held()) {
        view.SetStatus(status::kBusy);
        return UploadOutcomeT::Busy;
    }
    if (!CheckBeforeErase(view, rom) || !RunEraseStep(view, fast, &rom)) return UploadOutcomeT::Failed;
    // The fast upload counts on the erase just done (blank blocks); the
    // default one is today's, byte for byte.
    return UploadWith(view, path, rom, fast.Any() ? &fast : nullptr);
}
