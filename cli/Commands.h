#pragma once
// The commands of zelmo-cli; each returns its exit code (ExitCodes.h) and
// ends with one result report.
#include "Options.h"
#include "Reporter.h"
#include "RomImage.h"

int ProgramCommand(const Options& o, Reporter& r);  // program FILE [--verify]
int VerifyCommand(const Options& o, Reporter& r);   // verify FILE
int ReadCommand(const Options& o, Reporter& r);     // read START LENGTH -o OUT | --all
int EraseCommand(const Options& o, Reporter& r);    // erase --chip | --sector ADDR... | --serial-number
int RunCommand(const Options& o, Reporter& r);      // run ADDR
int InspectCommand(const Options& o, Reporter& r);  // inspect FILE
int PortsCommand(const Options& o, Reporter& r);    // ports
int ProbeCommand(const Options& o, Reporter& r);    // ports --probe [--port DEVICE...]
// --port auto: the one port where a board answers replaces "auto"; an exit
// code (0 also when auto was not asked for).
int ResolveAutoPort(Options& o, Reporter& r);
// program or another board command with several --port: a process each.
int SeveralBoards(const Options& o, Reporter& r, int argc, char** argv);

// Reads the ROM file once and checks all of it; an exit code.
int LoadRom(const std::string& path, Reporter& r, RomImageT& rom);
// Prints what the board sends for the given time (after a restart or run).
void Monitor(Reporter& r, double seconds);
