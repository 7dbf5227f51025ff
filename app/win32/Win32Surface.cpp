#include "Win32Surface.h"

#include <commctrl.h>

namespace {
constexpr UINT kRunCall = WM_APP + 1;
constexpr const char* kCallsClass = "ZelmoCalls";
}  // namespace

Win32SurfaceT::Win32SurfaceT(WindowEventsT& events, const char* fatalMessage)
    : thread_(::GetCurrentThreadId()), port_(events), fatal_(events, fatalMessage), main_(events) {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32SurfaceT::CallsProcedure;
    wc.hInstance = instance;
    wc.lpszClassName = kCallsClass;
    ::RegisterClassExA(&wc);
    calls_ = ::CreateWindowExA(0, kCallsClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    ::SetWindowLongPtrA(calls_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32SurfaceT::~Win32SurfaceT() {
    if (calls_ != nullptr) ::DestroyWindow(calls_);
}

LRESULT CALLBACK Win32SurfaceT::CallsProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kRunCall) return ::DefWindowProcA(hwnd, message, wParam, lParam);
    auto* self = reinterpret_cast<Win32SurfaceT*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    // What the call changed is on the screen before the worker goes on.
    if (self != nullptr)
        ::RedrawWindow(self->main_.Hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    return 0;
}

bool Win32SurfaceT::OnWindowThread() const { return ::GetCurrentThreadId() == thread_; }

void Win32SurfaceT::RunOnWindowThread(const std::function<void()>& fn) {
    if (OnWindowThread()) {
        fn();
        return;
    }
    // SendMessage waits until the window's thread has run the call; calls
    // from one worker are thus shown in the order made.
    ::SendMessageA(calls_, kRunCall, 0, reinterpret_cast<LPARAM>(&fn));
}

void Win32SurfaceT::ShowFatalDialog() {
    ::EnableWindow(main_.Hwnd(), FALSE);
    fatal_.ShowAndFocus();
}

void Win32SurfaceT::EndProgram() { ::PostQuitMessage(0); }

bool PressFocusedButton(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN) return false;
    HWND focus = ::GetFocus();
    if (focus == nullptr || focus != message.hwnd) return false;
    char cls[16] = {};
    ::GetClassNameA(focus, cls, sizeof cls);
    if (::lstrcmpiA(cls, "Button") != 0) return false;
    const auto type = static_cast<DWORD>(::GetWindowLongA(focus, GWL_STYLE)) & BS_TYPEMASK;
    if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) return false;
    if (::IsWindowEnabled(focus) == FALSE) return true;
    ::SendMessageA(::GetParent(focus), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(focus), BN_CLICKED),
                   reinterpret_cast<LPARAM>(focus));
    return true;
}

void Win32SurfaceT::Run() {
    port_.Show();
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (PressFocusedButton(message)) continue;
        // Tab, the arrows among the radio buttons, Space on a button.
        HWND top = ::GetAncestor(message.hwnd, GA_ROOT);
        if (top != nullptr && top != calls_ && ::IsDialogMessageA(top, &message) != FALSE) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}
