#include "ConsoleView.h"

#include <cstdio>
#include <string>

#include "Target.h"

void ConsoleView::SetStatus(const std::string& text) { reporter_.Status(text); }

void ConsoleView::SetLamp(LampT lamp) {
    if (lamp == LampT::Connection) connected_ = true;
    if (lamp == LampT::Erased) erased_ = true;
}

void ConsoleView::ShowProgress(unsigned, unsigned max) {
    // The daemon download counts records; the upload counts the file's
    // lines (the window's range is cut to 16 bits; ours is not), shown as
    // the share of its bytes.
    uploading_ = daemonRunning;
    maximum_ = uploading_ ? static_cast<int>(romLines_) : (max > 0 ? static_cast<int>(max) : 1);
    if (uploading_) reporter_.StartProgress("upload", romBytes_, true);
    else reporter_.StartProgress("download", static_cast<unsigned long>(maximum_), false);
}

void ConsoleView::HideProgress() { reporter_.Begin("erase"); }

void ConsoleView::SetProgress(int position) {
    const auto p = static_cast<unsigned long>(std::max(0, std::min(position, maximum_)));
    if (uploading_) reporter_.Progress(p * romBytes_ / static_cast<unsigned long>(maximum_));
    else reporter_.Progress(p);
}

void ConsoleView::FirstLoaderReport(const FirstLoaderReportT& r) {
    if (!r.fellBack) {
        reporter_.Verbose("First-step loader: the daemon stored at 38400 baud");
        return;
    }
    reporter_.Info(std::string("First-step loader: ") + FirstLoaderFailureText(r.stepFailed) +
                   "; the daemon goes through the boot monitor at 9600 baud");
}

void ConsoleView::StageReport(const FastStageResultT& r) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Fast stage: %u baud%s; %llu bytes on the line for %llu of the file (%.2f), %u frame(s) sent again",
                  static_cast<unsigned>(r.baud), r.fellBack ? " (57600 not reached)" : "",
                  static_cast<unsigned long long>(r.lineBytes), static_cast<unsigned long long>(r.fileBytes),
                  r.fileBytes ? static_cast<double>(r.lineBytes) / static_cast<double>(r.fileBytes) : 0.0, r.resends);
    std::string line = text;
    if (r.blankSectors > 0)
        line += "; " + std::to_string(r.blankSectors) + " of " + std::to_string(r.erases) +
                " sector(s) already blank, not erased";
    reporter_.Info(line);
}
