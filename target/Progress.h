#pragma once
// What the loading steps report while they run. The window and the
// command-line tool implement it; tests record it. Calls come from the
// worker thread that runs the step.
class ProgressT {
public:
    ProgressT() = default;
    ProgressT(const ProgressT&) = delete;
    ProgressT& operator=(const ProgressT&) = delete;
    virtual ~ProgressT() = default;

    // Moves the bar to position (within the range set before the step).
    virtual void SetProgress(int position) = 0;
    // Moves the bar to its end.
    virtual void FillProgress() = 0;
    // Blinks the upload lamp once.
    virtual void ToggleUploadLamp() = 0;
    // Offers the restart of the board's code.
    virtual void EnableRestart() = 0;
};

// The process-wide receiver of progress; reports go nowhere until one is set.
void SetProgressSink(ProgressT* sink);
ProgressT& Progress();
