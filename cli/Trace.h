#pragma once
// --trace FILE: every byte on the line, one line per read or write, with the
// seconds since the trace began and the direction (> to the board, < from it).
#include <string>

// Starts writing to path; false when the file cannot be opened.
bool StartTrace(const std::string& path);
// Stops and closes the file; nothing when no trace runs.
void StopTrace();
