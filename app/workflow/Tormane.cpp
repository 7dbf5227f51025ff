// The program's entry as every toolkit shares it: the options, the command
// line, and the end of the program around an abandoned worker.
#include "Tormane.h"

#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "CommPort.h"
#include "TForm5.h"
#include "ZelmoVersion.h"

std::string CommandLine;
TForm1* Form1 = nullptr;
TForm4* Form4 = nullptr;
TForm5* Form5 = nullptr;

namespace {
const std::string windowVersion = std::string("zelmo ") + kZelmoVersion;
}
const char* const kWindowVersion = windowVersion.c_str();

int ParseWindowOptions(const std::vector<std::string>& args, WindowOptionsT& o, bool* stop,
                       const std::function<void(CLI::App&)>& more) {
    CLI::App cli{"zelmo: the operator's window for programming the flash of a CPU32 board over RS-232.\n"
                 "Arguments left after the options form the command line: one starting with 1 or 2\n"
                 "chooses COM1 or COM2 at once; any command line starts the sequence after the first\n"
                 "file choice.",
                 "zelmo"};
    cli.allow_extras();
    cli.set_version_flag("--version", kWindowVersion);
    cli.add_option("--device", o.device, "bind COM1 to this serial device or pseudo-terminal");
    if (more) more(cli);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        cli.parse(reversed);
    } catch (const CLI::ParseError& e) {
        *stop = true;
        return cli.exit(e);
    }
    o.rest = cli.remaining();
    // A mistyped option must not pass for the command line.
    for (const auto& word : o.rest)
        if (word.rfind("--", 0) == 0) {
            std::fprintf(stderr, "zelmo: unknown option %s (see zelmo --help)\n", word.c_str());
            *stop = true;
            return 2;
        }
    *stop = false;
    return 0;
}

bool HelpOrVersionAsked(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h" || a == "--version") return true;
    return false;
}

std::string JoinCommandLine(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
    return line;
}

void EndAroundAbandonedWorkers(const TForm5& form5) {
    if (form5.WorkersIdle()) return;
    // A worker is still in the middle of a step: end around it. The port is
    // released so that the next program can open it.
    std::fflush(nullptr);
    CommClose();
    std::_Exit(0);
}
