#pragma once
// The simulated board's command-line options, the same in every program
// that offers the board (header-only, for programs that use CLI11).
#include <CLI/CLI.hpp>
#include <cstdlib>

#include "InProcessBoard.h"

namespace sim {

// Hex text to its decimal value for the option that follows.
inline CLI::Validator HexAddress() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(text.c_str(), &end, 16);
            if (text.empty() || *end != '\0' || value > 0xFFFFFF) return "not a board address in hex: " + text;
            text = std::to_string(value);
            return {};
        },
        "HEX");
}

// Adds the --sim-* options and the faults; each needs `simulate` (the option that turns
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
        app.add_option("--fail-word", o.failWords, "simulated board: this flash word (hex address) never programs")
            ->transform(HexAddress()),
        app.add_option("--fail-sector", o.failSectors, "simulated board: this flash sector (0..10) never erases")
            ->check(CLI::Range(0u, 10u)),
        app.add_option("--drop-rate", o.lineFaults.dropRate, "simulated board: share of characters lost, either way")
            ->check(CLI::Range(0.0, 1.0)),
        app.add_option("--flip-rate", o.lineFaults.flipRate, "simulated board: share of characters with a bit inverted")
            ->check(CLI::Range(0.0, 1.0)),
        app.add_option("--silence-after", o.lineFaults.silenceAfter,
                       "simulated board: the line goes silent from the host's N-th character on"),
        app.add_option("--silence-ms", o.lineFaults.silenceMs, "simulated board: for this many milliseconds")
            ->default_val(1000),
        app.add_option("--fault-seed", o.lineFaults.seed, "simulated board: seed of the line faults"),
        app.add_option("--sim-max-baud", o.lineFaults.maxBaud,
                       "simulated board: the line carries nothing faster than this (a transceiver rated lower)"),
        app.add_option("--sim-usb-latency", o.usbLatencyMs,
                       "simulated board: a USB adapter's latency timer toward the host, in ms (16 is usual)")
            ->check(CLI::Range(0u, 255u)),
    };
    for (auto* opt : options) opt->needs(simulate);
}

}  // namespace sim
