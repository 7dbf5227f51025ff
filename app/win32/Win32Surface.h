#pragma once
// The workflow's surface drawn with the plain Win32 API: the three windows,
// the message loop, and reports from the workers carried to the window's
// thread by SendMessage, each painted before the worker goes on.
#include "FatalDialog.h"
#include "MainWindow.h"
#include "PortDialog.h"
#include "WindowSurfaceT.h"

class Win32SurfaceT final : public WindowSurfaceT {
public:
    // Makes the three windows, hidden, on the calling thread, which becomes
    // the window's thread: the port dialog, the fatal-error dialog with its
    // message, the main window.
    Win32SurfaceT(WindowEventsT& events, const char* fatalMessage);
    ~Win32SurfaceT() override;

    PortDialogT& PortDialog() { return port_; }
    MainWindowT& MainWindow() { return main_; }
    FatalDialogT& FatalDialog() { return fatal_; }

    // Shows the port dialog and runs the messages until EndProgram.
    void Run();

    void SetStatus(const std::string& text, const std::string& reason) override { main_.SetStatus(text, reason); }
    void PaintLamps(const std::array<bool, kLampTotal>& on) override { main_.PaintLamps(on); }
    void PaintUploadLamp(bool on) override { main_.PaintUploadLamp(on); }
    void PrepareProgress(unsigned min, unsigned max) override { main_.PrepareProgress(min, max); }
    void MoveProgress(int position) override { main_.MoveProgress(position); }
    void FillProgress() override { main_.FillProgress(); }
    void HideProgress(bool toZero) override { main_.HideProgress(toZero); }
    void EnableButton(ButtonT button, bool enabled) override { main_.EnableButton(button, enabled); }
    void StartTimer1(unsigned ms) override { main_.StartTimer1(ms); }
    void StopTimer1() override { main_.StopTimer1(); }
    std::optional<std::string> AskRomFile() override { return main_.AskRomFile(); }
    void RepaintMainWindow() override { main_.Repaint(); }
    void ShowFatalDialog() override;
    void SetPortLabel(const std::string& name) override { main_.SetPortLabel(name); }
    void ShowMainWindow() override { main_.ShowAndFocus(); }
    void HidePortDialog(bool shrinkInstead) override { port_.Hide(shrinkInstead); }
    void EndProgram() override;
    bool OnWindowThread() const override;
    void RunOnWindowThread(const std::function<void()>& fn) override;

private:
    static LRESULT CALLBACK CallsProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    DWORD thread_;
    PortDialogT port_;
    FatalDialogT fatal_;
    MainWindowT main_;
    HWND calls_ = nullptr;  // a message-only window that runs the workers' calls
};

// Return presses the focused push button, as on Windows; true when it did.
bool PressFocusedButton(const MSG& message);
