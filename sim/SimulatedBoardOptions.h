#pragma once
// The simulated board's command-line options, the same in every program
// that offers the board (header-only, for programs that use CLI11).
#include <CLI/CLI.hpp>

#include "InProcessBoard.h"

namespace sim {

// Adds the --sim-* options; each needs `simulate` (the option that turns
// the simulated board on).
inline void AddSimulatedBoardOptions(CLI::App& app, SimulatedBoardOptions& o, CLI::Option* simulate) {
    CLI::Option* options[] = {
        app.add_flag("--sim-channel-b", o.channelB, "simulated board: console on DUART channel B"),
        app.add_flag("--sim-application", o.application, "simulated board: an application owns the line at power-on"),
        app.add_flag("--sim-typical-timing", o.typicalTiming, "simulated board: the flash's typical data-sheet times"),
        app.add_flag("--sim-real-time", o.realTime, "simulated board: run at the board's real speed"),
        app.add_option("--sim-flash", o.flashImage, "simulated board: S-record file preloaded in flash")
            ->check(CLI::ExistingFile),
        app.add_option("--sim-save", o.saveFlash, "simulated board: save the flash to this S-record file at the end"),
    };
    for (auto* opt : options) opt->needs(simulate);
}

}  // namespace sim
