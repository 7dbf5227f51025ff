#pragma once
// The port-selection dialog's workflow, the program's first window: twenty
// ports, "OK", and the command line's "1"/"2" that confirm it by themselves.
// Closing it ends the program, even while it is out of sight.
#include <cstdint>

class WindowSurfaceT;

class TForm1 {
public:
    // Sets SelectedPort to 0, as making the dialog always has.
    explicit TForm1(WindowSurfaceT& surface);
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Radio button n (1 to 20) chose its port.
    void RadioButtonClick(int n);
    void RadioButton1Click() { RadioButtonClick(1); }
    void RadioButton2Click() { RadioButtonClick(2); }
    void Button1Click();  // OK
    // Every time the dialog becomes the active window.
    void FormActivate();
    // The dialog is being closed: the program ends.
    void FormClose();
    bool Closed() const { return closed_; }

private:
    WindowSurfaceT& surface_;
    bool closed_ = false;
};
