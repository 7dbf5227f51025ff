#include "Platform.h"

#include <pthread.h>
#include <signal.h>
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
    // A closed terminal, and a reader of --json that went away (`| head`):
    // ended the same way, so stderr still says how far it got. A write to
    // the closed pipe then fails with EPIPE instead of killing the process,
    // and the reporter passes that on (OutputClosed).
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, &reporter, command] {
        int signal = 0;
        sigwait(&set, &signal);
        // 130 for Ctrl-C and SIGTERM as always; 128 + the signal otherwise,
        // as a shell reports a process the signal ended.
        const int code = signal == SIGINT || signal == SIGTERM ? exitcode::kInterrupted : 128 + signal;
        reporter.Interrupted(command, code);
        // The step in progress may hold the port: closing it under the step
        // is safe, and the process ends before the step could go on.
        CommClose();
        StopTrace();
        std::fflush(nullptr);
        std::_Exit(code);
    }).detach();
}

void OutputClosed() { ::kill(::getpid(), SIGPIPE); }
