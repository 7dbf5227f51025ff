#pragma once
// What the operator does in the three windows, as the windows report it to
// the workflow. Every call is made on the window's thread.
#include "WindowSurfaceT.h"

class WindowEventsT {
public:
    virtual ~WindowEventsT() = default;

    // The port dialog.
    virtual void PortChosen(int n) = 0;  // radio button n, 1 to 20
    virtual void PortOk() = 0;
    virtual void PortActivated() = 0;
    virtual void PortClosing() = 0;
    // The main window.
    virtual void MainButton(ButtonT button) = 0;
    virtual void MainActivated() = 0;
    virtual void MainClosing() = 0;
    virtual void Timer1Fired() = 0;
    // The fatal-error dialog.
    virtual void FatalContinue() = 0;
    virtual void FatalClosing() = 0;
};
