#include "Platform.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "CommPort.h"
#include "ExitCodes.h"
#include "Trace.h"

bool IsTerminal(std::FILE* f) { return ::isatty(::fileno(f)) != 0; }

void HandleInterrupts(Reporter& reporter, const std::string& command) {
    // Blocked in every thread and taken by one of our own, so that the
    // handling may lock the reporter and close the port.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, &reporter, command] {
        int signal = 0;
        sigwait(&set, &signal);
        reporter.Interrupted(command);
        // The step in progress may hold the port: closing it under the step
        // is safe, and the process ends before the step could go on.
        CommClose();
        StopTrace();
        std::fflush(nullptr);
        std::_Exit(exitcode::kInterrupted);
    }).detach();
}
