#pragma once
// What zelmo-cli does differently on Linux and on Windows, behind one header:
// PlatformPosix.cpp or PlatformWin32.cpp is built, as the serial layer picks
// its port. The simulated board and several boards at once are Linux-only;
// main.cpp refuses them on Windows with a message.
#include <cstdio>
#include <string>

#include "Reporter.h"

// True when f writes to a terminal (the progress bar redraws in place).
bool IsTerminal(std::FILE* f);

// Ctrl-C (and, on Linux, SIGTERM) end the command at any step: the bar is
// ended, how far the command got is said, the port closed and the process
// ends with the interrupted code. Call before any thread starts.
void HandleInterrupts(Reporter& reporter, const std::string& command);

// Standard output was closed under --json (its reader went away): on Linux
// the command ends as interrupted, saying so on stderr. Nothing on Windows.
void OutputClosed();
