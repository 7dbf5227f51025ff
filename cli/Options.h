#pragma once
// zelmo-cli's command line as parsed, shared by every command.
#include <cstdint>
#include <string>
#include <vector>

#include "FastOptions.h"
#include "Reporter.h"
#if ZELMO_CLI_SIMULATED_BOARD
#include "SimulatedBoardOptions.h"
#endif

struct Options {
    std::string command;  // program, verify, read, erase, run, inspect, ports
    std::string file;
    std::vector<std::string> ports;
    bool simulate = false;
    bool lowLatency = false;
#if ZELMO_CLI_SIMULATED_BOARD
    sim::SimulatedBoardOptions sim;
#endif
    ReportOptions report;
    std::string trace;
    // program
    bool verify = false;
    // program and verify
    bool fastVerify = false;  // CRCs on the board; implies verify
    bool repair = false;      // with fastVerify
    bool restart = false;
    double monitorSeconds = 0;
    // program: a file may write into the serial-number area whatever it holds
    bool serialOnPurpose = false;
    // program's speed-ups: the flags as given, then what they turn on
    std::string eraseMode;  // chip, sectors, or empty (chip, sectors with --fast)
    bool fastAll = false;
    std::uint32_t stageBaud = 0;  // --baud; 0: not given
    bool firstLoader = false, noFirstLoader = false;  // --first-loader, --no-first-loader
    FastOptionsT fast;
    // read
    std::string readStart, readLength, output;
    bool readAll = false;
    // ports
    bool probe = false;
    // erase
    bool eraseChip = false, eraseSerial = false;
    std::vector<std::string> eraseSectors;
    // run
    std::string runAddress;
};
