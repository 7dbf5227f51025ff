#pragma once
// The loading sequence as the operator follows it: each step's result turned
// into the status text, the lamps and the buttons. Written once here so that
// the window and the command-line tool cannot drift apart; each front end
// only says how a report is shown. The view is the one way reports reach a
// front end: the steps report their progress to it as well.
#include <string>

#include "FastOptions.h"
#include "FastStage.h"
#include "FirstLoader.h"
#include "Progress.h"
#include "RomImage.h"
#include "RomUpload.h"

// The six lamps, in the order of their states.
enum class LampT { Connection, Daemon, RomFile, Erased, Uploading, Completed };
inline constexpr int kLampCount = 6;

// A report reaches the front end in the order made and is shown before the
// sequence goes on. Calls come from the thread that runs the step.
class SequenceViewT : public ProgressT {
public:
    // Replaces the one-line status text.
    virtual void SetStatus(const std::string& text) = 0;
    // Turns a lamp's state on and paints the lamps.
    virtual void SetLamp(LampT lamp) = 0;
    // Prepares the progress bar for a step of max steps (both cut to 16
    // bits) and advances it one step from where it stands.
    virtual void ShowProgress(unsigned min, unsigned max) = 0;
    // Position 0 and out of sight, while the erase runs.
    virtual void HideProgress() = 0;
    virtual void DisableStart() = 0;
    virtual void EnableReset() = 0;
    // The daemon runs at the end of a connect sequence: time to upload.
    virtual void DaemonReady() = 0;
    // The flash holds the file: "ROM File" has nothing left to do.
    virtual void UploadSucceeded() = 0;
    // How long a step took ("bring-up", "download", "erase", "upload",
    // "check").
    virtual void StepTimed(const char* /*step*/, double /*seconds*/) {}
    // Why a step failed, in more words than the status text has room for.
    virtual void Reason(const std::string& /*text*/) {}
    // How an upload through the fast stage went (speed, bytes on the line).
    virtual void StageReport(const FastStageResultT& /*result*/) {}
    // How the daemon download through the first-step loader went, once it
    // was tried.
    virtual void FirstLoaderReport(const FirstLoaderReportT& /*report*/) {}
};

enum class ConnectOutcomeT {
    DaemonStarted,         // bring-up and daemon download succeeded
    DaemonAlreadyRunning,  // bring-up found the daemon at 38400 baud
    Failed,                // the status text says which step failed
    Busy,                  // another step holds the link; nothing changed
};

// Bring-up, then the daemon download; fast's speed-ups (none by default)
// change neither the reports nor what the outcomes mean.
ConnectOutcomeT RunConnectSequence(SequenceViewT& view, const FastOptionsT& fast = {});

// The erase with its reports; true when the flash is erased. With
// fast.sectorErase and a file, only the sectors the file touches.
bool RunEraseStep(SequenceViewT& view, const FastOptionsT& fast = {}, const RomImageT* rom = nullptr);

enum class UploadOutcomeT {
    Completed,     // the flash holds every record of the file
    NoDaemon,      // no daemon runs; nothing was erased or written
    Failed,        // the status text says which step failed
    Busy,          // another step holds the link; nothing changed
    Refused,       // the file was refused before the erase; nothing changed
};

// With a daemon running, refuses a file that is unreadable, holds a bad
// record, data outside the flash, records that disagree or no data, or
// would program over the board's serial number (SerialAreaConflict; not
// with serialNumberOnPurpose), before anything is erased: the board is never
// left blank for nothing. Without a daemon the erase says so.
bool CheckBeforeErase(SequenceViewT& view, const RomImageT& rom, bool serialNumberOnPurpose = false);

// Programs the file into the erased flash, path being how it is named, then
// checks that the flash holds every byte of it before saying so.
UploadOutcomeT RunUploadStep(SequenceViewT& view, const std::string& path, const RomImageT& rom);

// The whole of it, holding the link throughout: the check, the erase and
// the upload, with fast's speed-ups.
UploadOutcomeT RunUploadSequence(SequenceViewT& view, const std::string& path, const RomImageT& rom,
                                 const FastOptionsT& fast = {}, bool serialNumberOnPurpose = false);
