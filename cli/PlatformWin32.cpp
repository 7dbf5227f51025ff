#include "Platform.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>

#include "CommPort.h"
#include "ExitCodes.h"
#include "Trace.h"

bool IsTerminal(std::FILE* f) {
    // _isatty holds for NUL too; only a console has a mode. The bar redraws
    // with VT sequences, which a console obeys only when asked (Windows 10
    // on); an older one gets the plain lines.
    if (::_isatty(::_fileno(f)) == 0) return false;
    const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f)));
    DWORD mode = 0;
    if (::GetConsoleMode(console, &mode) == 0) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace {

Reporter* g_reporter = nullptr;
std::string g_command;

// Windows calls this on a thread of its own, as the POSIX build's signal
// thread does, so the same ending is safe here.
BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    g_reporter->Interrupted(g_command);
    CommClose();
    StopTrace();
    std::fflush(nullptr);
    std::_Exit(exitcode::kInterrupted);
}

}  // namespace

void HandleInterrupts(Reporter& reporter, const std::string& command) {
    g_reporter = &reporter;
    g_command = command;
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}
