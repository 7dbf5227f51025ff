// zelmo-cli: the loading sequence and the board's memory from a terminal or
// a script. This file reads the command line and hands over to a command.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string_view>

#include "Commands.h"
#include "ExitCodes.h"
#include "Platform.h"
#include "Session.h"
#include "Trace.h"
#include "ZelmoVersion.h"

namespace {

// Output options: every command has them.
void AddOutputOptions(CLI::App& c, Options& o) {
    c.add_flag("--json", o.report.json, "one JSON object per line on stdout; human text goes to stderr");
    auto* quiet = c.add_flag("-q,--quiet", o.report.quiet, "print only errors and failed results");
    c.add_flag("-v,--verbose", o.report.verbose, "also print each step's time as it ends, and details")->excludes(quiet);
}

// Board options: the commands that talk to a board.
void AddBoardOptions(CLI::App& c, Options& o) {
    AddOutputOptions(c, o);
    auto* port = c.add_option("--port", o.ports, "serial device, COM1..COM20, or auto (the one port where a board answers "
                                                 "a probe); repeat for several boards at once");
    auto* simulate = c.add_flag("--simulate", o.simulate, "use the simulated board, in this process");
    port->excludes(simulate);
    c.add_option("--trace", o.trace, "write every byte on the line, with time and direction, to FILE");
    c.add_flag("--low-latency", o.lowLatency,
               "ask a USB adapter's driver to pass received bytes on at once, not after its latency timer");
#if ZELMO_CLI_SIMULATED_BOARD
    sim::AddSimulatedBoardOptions(c, o.sim, simulate);
#endif
}

// program's speed-ups, each on its own; none of them is on by default.
void AddFastOptions(CLI::App& c, Options& o) {
    c.add_option("--erase", o.eraseMode, "chip (the default) or sectors: only the sectors the file touches, "
                                          "keeping the serial-number area")
        ->check(CLI::IsMember({"chip", "sectors"}));
    c.add_flag("--no-pause", o.fast.noPause, "no 10 ms pause before a frame's first send (resends keep it)");
    c.add_flag("--full-frames", o.fast.fullFrames, "fill every program frame to 250 bytes across records");
    c.add_flag("--skip-blank", o.fast.skipBlank, "do not program blocks of nothing but 0xFF after the erase");
    c.add_flag("--monitor-first", o.fast.monitorFirst,
               "take a boot monitor that answers at 9600 without the hand-over, and switch speed on its ACK");
    c.add_flag("--paired-writes", o.fast.pairedWrites,
               "bring-up writes two registers with each routine the boot monitor runs");
    auto* firstLoader = c.add_flag("--first-loader", o.firstLoader,
                                   "store the daemon at 38400 through a small loader the boot monitor runs first "
                                   "(falls back to the 9600 download by itself)");
    c.add_flag("--no-first-loader", o.noFirstLoader, "with --fast: the daemon stored at 9600 by the boot monitor")
        ->excludes(firstLoader);
    c.add_flag("--stage", o.fast.stage, "upload through the fast stage: pipelined frames, the flash checked by the board, "
                                        "the erase inside its stream");
    c.add_option("--baud", o.stageBaud, "with the fast stage: 57600 (falls back to 38400 by itself) or 38400")
        ->check(CLI::IsMember({38400u, 57600u}));
    c.add_flag("--compress", o.fast.compress, "with the fast stage: compressed chunks, decoded on the board");
    c.add_flag("--fast", o.fastAll, "every speed-up: --erase sectors --no-pause --full-frames --skip-blank "
                                    "--monitor-first --paired-writes --first-loader --low-latency --stage --baud 57600 "
                                    "--compress, and --verify by CRCs as --fast-verify");
}

// What --fast turns on: this is the one place that says so. An --erase
// given on the command line wins over it.
void ApplyFastOptions(Options& o) {
    if (o.fastAll) {
        o.fast.noPause = true;
        o.fast.fullFrames = true;
        o.fast.skipBlank = true;
        o.fast.monitorFirst = true;
        o.fast.pairedWrites = true;
        o.fast.stage = true;
        o.fast.compress = true;
        o.lowLatency = true;
        if (o.verify) o.fastVerify = true;
    }
    o.fast.firstLoader = o.firstLoader || (o.fastAll && !o.noFirstLoader);
    o.fast.sectorErase = o.eraseMode == "sectors" || (o.eraseMode.empty() && o.fastAll);
    // --baud and --compress are the stage's: either brings it in.
    if (o.stageBaud != 0 || o.fast.compress) o.fast.stage = true;
    if (o.stageBaud != 0) o.fast.stageBaud = o.stageBaud;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zelmo-cli: programs the AM29F400 flash of a CPU32 board over RS-232"};
    app.require_subcommand(1);
    app.footer(exitcode::kHelp);
    app.set_version_flag("--version", std::string("zelmo-cli ") + kZelmoVersion);
    // CLI11 reads "/x" as an option on Windows; file paths start so under Wine.
    app.allow_windows_style_options(false);
    Options o;

    auto* program = app.add_subcommand("program", "connect, load the daemon, erase the flash and program a ROM file");
    program->add_option("FILE", o.file, "S-record ROM file (S1, S2 or S3 records); /dev/stdin reads a pipe")->required();
    program->add_flag("--verify", o.verify, "read back every byte the file holds and compare");
    auto* programFast = program->add_flag("--fast-verify", o.fastVerify,
        "verify by CRC-32s computed on the board, reading back only blocks that differ (implies --verify)");
    program->add_flag("--repair", o.repair, "with --fast-verify: program a differing block once more if the flash allows")
        ->needs(programFast);
    auto* restart = program->add_flag("--restart", o.restart, "run the programmed code at 0x400420 afterwards");
    program->add_option("--monitor", o.monitorSeconds, "after --restart, print what the board sends for SECONDS")
        ->check(CLI::Range(0.0, 3600.0))
        ->needs(restart);
    program->add_flag("--overwrite-serial-number", o.serialOnPurpose,
                      "program the file's bytes into the serial-number area 0x47F000..0x47FFFF even when the "
                      "board's area holds something else (only 1 bits can become 0: erase it first with "
                      "erase --serial-number)");
    AddFastOptions(*program, o);
    AddBoardOptions(*program, o);

    auto* verify = app.add_subcommand("verify", "compare the flash with a ROM file; nothing is erased or written");
    verify->add_option("FILE", o.file, "S-record ROM file")->required();
    auto* verifyFast = verify->add_flag("--fast-verify", o.fastVerify,
        "compare by CRC-32s computed on the board, reading back only blocks that differ");
    verify->add_flag("--repair", o.repair, "with --fast-verify: program a differing block once more if the flash allows")
        ->needs(verifyFast);
    AddBoardOptions(*verify, o);

    auto* read = app.add_subcommand("read", "save board memory as S3 records (16 bytes each)");
    auto* start = read->add_option("START", o.readStart, "first address (0x for hex)");
    auto* length = read->add_option("LENGTH", o.readLength, "bytes to read");
    auto* all = read->add_flag("--all", o.readAll, "the whole flash, 0x400000 to 0x47FFFF");
    all->excludes(start)->excludes(length);
    read->add_option("-o,--output", o.output, "S-record file to write")->required();
    AddBoardOptions(*read, o);

    auto* erase = app.add_subcommand("erase", "erase the chip (keeping the serial-number area), sectors, or that area");
    auto* chip = erase->add_flag("--chip", o.eraseChip, "the whole flash except the serial-number area (the default)");
    auto* sector = erase->add_option("--sector", o.eraseSectors, "the sector holding each ADDR")->expected(1, 11);
    auto* serial = erase->add_flag("--serial-number", o.eraseSerial, "the serial-number area 0x47F000..0x47FFFF");
    chip->excludes(sector)->excludes(serial);
    sector->excludes(serial);
    AddBoardOptions(*erase, o);

    auto* run = app.add_subcommand("run", "call the board's code at ADDR");
    run->add_option("ADDR", o.runAddress, "even address (0x for hex)")->required();
    run->add_option("--monitor", o.monitorSeconds, "print what the board sends for SECONDS")
        ->check(CLI::Range(0.0, 3600.0));
    AddBoardOptions(*run, o);

    auto* inspect = app.add_subcommand("inspect", "show what a ROM file holds and what programming it would send");
    inspect->add_option("FILE", o.file, "S-record file")->required();
    AddOutputOptions(*inspect, o);

    auto* ports = app.add_subcommand("ports", "list COM1..COM20, the device each reaches, and USB adapters' details");
    auto* probe = ports->add_flag("--probe", o.probe, "ask each port, one at a time, whether a board answers "
                                                      "(an ENQ at 38400 baud, then a ping at 9600); a port in use is skipped");
    ports->add_option("--port", o.ports, "with --probe: ask this device instead of the ports present; repeat")
        ->needs(probe);
    AddOutputOptions(*ports, o);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version are not errors; every other parse failure is usage.
        const int shown = app.exit(e);
        if (shown == 0) return exitcode::kOk;
        // A script reading --json still gets its one result.
        bool json = false;
        for (int i = 1; i < argc; ++i) json = json || std::string_view(argv[i]) == "--json";
        if (json) {
            const auto used = app.get_subcommands();
            ReportOptions ro;
            ro.json = true;
            ro.quiet = true;
            Reporter(ro, false).Result(used.empty() ? "" : used.front()->get_name(), exitcode::kUsage, e.what(),
                                       json::Object());
        }
        return exitcode::kUsage;
    }
    o.command = app.get_subcommands().front()->get_name();
    ApplyFastOptions(o);

