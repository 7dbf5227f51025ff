#include "Trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "CommPort.h"

namespace {

std::mutex g_traceMutex;
std::FILE* g_trace = nullptr;
std::chrono::steady_clock::time_point g_traceStart;
std::function<void(const std::string&)> g_onError;

void Tap(bool written, std::span<const std::uint8_t> bytes) {
    std::string failed;
    std::function<void(const std::string&)> tell;
    {
        std::lock_guard lock(g_traceMutex);
        if (g_trace == nullptr) return;
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_traceStart).count();
        std::fprintf(g_trace, "%11.6f %c", t, written ? '>' : '<');
        for (const auto b : bytes) std::fprintf(g_trace, " %02X", b);
        std::fputc('\n', g_trace);
        // Flushed line by line: a trace is read after a failure, and a full
        // disk is noticed while the run can still say so.
        errno = 0;
        if (std::fflush(g_trace) == 0 && std::ferror(g_trace) == 0) return;
        const int error = errno;
        failed = "the trace file could not be written (" +
                 std::string(error != 0 ? std::strerror(error) : "write error") + "); the trace stops here";
        std::fclose(g_trace);
        g_trace = nullptr;
        tell = std::move(g_onError);
    }
    if (tell) tell(failed);
}

}  // namespace

bool StartTrace(const std::string& path, std::function<void(const std::string&)> onError) {
    std::lock_guard lock(g_traceMutex);
    g_trace = std::fopen(path.c_str(), "w");
    if (g_trace == nullptr) return false;
    g_onError = std::move(onError);
    std::fprintf(g_trace, "# seconds, > to the board, < from the board, bytes in hex\n");
    g_traceStart = std::chrono::steady_clock::now();
    CommSetTap(Tap);
    return true;
}

void StopTrace() {
    CommSetTap(nullptr);
    std::lock_guard lock(g_traceMutex);
    if (g_trace != nullptr) std::fclose(g_trace);
    g_trace = nullptr;
}
