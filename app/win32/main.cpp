// zelmo.exe: the program entry of the Win32 window. Options, the three
// windows, the message loop and the program's end; the workflow behind the
// windows is shared with every other toolkit.
#include "Win32Surface.h"

#include <commctrl.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "FlashMemT.h"
#include "PortNames.h"
#include "TForm1.h"
#include "TForm4.h"
#include "TForm5.h"
#include "Target.h"
#include "Tormane.h"

namespace {

// Clicks and window events, handed to the workflow's handlers.
class FormEventsT final : public WindowEventsT {
public:
    void PortChosen(int n) override {
        if (Form1 != nullptr) Form1->RadioButtonClick(n);
    }
    void PortOk() override {
        if (Form1 != nullptr) Form1->Button1Click();
    }
    void PortActivated() override {
        if (Form1 != nullptr) Form1->FormActivate();
    }
    void PortClosing() override {
        if (Form1 != nullptr) Form1->FormClose();
    }
    void MainButton(ButtonT button) override {
        if (Form5 == nullptr) return;
        switch (button) {
        case ButtonT::Start: Form5->Button1Click(); break;
        case ButtonT::Connect: Form5->Button2Click(); break;
        case ButtonT::Reset: Form5->Button3Click(); break;
        case ButtonT::Exit: Form5->Button4Click(); break;
        case ButtonT::RomFile: Form5->Button5Click(); break;
        case ButtonT::Restart: Form5->Button6Click(); break;
        }
    }
    void MainActivated() override {
        if (Form5 != nullptr) Form5->FormActivate();
    }
    void MainClosing() override {
        if (Form5 != nullptr) Form5->FormClose();
    }
    void Timer1Fired() override {
        if (Form5 != nullptr) Form5->Timer1Timer();
    }
    void FatalContinue() override {
        if (Form4 != nullptr) Form4->Button1Click();
    }
    void FatalClosing() override {
        if (Form4 != nullptr) Form4->FormClose();
    }
};

// A windowed program has no console of its own: --help and --version
// print into the console it was started from, when there is one.
void UseParentConsole() {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) return;  // redirected: keep it
    if (::AttachConsole(ATTACH_PARENT_PROCESS) == FALSE) return;
    std::FILE* ignored = nullptr;
    ignored = std::freopen("CONOUT$", "w", stdout);
    ignored = std::freopen("CONOUT$", "w", stderr);
    (void)ignored;
}

int Run(const std::vector<std::string>& args) {
    WindowOptionsT options;
    bool stop = false;
    if (HelpOrVersionAsked(args)) UseParentConsole();
    if (const int code = ParseWindowOptions(args, options, &stop); stop) return code;
    CommandLine = JoinCommandLine(options.rest);
    if (!options.device.empty()) BindPort(0, options.device);

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);

    FormEventsT events;
    // The windows first, hidden; the port dialog is made first and is the
    // program's first window.
    Win32SurfaceT surface(events, kFatalMessage);
    auto form1 = std::make_unique<TForm1>(surface);
    auto form4 = std::make_unique<TForm4>(surface);
    auto form5 = std::make_unique<TForm5>(surface);
    Form1 = form1.get();
    Form4 = form4.get();
    Form5 = form5.get();
    surface.Run();
    EndAroundAbandonedWorkers(*Form5);  // ends the process when a worker was left running
    Form5 = nullptr;
    form5.reset();  // runs the steps of "Exit" once more
    Form4 = nullptr;
    Form1 = nullptr;
    TargetFlash.reset();
    TargetLink.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run({argv + 1, argv + argc});
    } catch (const std::exception& e) {
        ::MessageBoxA(nullptr, e.what(), "Zelmo", MB_OK | MB_ICONERROR);
    }
    return 0;
}
