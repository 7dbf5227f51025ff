#pragma once
// The port-selection dialog's controls: twenty radio buttons in a group box,
// each with a tooltip naming what its port reaches, and "OK". The layout is
// drawn at 96 dpi.
#include <array>

#include "Win32Window.h"
#include "WindowEvents.h"

class PortDialogT final : public WindowT {
public:
    explicit PortDialogT(WindowEventsT& events);

    HWND GroupBox1 = nullptr;
    std::array<HWND, 20> RadioButtons{};  // RadioButton1 .. RadioButton20
    HWND Button1 = nullptr;               // OK

    // The first window the operator sees.
    void Show();
    // Out of sight: hidden, or shrunk to 0 by 0.
    void Hide(bool shrinkInstead);

private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void AddTooltips();

    WindowEventsT& events_;
    ScaleT s_;
    FontT font_;
    HWND tooltips_ = nullptr;
    bool shrunk_ = false;
};
