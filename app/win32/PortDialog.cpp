#include "PortDialog.h"

#include <commctrl.h>

#include <string>

#include "PortNames.h"

namespace {

constexpr int kDesignDpi = 96;
constexpr int kOkId = 100;
constexpr int kRadioId = 101;  // RadioButton n is kRadioId + n - 1
constexpr int kGroupId = 130;
constexpr UINT kActivated = WM_APP + 2;

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW;

// Caption of radio button n: four blanks, and no blank before the first digit.
std::string Caption(int n) { return n == 1 ? "    COMM1" : "    COMM " + std::to_string(n); }

// Radio button n's place in the group box.
RECT RadioPlace(int n) {
    if (n == 1) return {8, 16, 8 + 73, 16 + 33};
    if (n == 2) return {8, 48, 8 + 105, 48 + 25};
    static constexpr std::array<int, 3> columns{96, 192, 280};  // 3..8, 9..14, 15..20
    const int x = columns[static_cast<std::size_t>((n - 3) / 6)];
    const int y = 24 + 24 * ((n - 3) % 6);
    return {x, y, x + 105, y + 25};
}

// The driver's entry for port com under HARDWARE\DEVICEMAP\SERIALCOMM
// (such as "\Device\Serial0"), where Windows lists the ports it has; empty
// when no driver reports the port now.
std::string ReportedAs(const std::string& com) {
    std::string entry;
    HKEY key{};
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return entry;
    for (DWORD i = 0; entry.empty(); ++i) {
        char value[256];
        char data[64];
        DWORD valueSize = sizeof value;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG r = ::RegEnumValueA(key, i, value, &valueSize, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                       &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        if (::lstrcmpiA(data, com.c_str()) == 0) entry = value;
    }
    ::RegCloseKey(key);
    return entry;
}

// What port row index reaches, for its tooltip: the device bound to it, or
// the port of its own name with the driver's entry for it.
std::string PortHint(int index) {
    const std::string device = PortDevice(index);
    const std::string name = PortNames[index];
    if (device.empty()) return name + ": no serial device is present for this port";
    if (device != name) return name + " reaches " + device;
    const std::string com = "COM" + std::to_string(index + 1);
    const std::string entry = ReportedAs(com);
    if (entry.empty()) return name + " reaches " + com + "; no driver reports this port now";
    return name + " reaches " + com + ", reported by its driver as " + entry;
}

}  // namespace

PortDialogT::PortDialogT(WindowEventsT& events) : events_(events), s_(SystemDpi(), kDesignDpi), font_(11, s_) {
    // "COMM": a client area of 407 by 273, a border that cannot be resized.
    const SIZE outer = OuterSize(s_(407), s_(273), kStyle, kExStyle);
    Create("TForm1", "COMM", kStyle, kExStyle, outer.cx, outer.cy);
    const HFONT f = font_.Handle();

    // The tab order runs "OK" first, then the ports 1 to 20.
    Button1 = Child("BUTTON", "OK", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, s_.Rect(176, 224, 73, 33), kOkId, f);
    GroupBox1 = Child("BUTTON", "COM Port Select", BS_GROUPBOX | WS_GROUP, s_.Rect(8, 16, 393, 185), kGroupId, f);
    for (int n = 1; n <= 20; ++n) {
        const RECT p = RadioPlace(n);
        // The buttons sit in the group box, at its offset.
        RadioButtons[static_cast<std::size_t>(n - 1)] =
            Child("BUTTON", Caption(n).c_str(), BS_AUTORADIOBUTTON | (n == 1 ? WS_GROUP | WS_TABSTOP : 0),
                  s_.Rect(8 + p.left, 16 + p.top, p.right - p.left, p.bottom - p.top), kRadioId + n - 1, f);
    }
    ::SendMessageA(RadioButtons[0], BM_SETCHECK, BST_CHECKED, 0);
    AddTooltips();
}

void PortDialogT::AddTooltips() {
    tooltips_ = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Hwnd(), nullptr,
                                  ::GetModuleHandleA(nullptr), nullptr);
    if (tooltips_ == nullptr) return;
    for (HWND radio : RadioButtons) {
        TOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = Hwnd();
        tool.uId = reinterpret_cast<UINT_PTR>(radio);
        // Asked for when shown, so that it names what the port reaches then.
        tool.lpszText = LPSTR_TEXTCALLBACKA;
        ::SendMessageA(tooltips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    }
    ::SendMessageA(tooltips_, TTM_SETMAXTIPWIDTH, 0, s_(400));
}

void PortDialogT::Show() {
    ::ShowWindow(Hwnd(), SW_SHOWNORMAL);
    ::UpdateWindow(Hwnd());
}

void PortDialogT::Hide(bool shrinkInstead) {
    if (!shrinkInstead) {
        ::ShowWindow(Hwnd(), SW_HIDE);
        return;
    }
    // It stays the program's first window, shown but of no size.
    shrunk_ = true;
    ::SetWindowPos(Hwnd(), nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT PortDialogT::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (HIWORD(wParam) != BN_CLICKED) return 0;
        if (id == kOkId) events_.PortOk();
        else if (id >= kRadioId && id < kRadioId + 20) events_.PortChosen(id - kRadioId + 1);
        return 0;
    }
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->hwndFrom == tooltips_ && header->code == TTN_GETDISPINFOA) {
            auto* info = reinterpret_cast<NMTTDISPINFOA*>(lParam);
            static std::string text;  // must outlive this message
            for (int i = 0; i < 20; ++i)
                if (reinterpret_cast<HWND>(header->idFrom) == RadioButtons[static_cast<std::size_t>(i)])
                    text = PortHint(i);
            info->lpszText = text.data();
        }
        return 0;
    }
    case WM_ACTIVATE:
        KeepFocus(wParam);
        // Run once the activation is over: the handler may show and activate
        // the main window.
        if (LOWORD(wParam) != WA_INACTIVE) ::PostMessageA(Hwnd(), kActivated, 0, 0);
        return 0;
    case kActivated:
        events_.PortActivated();
        return 0;
    case WM_GETMINMAXINFO:
        if (shrunk_) {
            auto* mm = reinterpret_cast<MINMAXINFO*>(lParam);
            mm->ptMinTrackSize = {0, 0};
            return 0;
        }
        break;
    case WM_CLOSE:
        events_.PortClosing();
        return 0;
    default:
        break;
    }
    return WindowT::Handle(message, wParam, lParam);
}
