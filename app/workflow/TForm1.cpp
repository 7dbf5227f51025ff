#include "TForm1.h"

#include "PortNames.h"
#include "TForm5.h"
#include "Target.h"
#include "Tormane.h"
#include "WindowSurfaceT.h"

TForm1::TForm1(WindowSurfaceT& surface) : surface_(surface) { SelectedPort = 0; }

void TForm1::RadioButtonClick(int n) {
    SelectedPort = static_cast<std::uint8_t>(n - 1);
    surface_.SetPortLabel(PortNames[n - 1]);
    if ((n == 1 || n == 2) && !CommandLine.empty() && (CommandLine[0] == '1' || CommandLine[0] == '2'))
        Button1Click();
}

void TForm1::Button1Click() {
    surface_.ShowMainWindow();
    // With a command line the dialog goes out of sight without hiding: it
    // stays the program's main window until the end.
    surface_.HidePortDialog(!CommandLine.empty());
}

void TForm1::FormActivate() {
    if (CommandLine.empty()) return;
    if (CommandLine[0] == '1') RadioButton1Click();
    else if (CommandLine[0] == '2') RadioButton2Click();
}

void TForm1::FormClose() {
    if (closed_) return;
    closed_ = true;
    surface_.EndProgram();
}
