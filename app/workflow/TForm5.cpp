#include "TForm5.h"

#include "RomUpload.h"
#include "TForm1.h"
#include "TForm5View.h"
#include "Tormane.h"

std::string RomFileName;
std::shared_ptr<WorkerT> UploadThread;
std::shared_ptr<WorkerT> ConnectThread;
bool UploadLampToggle = false;

TForm5::TForm5(WindowSurfaceT& surface) : surface_(surface), view_(std::make_unique<View>(*this)) {
    Attempts = 0;
    RomFileName.clear();
    ErasedLamp = RomFileLamp = AutoStarted = false;
    ClearLampStates();
}

TForm5::~TForm5() {
    // The window's destruction runs the steps of "Exit" once more.
    Button4Click();
}

void TForm5::RefreshLamps() { surface_.PaintLamps(Lamps); }

void TForm5::ClearLampStates() {
    DaemonLamp = UploadingLamp = CompletedLamp = ConnectionLamp = false;
    ProgressShown = false;
    RefreshLamps();
}

void TForm5::ShowProgress(std::uint16_t min, std::uint16_t max) {
    surface_.PrepareProgress(min, max);
    ProgressShown = true;
}

void TForm5::HideProgressBar() {
    if (!ProgressShown) return;
    surface_.HideProgress(false);
    ProgressShown = false;
}

void TForm5::ToggleUploadLamp() {
    // Blinks the lamp without touching its state: the next RefreshLamps
    // paints it from the state again.
    UploadLampToggle = !UploadLampToggle;
    surface_.PaintUploadLamp(UploadLampToggle);
}

void TForm5::SetStatus(const std::string& text, const std::string& reason) {
    status_ = text;
    reason_ = reason;
    surface_.SetStatus(text, reason);
}

void TForm5::EnableButton(ButtonT button, bool enabled) {
    enabled_[Index(button)] = enabled;
    surface_.EnableButton(button, enabled);
}

void TForm5::Button1Click() { StartConnectWorker(); }

void TForm5::Button2Click() {
    if (Attempts > 3) {
        ShowFatalError();
        return;
    }
    // Runs on this thread; each report is painted as it is made.
    if (RunConnect() == ConnectOutcomeT::Busy) return;
    EnableButton(ButtonT::Connect, false);
    ++Attempts;
}

void TForm5::Button3Click() {
    HideProgressBar();
    ConnectionLamp = DaemonLamp = ErasedLamp = false;
    ClearLampStates();
    if (Attempts >= 3) {
        ShowFatalError();
    } else {
        EnableButton(ButtonT::Connect, true);
        ++Attempts;
    }
    RefreshLamps();
    EnableButton(ButtonT::Reset, false);
}

void TForm5::ShowFatalError() {
    enabled_window_ = false;
    surface_.ShowFatalDialog();
}

void TForm5::Button4Click() {
    if (exiting_) return;
    exiting_ = true;
    // The workers are abandoned, never waited for: their reports are
    // dropped from now on and the program ends around them.
    abandoned_ = true;
    if (Form1 != nullptr) Form1->FormClose();
}

void TForm5::Button5Click() {
    HideProgressBar();
    SetStatus(" ");
    surface_.RepaintMainWindow();
    const std::optional<std::string> chosen = surface_.AskRomFile();
    if (!chosen) return;
    RomFileName = *chosen;
    if (!RomFileName.empty()) {
        RomFileLamp = true;
        RefreshLamps();
        StartUpload();
    }
    surface_.RepaintMainWindow();
    if (!CommandLine.empty() && !AutoStarted) {
        AutoStarted = true;
        Button1Click();
    }
}

void TForm5::Button6Click() { RestartReceiver(kRestartAddress); }

void TForm5::Timer1Timer() {
    timerArmed_ = false;
    surface_.StopTimer1();
    StartUpload();
}

void TForm5::FormClose() { Button4Click(); }
