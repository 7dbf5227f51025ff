#pragma once
// What the three windows share, whatever toolkit paints them: the command
// line, the windows' workflows, the program's options and its end.
#include <functional>
#include <string>
#include <vector>

class TForm1;
class TForm4;
class TForm5;
namespace CLI {
class App;
}

// The command line without the program name and without the options this
// program takes for itself; only its first character and whether it is
// empty matter.
extern std::string CommandLine;

extern TForm1* Form1;  // port selection; closing it ends the program
extern TForm4* Form4;  // fatal error
extern TForm5* Form5;  // main window

// The program's own options; what is left becomes CommandLine.
struct WindowOptionsT {
    std::string device;              // --device: COM1 reaches this device
    std::vector<std::string> rest;   // the command line's words
};
// Parses args (without the program name). Returns 0 with *stop false to go
// on; otherwise *stop is true and the result is the exit code (--help and
// --version print and give 0; a mistyped --option gives 2). more adds a
// toolkit's own options (the simulated board, where it exists).
int ParseWindowOptions(const std::vector<std::string>& args, WindowOptionsT& options, bool* stop,
                       const std::function<void(CLI::App&)>& more = {});
// True when args ask only for --help or --version: no display is needed.
bool HelpOrVersionAsked(const std::vector<std::string>& args);
// Joins the words left after the options into CommandLine.
std::string JoinCommandLine(const std::vector<std::string>& words);
// The program's version, for --version and the About text.
extern const char* const kWindowVersion;

// After the message loop: when "Exit" left a worker in the middle of a step,
// closes the port, so that the next program can open it, and ends the
// process around the worker (never returns). Otherwise returns.
void EndAroundAbandonedWorkers(const TForm5& form5);
