#pragma once
// How the main window shows the loading sequence's reports: each one runs on
// the window's thread and is painted before the reporting thread goes on.
#include <algorithm>

#include "TForm5.h"

class TForm5::View final : public SequenceViewT {
public:
    explicit View(TForm5& form) : f_(form) {}

    void SetStatus(const std::string& text) override {
        f_.OnWindowThread([&] { f_.SetStatus(text); });
    }
    void SetLamp(LampT lamp) override {
        f_.OnWindowThread([&] {
            f_.Lamps[static_cast<std::size_t>(lamp)] = true;
            f_.RefreshLamps();
        });
    }
    void ShowProgress(unsigned min, unsigned max) override {
        f_.OnWindowThread(
            [&] { f_.ShowProgress(static_cast<std::uint16_t>(min), static_cast<std::uint16_t>(max)); });
    }
    void HideProgress() override {
        // ProgressShown stays as it was: the bar comes back with the upload.
        f_.OnWindowThread([&] { f_.surface_.HideProgress(true); });
    }
    void DisableStart() override {
        f_.OnWindowThread([&] { f_.EnableButton(ButtonT::Start, false); });
    }
    void EnableReset() override {
        f_.OnWindowThread([&] { f_.EnableButton(ButtonT::Reset, true); });
    }
    void DaemonReady() override {
        f_.OnWindowThread([&] {
            f_.timerArmed_ = true;
            f_.surface_.StartTimer1(1000);
        });
    }
    void UploadSucceeded() override {
        f_.OnWindowThread([&] { f_.EnableButton(ButtonT::RomFile, false); });
    }
    void SetProgress(int position) override {
        f_.OnWindowThread([&] { f_.surface_.MoveProgress(position); });
    }
    void FillProgress() override {
        f_.OnWindowThread([&] { f_.surface_.FillProgress(); });
    }
    void ToggleUploadLamp() override {
        f_.OnWindowThread([&] { f_.ToggleUploadLamp(); });
    }
    void EnableRestart() override {
        f_.OnWindowThread([&] { f_.EnableButton(ButtonT::Restart, true); });
    }
    // Beside the status text it explains.
    void Reason(const std::string& text) override {
        f_.OnWindowThread([&] { f_.SetStatus(f_.status_, text); });
    }

private:
    TForm5& f_;
};
