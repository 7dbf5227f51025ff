#pragma once
// The daemon download through the first-step loader (daemon/first_loader.h):
// the boot monitor stores and starts the small loader at 9600, the loader
// takes the line to 38,400 and the daemon's image there, then starts the
// daemon, which goes on at 38,400. Whatever fails on the way (the loader
// silent at the new speed, a store it does not take, a daemon that does not
// answer after the start), a break puts the board back in the boot monitor
// at 9600 and the daemon is downloaded the ordinary way.
#include "Progress.h"

struct FirstLoaderReportT {
    bool tried = false;     // the loader was stored (or its store tried)
    bool fellBack = false;  // the ordinary download took over
    int stepFailed = 0;     // which step failed first (the constants below), 0 when none did
};

inline constexpr int kFirstLoaderStore = 1;    // the monitor did not take the loader
inline constexpr int kFirstLoaderRun = 2;      // the monitor did not acknowledge the run request
inline constexpr int kFirstLoaderSpeed = 3;    // no answer at 38,400
inline constexpr int kFirstLoaderImage = 4;    // a store frame of the image was not taken
inline constexpr int kFirstLoaderStart = 5;    // the daemon did not answer after its start

// Why the ordinary download took over, for one of the steps above.
const char* FirstLoaderFailureText(int step);

// download_result, as DownloadDaemon: kStarted means the daemon runs and
// both ends are at 38400, by either way. quickSwitch as DownloadDaemon's,
// for the ordinary download after a fall-back.
int DownloadDaemonFirstLoader(ProgressT& progress, bool quickSwitch = false, FirstLoaderReportT* report = nullptr);
// The same with another daemon image text.
int DownloadDaemonImageFirstLoader(const char* image, ProgressT& progress, bool quickSwitch = false,
                                   FirstLoaderReportT* report = nullptr);
