// Lists the visible top-level windows of a Wine session and their controls,
// with screen rectangles, so that a test can click a control by its text and
// read a control's text as the operator sees it. One line per window:
//   top <TAB> class <TAB> visible <TAB> enabled <TAB> x y w h <TAB> client x y <TAB> title
//   child <TAB> class <TAB> visible <TAB> enabled <TAB> x y w h <TAB> id <TAB> focused <TAB> text
// Children follow their window. Line ends in texts are written as \n; a
// progress bar's text is "position low high".
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

std::string Text(HWND hwnd) {
    char buffer[4096] = {};
    // WM_GETTEXT reaches another process's controls, an edit box included.
    DWORD_PTR length = 0;
    ::SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                          2000, &length);
    std::string out;
    for (const char* c = buffer; *c != '\0'; ++c) {
        if (*c == '\r') continue;
        if (*c == '\n') out += "\\n";
        else if (*c == '\t') out += ' ';
        else out += *c;
    }
    return out;
}

std::string ClassOf(HWND hwnd) {
    char name[256] = {};
    ::GetClassNameA(hwnd, name, sizeof name);
    return name;
}

void Print(const char* kind, HWND hwnd) {
    RECT r{};
    ::GetWindowRect(hwnd, &r);
    std::printf("%s\t%s\t%d\t%d\t%ld %ld %ld %ld", kind, ClassOf(hwnd).c_str(), ::IsWindowVisible(hwnd) ? 1 : 0,
                ::IsWindowEnabled(hwnd) ? 1 : 0, r.left, r.top, r.right - r.left, r.bottom - r.top);
}

BOOL CALLBACK OnChild(HWND hwnd, LPARAM focus) {
    Print("child", hwnd);
    std::string text = Text(hwnd);
    if (ClassOf(hwnd) == PROGRESS_CLASSA)
        text = std::to_string(::SendMessageA(hwnd, PBM_GETPOS, 0, 0)) + " " +
               std::to_string(::SendMessageA(hwnd, PBM_GETRANGE, TRUE, 0)) + " " +
               std::to_string(::SendMessageA(hwnd, PBM_GETRANGE, FALSE, 0));
    std::printf("\t%d\t%d\t%s\n", ::GetDlgCtrlID(hwnd), hwnd == reinterpret_cast<HWND>(focus) ? 1 : 0,
                text.c_str());
    return TRUE;
}

BOOL CALLBACK OnTop(HWND hwnd, LPARAM) {
    if (!::IsWindowVisible(hwnd)) return TRUE;
    const std::string cls = ClassOf(hwnd);
    // The program's windows, the file dialog and tooltips; not Wine's own.
    if (cls != "TForm1" && cls != "TForm4" && cls != "TForm5" && cls != "#32770" && cls != TOOLTIPS_CLASSA)
        return TRUE;
    POINT client{0, 0};
    ::ClientToScreen(hwnd, &client);
    Print("top", hwnd);
    std::printf("\t%ld %ld\t%s\n", client.x, client.y, Text(hwnd).c_str());
    // The keyboard focus of the window's thread.
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(hwnd, nullptr), &thread);
    ::EnumChildWindows(hwnd, OnChild, reinterpret_cast<LPARAM>(thread.hwndFocus));
    return TRUE;
}

}  // namespace

int main() {
    ::EnumWindows(OnTop, 0);
    std::fflush(stdout);
    return 0;
}
