#include "MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int kDesignDpi = 120;
constexpr UINT_PTR kTimer1 = 1;
// Control ids; the buttons' are 100 + their number. 1 and 2 are left to
// IDOK and IDCANCEL, which the dialog keys send.
constexpr int kButtonId = 100;
constexpr int kOtherId = 200;

constexpr const char* kTitle = "Zelmo 2.05 (May-11-99)";
constexpr std::array<const char*, kLampTotal> kLampCaptions{
    "Connection Established", "DAEMON Running", "ROM File Selected",
    "Flash Memory Erased",    "Up Load in Progress", "Up Load Completed"};

// The table's rectangles, in the client area (Panel1 starts at 0, 0).
constexpr int kGroupX = 20, kGroupY = 30;          // GroupBox1 in Panel1
constexpr int kPanel2X = kGroupX + 10, kPanel2Y = kGroupY + 20;
constexpr int kPanel3X = 20, kPanel3Y = 210;
constexpr std::array<int, 3> kLampColumns{20, 250, 460};
constexpr std::array<int, 2> kLampRows{20, 60};
constexpr int kLampSize = 21;

struct ButtonPlaceT {
    ButtonT button;
    const char* caption;
    int x, w;
};
// In the tab order: Start, Connect, Reset, Exit, ROM File, Restart Receiver.
constexpr std::array<ButtonPlaceT, 6> kButtons{{{ButtonT::Start, "Start", 20, 111},
                                                {ButtonT::Connect, "Connect", 150, 101},
                                                {ButtonT::Reset, "Reset", 260, 101},
                                                {ButtonT::Exit, "Exit", 600, 101},
                                                {ButtonT::RomFile, "ROM File", 370, 101},
                                                {ButtonT::Restart, "Restart Receiver", 480, 111}}};

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

}  // namespace

MainWindowT::MainWindowT(WindowEventsT& events)
    : events_(events),
      s_(SystemDpi(), kDesignDpi),
      font_(16, s_),
      white_(::CreateSolidBrush(RGB(255, 255, 255))),
      menu_(::GetSysColorBrush(COLOR_MENU)) {
    colours_.fill(kLampOff);
    // 722 by 450 as Windows counts a window: with its frame.
    Create("TForm5", kTitle, kStyle, 0, s_(722), s_(450));
    const HFONT f = font_.Handle();

    Label7 = Child("STATIC", "COM 1", SS_LEFT | SS_NOPREFIX, s_.Rect(340, 10, 160, 25), kOtherId, f);
    GroupBox1 = Child("BUTTON", "Status ", BS_GROUPBOX, s_.Rect(kGroupX, kGroupY, 681, 171), kOtherId + 1, f);
    Memo1 = Child("EDIT", "", ES_MULTILINE | ES_READONLY | ES_CENTER | ES_NOHIDESEL,
                  s_.Rect(kPanel2X + 10, kPanel2Y + 20, 641, 41), kOtherId + 2, f, WS_EX_CLIENTEDGE);
    LabelReason = Child("STATIC", "", SS_CENTER | SS_NOPREFIX, s_.Rect(kPanel2X + 10, kPanel2Y + 62, 641, 26),
                        kOtherId + 3, f);
    ProgressBar1 = Child(PROGRESS_CLASSA, "", 0, s_.Rect(kPanel2X + 10, kPanel2Y + 90, 641, 41), kOtherId + 4, f);
    ::SendMessageA(ProgressBar1, PBM_SETRANGE32, 0, 100);
    ::SendMessageA(ProgressBar1, PBM_SETPOS, 0, 0);
    for (std::size_t i = 0; i < Labels.size(); ++i) {
        // 30 pixels right of its lamp.
        const int x = kPanel3X + kLampColumns[i / 2] + 30;
        const int y = kPanel3Y + kLampRows[i % 2] - 2;
        // Short of the next column's lamp, which its background would hide.
        Labels[i] = Child("STATIC", kLampCaptions[i], SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE,
                          s_.Rect(x, y, 170, 25), kOtherId + 10 + static_cast<int>(i), f);
    }
    for (const ButtonPlaceT& b : kButtons) {
        const int n = static_cast<int>(b.button);
        HWND h = Child("BUTTON", b.caption, BS_PUSHBUTTON | WS_TABSTOP | (n == 1 ? WS_GROUP : 0),
                       s_.Rect(b.x, 350, b.w, 41), kButtonId + n, f);
        Buttons[static_cast<std::size_t>(n - 1)] = h;
    }
    FitRestartCaption();
    ::EnableWindow(Button(ButtonT::Connect), FALSE);
    ::EnableWindow(Button(ButtonT::Reset), FALSE);
}

