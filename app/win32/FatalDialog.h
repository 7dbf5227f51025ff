#pragma once
// The fatal-error dialog's controls: the message and "Continue". The layout
// is drawn at 96 dpi.
#include "Win32Window.h"
#include "WindowEvents.h"

class FatalDialogT final : public WindowT {
public:
    FatalDialogT(WindowEventsT& events, const char* message);

    HWND Memo1 = nullptr;
    HWND Button1 = nullptr;  // Continue

    // Shown, enabled, with the focus on its message.
    void ShowAndFocus();

private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

    WindowEventsT& events_;
    ScaleT s_;
    FontT font_;
};
