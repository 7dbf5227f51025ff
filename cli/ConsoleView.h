#pragma once
// The loading sequence's reports turned into the reporter's: status texts,
// progress in bytes for the upload, phase times. It also remembers how far
// the connect got, which tells a silent board from a failed daemon load.
#include "LoadSequence.h"
#include "Reporter.h"

class ConsoleView final : public SequenceViewT {
public:
    // romBytes and romLines: what the file the upload will send holds.
    ConsoleView(Reporter& reporter, unsigned long romBytes, unsigned long romLines)
        : reporter_(reporter), romBytes_(romBytes), romLines_(romLines > 0 ? romLines : 1) {}

    void SetStatus(const std::string& text) override;
    void SetLamp(LampT lamp) override;
    void ShowProgress(unsigned min, unsigned max) override;
    void HideProgress() override;
    void DisableStart() override { reporter_.Begin("bring-up"); }
    void EnableReset() override {}
    void DaemonReady() override {}
    void UploadSucceeded() override {}
    void StepTimed(const char* step, double seconds) override { reporter_.Phase(step, seconds); }
    void Reason(const std::string& text) override { reporter_.Error(text); }
    void StageReport(const FastStageResultT& r) override;
    void FirstLoaderReport(const FirstLoaderReportT& r) override;
    void SetProgress(int position) override;
    void FillProgress() override { SetProgress(maximum_); }
    void ToggleUploadLamp() override {}
    void EnableRestart() override {}

    bool Connected() const { return connected_; }
    bool Erased() const { return erased_; }

private:
    Reporter& reporter_;
    unsigned long romBytes_;
    unsigned long romLines_;
    int maximum_ = 1;
    bool uploading_ = false;
    bool connected_ = false;
    bool erased_ = false;
};