MainWindowT::~MainWindowT() { ::DeleteObject(white_); }

void MainWindowT::FitRestartCaption() {
    // "Restart Receiver" is set at 15 pixels, a pixel below the rest; where
    // the font at hand is wider than the one the layout was drawn with, a
    // smaller one keeps the caption clear of the button's edges.
    HWND button = Button(ButtonT::Restart);
    RECT r{};
    ::GetClientRect(button, &r);
    const int room = r.right - r.left - 2 * s_(6);
    HDC dc = ::GetDC(button);
    for (int pixels = 15; pixels >= 11; --pixels) {
        auto font = std::make_unique<FontT>(pixels, s_);
        HGDIOBJ old = ::SelectObject(dc, font->Handle());
        SIZE text{};
        ::GetTextExtentPoint32A(dc, "Restart Receiver", 16, &text);
        ::SelectObject(dc, old);
        restartFont_ = std::move(font);
        if (text.cx <= room) break;
    }
    ::ReleaseDC(button, dc);
    ::SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(restartFont_->Handle()), FALSE);
}

RECT MainWindowT::LampRect(std::size_t i) const {
    return s_.Rect(kPanel3X + kLampColumns[i / 2], kPanel3Y + kLampRows[i % 2], kLampSize, kLampSize);
}

void MainWindowT::Paint(HDC dc) {
    RECT client{};
    ::GetClientRect(Hwnd(), &client);
    // Panel1: a frame with a lowered inner bevel over the whole client area.
    ::DrawEdge(dc, &client, EDGE_BUMP, BF_RECT);
    // GroupBox1 is painted in the menu colour; Panel2 and Panel3 are lowered.
    RECT group = s_.Rect(kGroupX, kGroupY, 681, 171);
    RECT inside = group;
    inside.top += s_(8);
    ::FillRect(dc, &inside, menu_);
    RECT panel2 = s_.Rect(kPanel2X, kPanel2Y, 661, 141);
    ::DrawEdge(dc, &panel2, BDR_SUNKENOUTER, BF_RECT);
    RECT panel3 = s_.Rect(kPanel3X, kPanel3Y, 681, 111);
    ::DrawEdge(dc, &panel3, BDR_SUNKENOUTER, BF_RECT);
    // The lamps: filled circles with a thin black outline.
    HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
    for (std::size_t i = 0; i < colours_.size(); ++i) {
        HBRUSH brush = ::CreateSolidBrush(FromRgb(colours_[i]));
        HGDIOBJ oldBrush = ::SelectObject(dc, brush);
        const RECT r = LampRect(i);
        ::Ellipse(dc, r.left, r.top, r.right, r.bottom);
        ::SelectObject(dc, oldBrush);
        ::DeleteObject(brush);
    }
    ::SelectObject(dc, oldPen);
}

void MainWindowT::PaintLamp(std::size_t i, unsigned colour) {
    colours_[i] = colour;
    const RECT r = LampRect(i);
    ::InvalidateRect(Hwnd(), &r, TRUE);
}

void MainWindowT::SetStatus(const std::string& text, const std::string& reason) {
    ::SetWindowTextA(Memo1, text.c_str());
    ::SetWindowTextA(LabelReason, reason.c_str());
    ::UpdateWindow(Memo1);
    ::UpdateWindow(LabelReason);
    ::UpdateWindow(Hwnd());
}

void MainWindowT::PaintLamps(const std::array<bool, kLampTotal>& on) {
    for (std::size_t i = 0; i < on.size(); ++i) PaintLamp(i, on[i] ? kLampOn : kLampOff);
    ::UpdateWindow(Hwnd());
}

void MainWindowT::PaintUploadLamp(bool on) {
    PaintLamp(4, on ? kLampOn : kLampOff);
    ::UpdateWindow(Hwnd());
}

void MainWindowT::PrepareProgress(unsigned min, unsigned max) {
    ::SendMessageA(ProgressBar1, PBM_SETRANGE32, min, static_cast<LPARAM>(max));
    ::ShowWindow(ProgressBar1, SW_SHOWNA);
    ::EnableWindow(ProgressBar1, TRUE);
    // One step on from wherever the bar stands.
    const auto position = static_cast<long long>(::SendMessageA(ProgressBar1, PBM_GETPOS, 0, 0));
    const long long next = std::clamp<long long>(position + 1, min, max);
    ::SendMessageA(ProgressBar1, PBM_SETPOS, static_cast<WPARAM>(next), 0);
    ::UpdateWindow(ProgressBar1);
}

