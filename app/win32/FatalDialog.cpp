#include "FatalDialog.h"

#include <commctrl.h>

namespace {

constexpr int kDesignDpi = 96;
constexpr int kContinueId = 100;
constexpr int kMemoId = 101;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;

// The message box takes Tab as a way on to "Continue", not as a character.
LRESULT CALLBACK MemoProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    LRESULT r = ::DefSubclassProc(hwnd, message, wParam, lParam);
    if (message == WM_GETDLGCODE) r &= ~static_cast<LRESULT>(DLGC_WANTTAB | DLGC_WANTALLKEYS);
    return r;
}

}  // namespace

FatalDialogT::FatalDialogT(WindowEventsT& events, const char* message)
    : events_(events), s_(SystemDpi(), kDesignDpi), font_(11, s_) {
    // An empty title, a sizeable border, 307 by 178 with the frame.
    Create("TForm4", "", kStyle, 0, s_(307), s_(178));
    const HFONT f = font_.Handle();
    RECT client{};
    ::GetClientRect(Hwnd(), &client);
    // Across the top, first in the tab order.
    Memo1 = Child("EDIT", message, ES_MULTILINE | ES_CENTER | ES_AUTOVSCROLL | WS_TABSTOP,
                  {0, 0, client.right, s_(97)}, kMemoId, f, WS_EX_CLIENTEDGE);
    ::SetWindowSubclass(Memo1, &MemoProcedure, 1, 0);
    Button1 = Child("BUTTON", "Continue", BS_PUSHBUTTON | WS_TABSTOP, s_.Rect(112, 112, 97, 33), kContinueId, f);
}

void FatalDialogT::ShowAndFocus() {
    ::EnableWindow(Hwnd(), TRUE);
    ::ShowWindow(Hwnd(), SW_SHOW);
    ::UpdateWindow(Hwnd());
    ::SetForegroundWindow(Hwnd());
    ::SetActiveWindow(Hwnd());
    ::SetFocus(Memo1);
}

LRESULT FatalDialogT::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kContinueId && HIWORD(wParam) == BN_CLICKED) events_.FatalContinue();
        return 0;
    case WM_SIZE: {
        // The message stays across the top as the border is dragged.
        if (Memo1 != nullptr) ::SetWindowPos(Memo1, nullptr, 0, 0, LOWORD(lParam), s_(97), SWP_NOZORDER | SWP_NOMOVE);
        return 0;
    }
    case WM_ACTIVATE:
        KeepFocus(wParam);
        return 0;
    case WM_CLOSE:
        events_.FatalClosing();
        return 0;
    default:
        break;
    }
    return WindowT::Handle(message, wParam, lParam);
}
