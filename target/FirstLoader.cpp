#include "FirstLoader.h"

#include <span>

#include "CommPort.h"
#include "DaemonDownload.h"
#include "DaemonImage.h"
#include "TargetState.h"
#include "TimerT.h"
#include "first_loader.h"

namespace {

// Long enough for the DUART at either speed to see a break (a character
// time of zeros is about 1 ms at 9600).
constexpr std::int16_t kBreakMs = 50;

// The daemon answers a version request with a data frame; the loader and
// the monitor leave it unanswered. One send: what is asked is whether the
// daemon runs, not whether a noisy line can be ridden out.
bool DaemonAnswers(VesperilIO& link) {
    auto& frame = link.Frame();
    for (int attempt = 0; attempt < 2; ++attempt) {
        link.PurgeInput();
        SleepMs(10);
        frame[VesperilIO::kCmdAt] = VesperilIO::kCmdSendVersion;
        frame[VesperilIO::kLenAt] = 0;
        if (link.SendFrame() == 0) return false;
        if (link.ReceiveFrame(frame, VesperilIO::kReplyData, 1) == 0) return true;
    }
    return false;
}

// Through the loader; 0 when the daemon runs at 38,400, else the step that
// failed (kFirstLoader...).
int TryFirstLoader(VesperilIO& link, const char* image, ProgressT& progress) {
    if (link.WriteMemory(FIRST_LOADER_BASE, std::span(firstLoader, firstLoaderSize), 8) != 0) return kFirstLoaderStore;
    if (link.RunAt(FIRST_LOADER_BASE) != 0) return kFirstLoaderRun;
    // The loader answers the speed request as the daemon does: ACK at 9600,
    // then the switch once the ACK has left.
    link.SetTargetSpeed(38400);
    if (!link.SpeedChangeAcknowledged() || !SwitchOnAcknowledgement(link)) return kFirstLoaderSpeed;
    // The loader answers a store only once it listens again, so the next
    // frame needs no pause before its first send; resends keep theirs.
    std::uint32_t entry = 0;
    link.SetIdlePause(false);
    const int stored = StoreImage(link, image, progress, entry);
    link.SetIdlePause(true);
    if (stored != 0) return kFirstLoaderImage;
    ++daemonSession;
    // A run request whose ACK was lost may still have started the daemon;
    // the version request tells.
    link.RunAt(entry);
    if (!DaemonAnswers(link)) return kFirstLoaderStart;
    return 0;
}

}  // namespace

int DownloadDaemonImageFirstLoader(const char* image, ProgressT& progress, bool quickSwitch,
                                   FirstLoaderReportT* report) {
    namespace r = download_result;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (daemonRunning) return r::kAlreadyRunning;
    if (!TargetLink) return r::kStoreRefused;
    VesperilIO& link = *TargetLink;

    const int failed = TryFirstLoader(link, image, progress);
    if (report != nullptr) *report = FirstLoaderReportT{true, failed != 0, failed};
    if (failed == 0) {
        daemonRunning = true;
        return r::kStarted;
    }
    if (CommLineFailed() != 0) return r::kStoreRefused;
    // Whatever listens (monitor, loader, a daemon started by a lost run
    // request's ACK) goes back to 9600 on a break; the loader returns to the
    // monitor, and a daemon takes the monitor's 0x81 and 0x82 as they are.
    CommBreak(kBreakMs);
    link.SetHostSpeed(9600);
    SleepMs(20);
    link.PurgeInput();
    return DownloadDaemonImage(image, progress, quickSwitch);
}

const char* FirstLoaderFailureText(int step) {
    switch (step) {
        case kFirstLoaderStore: return "the boot monitor did not take the loader";
        case kFirstLoaderRun: return "the boot monitor did not start the loader";
        case kFirstLoaderSpeed: return "the loader did not answer at 38400 baud";
        case kFirstLoaderImage: return "the loader did not take a store frame of the daemon";
        case kFirstLoaderStart: return "the daemon did not answer after the loader started it";
        default: return "the loader failed";
    }
}

int DownloadDaemonFirstLoader(ProgressT& progress, bool quickSwitch, FirstLoaderReportT* report) {
    return DownloadDaemonImageFirstLoader(daemonImage, progress, quickSwitch, report);
}
