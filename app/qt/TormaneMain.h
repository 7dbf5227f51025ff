#pragma once
// The program entry as a function, so that a test can run the real program
// and act on its windows once they are shown.
#include <functional>

// Returns the program's exit code; ends the process itself when "Exit" left
// a worker running.
int TormaneMain(int argc, char** argv, const std::function<void()>& afterShow = {});
