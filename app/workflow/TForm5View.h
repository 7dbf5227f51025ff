#pragma once
// How the main window shows the loading sequence's reports.
#include <QProgressBar>
#include <algorithm>

#include "TForm5.h"

// The loading sequence's reports, each shown on the window's thread before
// the reporting thread goes on.
class TForm5::View final : public SequenceViewT {
public:
    explicit View(TForm5& form) : f_(form) {}

    void SetStatus(const std::string& text) override {
        f_.OnWindowThread([&] { f_.SetStatus(QString::fromStdString(text)); });
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
        f_.OnWindowThread([&] {
            f_.ProgressBar1->setValue(0);
            f_.ProgressBar1->hide();
        });
    }
    void DisableStart() override {
        f_.OnWindowThread([&] { f_.Button1->setEnabled(false); });
    }
    void EnableReset() override {
        f_.OnWindowThread([&] { f_.Button3->setEnabled(true); });
    }
    void DaemonReady() override {
        f_.OnWindowThread([&] { f_.Timer1->start(); });
    }
    void UploadSucceeded() override {
        f_.OnWindowThread([&] { f_.Button5->setEnabled(false); });
    }
    void SetProgress(int position) override {
        f_.OnWindowThread([&] {
            auto* bar = f_.ProgressBar1;
            bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
            bar->repaint();
        });
    }
    void FillProgress() override {
        f_.OnWindowThread([&] {
            f_.ProgressBar1->setValue(f_.ProgressBar1->maximum());
            f_.ProgressBar1->repaint();
        });
    }
    void ToggleUploadLamp() override {
        f_.OnWindowThread([&] { f_.ToggleUploadLamp(); });
    }
    void EnableRestart() override {
        f_.OnWindowThread([&] { f_.Button6->setEnabled(true); });
    }
    // Beside the status text, as a port's reason is.
    void Reason(const std::string& text) override {
        f_.OnWindowThread([&] { f_.Memo1->setToolTip(QString::fromStdString(text)); });
    }

private:
    TForm5& f_;
};

