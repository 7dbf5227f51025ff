#include "Win32Window.h"

#include <vector>

namespace {
// Arial keeps the narrow metrics the layout was drawn for and is on every
// Windows PC (Wine finds Liberation Sans in its place).
constexpr const char* kFace = "Arial";
}  // namespace

int SystemDpi() {
    HDC screen = ::GetDC(nullptr);
    const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != nullptr) ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

FontT::FontT(int pixels, const ScaleT& scale)
    // A negative height asks for the character height, not the cell's.
    : font_(::CreateFontA(-scale(pixels), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, kFace)) {}

FontT::~FontT() {
    if (font_ != nullptr) ::DeleteObject(font_);
}

WindowT::~WindowT() {
    if (hwnd_ != nullptr) {
        ::SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        ::DestroyWindow(hwnd_);
    }
}

void WindowT::Create(const char* className, const char* title, DWORD style, DWORD exStyle, int outerWidth,
                     int outerHeight) {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    if (::GetClassInfoExA(instance, className, &wc) == FALSE) {
        wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &WindowT::Procedure;
        wc.hInstance = instance;
        wc.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(1));
        wc.hIconSm = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                                     ::GetSystemMetrics(SM_CXSMICON),
                                                     ::GetSystemMetrics(SM_CYSMICON), 0));
        wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = className;
        ::RegisterClassExA(&wc);
    }
    RECT work{};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - outerWidth) / 2;
    const int y = work.top + (work.bottom - work.top - outerHeight) / 2;
    hwnd_ = ::CreateWindowExA(exStyle, className, title, style, x, y, outerWidth, outerHeight, nullptr, nullptr,
                              instance, this);
}

LRESULT CALLBACK WindowT::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<WindowT*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<WindowT*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcA(hwnd, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT WindowT::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcA(hwnd_, message, wParam, lParam);
}

HWND WindowT::Child(const char* className, const char* text, DWORD style, const RECT& r, int id, HFONT font,
                    DWORD exStyle) {
    HWND child = ::CreateWindowExA(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top,
                                   r.right - r.left, r.bottom - r.top, hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleA(nullptr),
                                   nullptr);
    if (child != nullptr && font != nullptr) ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

void WindowT::KeepFocus(WPARAM wParam) {
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        if (focus != nullptr && ::IsChild(hwnd_, focus)) focus_ = focus;
        return;
    }
    HWND target = focus_ != nullptr && ::IsWindowEnabled(focus_) != FALSE ? focus_ : FirstTabStop();
    if (target != nullptr) ::SetFocus(target);
}

HWND WindowT::FirstTabStop() const { return ::GetNextDlgTabItem(hwnd_, nullptr, FALSE); }

SIZE OuterSize(int width, int height, DWORD style, DWORD exStyle) {
    RECT r{0, 0, width, height};
    ::AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return {r.right - r.left, r.bottom - r.top};
}

std::string TextOf(HWND hwnd) {
    const int n = ::GetWindowTextLengthA(hwnd);
    std::vector<char> text(static_cast<std::size_t>(n) + 1, '\0');
    ::GetWindowTextA(hwnd, text.data(), n + 1);
    return std::string(text.data());
}
