#pragma once
// --trace FILE: every byte on the line, one line per read or write, with the
// seconds since the trace began and the direction (> to the board, < from it).
#include <string>

#include <functional>

// Starts writing to path; false when the file cannot be opened. A write
// that fails later (a full disk) stops the trace and calls onError once,
// with the reason, on the thread that was tracing.
bool StartTrace(const std::string& path, std::function<void(const std::string&)> onError = {});
// Stops and closes the file; nothing when no trace runs.
void StopTrace();
