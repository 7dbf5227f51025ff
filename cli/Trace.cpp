#include "Trace.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "CommPort.h"

namespace {

std::mutex g_traceMutex;
std::FILE* g_trace = nullptr;
std::chrono::steady_clock::time_point g_traceStart;

void Tap(bool written, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(g_traceMutex);
    if (g_trace == nullptr) return;
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_traceStart).count();
    std::fprintf(g_trace, "%11.6f %c", t, written ? '>' : '<');
    for (const auto b : bytes) std::fprintf(g_trace, " %02X", b);
    std::fputc('\n', g_trace);
}

}  // namespace

bool StartTrace(const std::string& path) {
    std::lock_guard lock(g_traceMutex);
    g_trace = std::fopen(path.c_str(), "w");
    if (g_trace == nullptr) return false;
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