    Reporter reporter(o.report, IsTerminal(o.report.json ? stderr : stdout));
    const bool board = o.command != "inspect" && o.command != "ports";
#if !ZELMO_CLI_SIMULATED_BOARD
    if (o.simulate) {
        reporter.Error("--simulate: this build has no simulated board (it runs on Linux); give --port COMn");
        reporter.Result(o.command, exitcode::kUsage, "", json::Object());
        return exitcode::kUsage;
    }
#endif
    // A refusal before the command runs: said, and the one result.
    const auto refuse = [&](const std::string& why) {
        reporter.Error(why);
        reporter.Result(o.command, exitcode::kUsage, why, json::Object());
        return exitcode::kUsage;
    };
    if (board && !o.simulate && o.ports.empty()) return refuse("say which board: --port DEVICE or --simulate");
    if (o.command == "read" && !o.readAll && (o.readStart.empty() || o.readLength.empty()))
        return refuse("read: give START and LENGTH, or --all");
    for (std::size_t i = 0; i < o.ports.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (o.ports[i] == o.ports[j]) return refuse(o.command + ": --port " + o.ports[i] + " is given twice");
    if (board && !o.simulate)
        if (const int code = ResolveAutoPort(o, reporter); code != exitcode::kOk) return code;
    if (board && o.ports.size() > 1) {
        if (!o.trace.empty() || o.command == "read") return refuse(o.command + ": --trace and read take one --port");
#ifdef _WIN32
        return refuse(o.command + ": several --port run on Linux only; on Windows start zelmo-cli.exe once per port");
#else
        return SeveralBoards(o, reporter, argc, argv);
#endif
    }
    if (!o.trace.empty() &&
        !StartTrace(o.trace, [&reporter](const std::string& why) { reporter.Warning(why); }))
        return refuse("cannot write the trace file " + o.trace);
    if (board) HandleInterrupts(reporter, o.command);

    int code = exitcode::kOther;
    if (o.command == "program") code = ProgramCommand(o, reporter);
    else if (o.command == "verify") code = VerifyCommand(o, reporter);
    else if (o.command == "read") code = ReadCommand(o, reporter);
    else if (o.command == "erase") code = EraseCommand(o, reporter);
    else if (o.command == "run") code = RunCommand(o, reporter);
    else if (o.command == "inspect") code = InspectCommand(o, reporter);
    else if (o.command == "ports") code = o.probe ? ProbeCommand(o, reporter) : PortsCommand(o, reporter);
    StopTrace();
    return code;
}
