#pragma once
// The main window's workflow: the lamps, the status text, the attempt
// counter, the one-shot timer and the two workers that run the long steps.
// Written once, toolkit-free; a toolkit paints it through WindowSurfaceT and
// calls the handlers below when the operator clicks.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "LoadSequence.h"
#include "WindowSurfaceT.h"

// The full path of the chosen ROM file; empty until one is chosen.
extern std::string RomFileName;

// A worker thread as the window keeps it: the thread itself runs detached,
// so that "Exit" never waits for it.
struct WorkerT {
    std::atomic<bool> running{true};
};
extern std::shared_ptr<WorkerT> UploadThread;
extern std::shared_ptr<WorkerT> ConnectThread;
// The blinking upload lamp's phase; lives for the whole process.
extern bool UploadLampToggle;

class TForm5 {
public:
    explicit TForm5(WindowSurfaceT& surface);
    // Runs the steps of "Exit" once more, as the window's destruction does.
    ~TForm5();
    TForm5(const TForm5&) = delete;
    TForm5& operator=(const TForm5&) = delete;

    // Lamp states, by LampT.
    std::array<bool, kLampCount> Lamps{};
    bool& ConnectionLamp = Lamps[0];
    bool& DaemonLamp = Lamps[1];
    bool& RomFileLamp = Lamps[2];
    bool& ErasedLamp = Lamps[3];
    bool& UploadingLamp = Lamps[4];
    bool& CompletedLamp = Lamps[5];
    std::int16_t Attempts = 0;
    bool ProgressShown = false;
    bool AutoStarted = false;

    // Handlers, on the window's thread.
    void Button1Click();  // Start
    void Button2Click();  // Connect
    void Button3Click();  // Reset
    void Button4Click();  // Exit
    void Button5Click();  // ROM File
    void Button6Click();  // Restart Receiver
    void Timer1Timer();
    void FormClose();
    void FormActivate() {}

    // Window operations.
    void RefreshLamps();
    void ClearLampStates();
    void ShowProgress(std::uint16_t min, std::uint16_t max);
    bool RunErase();
    void StartConnectWorker();
    void StartUpload();
    ConnectOutcomeT RunConnect();
    void ConnectWorker();
    void UploadWorker(const std::string& path);
    void ToggleUploadLamp();

    // What the window shows now, as the workflow last set it.
    const std::string& Status() const { return status_; }
    const std::string& StatusReason() const { return reason_; }
    bool ButtonEnabled(ButtonT button) const { return enabled_[Index(button)]; }
    bool Timer1Armed() const { return timerArmed_; }
    // False once the fatal-error dialog has taken over.
    bool Enabled() const { return enabled_window_; }
    // True while no worker runs.
    bool WorkersIdle() const;
    // True once "Exit" has abandoned the workers.
    bool Abandoned() const { return abandoned_; }

    // Status text and reason, painted now.
    void SetStatus(const std::string& text, const std::string& reason = {});
    void EnableButton(ButtonT button, bool enabled);
    // Runs fn on the window's thread and returns once it has run; dropped
    // once "Exit" has abandoned the workers.
    void OnWindowThread(const std::function<void()>& fn);

private:
    class View;
    static std::size_t Index(ButtonT b) { return static_cast<std::size_t>(b) - 1; }
    void ShowFatalError();
    void HideProgressBar();
    template <typename Body>
    bool StartWorker(std::shared_ptr<WorkerT>& handle, Body body);

    WindowSurfaceT& surface_;
    std::unique_ptr<View> view_;
    std::string status_;
    std::string reason_;
    std::array<bool, 6> enabled_{true, false, false, true, true, true};
    bool timerArmed_ = false;
    bool enabled_window_ = true;
    std::atomic<bool> abandoned_{false};
    bool exiting_ = false;
};
