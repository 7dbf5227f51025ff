#pragma once
// The three Qt windows and the surface through which the workflow paints
// them. Made in the order the program has always made its windows.
#include <memory>

#include "QtForm1.h"
#include "QtForm4.h"
#include "QtForm5.h"
#include "TForm1.h"
#include "TForm4.h"
#include "TForm5.h"
#include "WindowSurfaceT.h"

class QtSurfaceT final : public WindowSurfaceT {
public:
    QtSurfaceT(QtForm1& f1, QtForm4& f4, QtForm5& f5) : f1_(f1), f4_(f4), f5_(f5) {}

    void SetStatus(const std::string& text, const std::string& reason) override;
    void PaintLamps(const std::array<bool, kLampTotal>& on) override;
    void PaintUploadLamp(bool on) override;
    void PrepareProgress(unsigned min, unsigned max) override;
    void MoveProgress(int position) override;
    void FillProgress() override;
    void HideProgress(bool toZero) override;
    void EnableButton(ButtonT button, bool enabled) override;
    void StartTimer1(unsigned ms) override;
    void StopTimer1() override;
    std::optional<std::string> AskRomFile() override;
    void RepaintMainWindow() override;
    void ShowFatalDialog() override;
    void SetPortLabel(const std::string& name) override;
    void ShowMainWindow() override;
    void HidePortDialog(bool shrinkInstead) override;
    void EndProgram() override;
    bool OnWindowThread() const override;
    void RunOnWindowThread(const std::function<void()>& fn) override;

private:
    QtForm1& f1_;
    QtForm4& f4_;
    QtForm5& f5_;
};

// The program's windows: the Qt widgets, the surface, and the workflows,
// which Form1, Form4 and Form5 point to while this lives.
struct QtWindowsT {
    QtWindowsT();
    ~QtWindowsT();
    QtWindowsT(const QtWindowsT&) = delete;
    QtWindowsT& operator=(const QtWindowsT&) = delete;

    std::unique_ptr<QtForm1> form1;
    std::unique_ptr<QtForm4> form4;
    std::unique_ptr<QtForm5> form5;
    std::unique_ptr<QtSurfaceT> surface;
    std::unique_ptr<TForm1> flow1;
    std::unique_ptr<TForm4> flow4;
    std::unique_ptr<TForm5> flow5;
};
// The Qt windows of the running program, while they exist.
extern QtWindowsT* QtWindows;
