#pragma once
// Runs a shell command as a test does, collecting what it prints.
#include <sys/wait.h>

#include <cstdio>
#include <string>

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// redirect is appended to the command: " 2>&1" to collect the standard
// error too, " 2>/dev/null" to drop it.
inline RunResult RunShell(const std::string& command, const char* redirect) {
    RunResult r;
    FILE* p = ::popen((command + redirect).c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
