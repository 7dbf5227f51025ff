#pragma once
// What the loading steps report while they run: the daemon download and the
// uploads take one and report through it. The window and the command-line
// tool implement it (their SequenceViewT is one); tests record it. Calls
// come from the thread that runs the step.
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

// Reports that go nowhere, for a caller that shows none.
class NoProgressT final : public ProgressT {
public:
    void SetProgress(int) override {}
    void FillProgress() override {}
    void ToggleUploadLamp() override {}
    void EnableRestart() override {}
};
