#pragma once
// One board for one command: the simulated board or the port named, the
// line trace and the connect sequence with its failure turned into
// an exit code. Everything a board command shares.
#include <memory>
#include <string>

#include "ConsoleView.h"
#include "Options.h"
#include "Reporter.h"

namespace sim {
class InProcessBoard;
}

class Session {
public:
    Session(const Options& options, Reporter& reporter) : options_(options), reporter_(reporter) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Binds the port row to the board; an exit code (0 when ready).
    int Open();
    // Bring-up and daemon: 0 with the daemon running, else the exit code.
    int Connect(ConsoleView& view);
    // Closes the link, then the simulated board; an exit code.
    int Close();

private:
    const Options& options_;
    Reporter& reporter_;
#if ZELMO_CLI_SIMULATED_BOARD
    std::unique_ptr<sim::InProcessBoard> board_;
#endif
    bool closed_ = false;
};

// The row of "COM1" to "COM20" (either case) or of its number, "1" to "20",
// as `ports` lists them; else -1.
int ComRow(const std::string& name);