void MainWindowT::MoveProgress(int position) {
    const auto low = static_cast<int>(::SendMessageA(ProgressBar1, PBM_GETRANGE, TRUE, 0));
    const auto high = static_cast<int>(::SendMessageA(ProgressBar1, PBM_GETRANGE, FALSE, 0));
    ::SendMessageA(ProgressBar1, PBM_SETPOS, static_cast<WPARAM>(std::clamp(position, low, std::max(low, high))), 0);
    ::UpdateWindow(ProgressBar1);
}

void MainWindowT::FillProgress() {
    const auto high = ::SendMessageA(ProgressBar1, PBM_GETRANGE, FALSE, 0);
    ::SendMessageA(ProgressBar1, PBM_SETPOS, static_cast<WPARAM>(high), 0);
    ::UpdateWindow(ProgressBar1);
}

void MainWindowT::HideProgress(bool toZero) {
    if (toZero) ::SendMessageA(ProgressBar1, PBM_SETPOS, 0, 0);
    ::ShowWindow(ProgressBar1, SW_HIDE);
    ::UpdateWindow(Hwnd());
}

void MainWindowT::EnableButton(ButtonT button, bool enabled) {
    HWND h = Button(button);
    // A disabled control keeps no focus: hand it on, or the keyboard would
    // reach nothing.
    if (!enabled && ::GetFocus() == h) {
        HWND next = ::GetNextDlgTabItem(Hwnd(), h, FALSE);
        ::SetFocus(next != nullptr && next != h ? next : Hwnd());
    }
    ::EnableWindow(h, enabled ? TRUE : FALSE);
    ::UpdateWindow(h);
}

void MainWindowT::StartTimer1(unsigned ms) { ::SetTimer(Hwnd(), kTimer1, ms, nullptr); }

void MainWindowT::StopTimer1() { ::KillTimer(Hwnd(), kTimer1); }

std::optional<std::string> MainWindowT::AskRomFile() {
    std::vector<char> name(32768, '\0');
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Hwnd();
    ofn.lpstrFilter = "ROM File (*.rom)\0*.rom\0All Files (*.*)\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = name.data();
    ofn.nMaxFile = static_cast<DWORD>(name.size());
    // The default title, no initial folder; the program's own folder stays
    // its working folder.
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (::GetOpenFileNameA(&ofn) == FALSE) return std::nullopt;
    return std::string(name.data());
}

void MainWindowT::Repaint() {
    ::RedrawWindow(Hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void MainWindowT::SetPortLabel(const std::string& name) {
    ::SetWindowTextA(Label7, name.c_str());
    ::UpdateWindow(Label7);
    ::UpdateWindow(Hwnd());
}

void MainWindowT::ShowAndFocus() {
    ::EnableWindow(Hwnd(), TRUE);
    ::ShowWindow(Hwnd(), SW_SHOW);
    ::SetForegroundWindow(Hwnd());
    ::SetActiveWindow(Hwnd());
    if (HWND first = FirstTabStop(); first != nullptr && !::IsChild(Hwnd(), ::GetFocus())) ::SetFocus(first);
}

LRESULT MainWindowT::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(Hwnd(), &ps);
        Paint(dc);
        ::EndPaint(Hwnd(), &ps);
        return 0;
    }
    case WM_CTLCOLORSTATIC: {
        const auto control = reinterpret_cast<HWND>(lParam);
        const auto dc = reinterpret_cast<HDC>(wParam);
        // The status text stays white although read-only; what sits in
        // GroupBox1 takes its menu colour.
        if (control == Memo1) {
            ::SetBkColor(dc, RGB(255, 255, 255));
            return reinterpret_cast<LRESULT>(white_);
        }
        if (control == LabelReason || control == GroupBox1) {
            ::SetBkColor(dc, ::GetSysColor(COLOR_MENU));
            return reinterpret_cast<LRESULT>(menu_);
        }
        break;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (HIWORD(wParam) == BN_CLICKED && id > kButtonId && id <= kButtonId + 6)
            events_.MainButton(static_cast<ButtonT>(id - kButtonId));
        return 0;
    }
    case WM_TIMER:
        if (wParam == kTimer1) {
            // One-shot: it fires once per start.
            ::KillTimer(Hwnd(), kTimer1);
            events_.Timer1Fired();
        }
        return 0;
    case WM_ACTIVATE:
        KeepFocus(wParam);
        if (LOWORD(wParam) != WA_INACTIVE) events_.MainActivated();
        return 0;
    case WM_CLOSE:
        events_.MainClosing();
        return 0;
    default:
        break;
    }
    return WindowT::Handle(message, wParam, lParam);
}
