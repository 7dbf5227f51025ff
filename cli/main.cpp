// zelmo-cli: the loading sequence from a terminal or a script.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CommPort.h"
#include "DaemonDownload.h"
#include "FlashMemT.h"
#include "LoadSequence.h"
#include "PortNames.h"
#include "Progress.h"
#include "RomUpload.h"
#ifndef _WIN32  // the simulated board is built on Linux only
#include "SimulatedBoardOptions.h"
#endif
#include "StatusTexts.h"
#include "Target.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string file;
    std::string port;
    bool simulate = false;
    bool restart = false;
    double monitorSeconds = 0;
#ifndef _WIN32
    sim::SimulatedBoardOptions sim;
#endif
};

void Status(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// The sequence's reports as lines of text; progress as a bar on a
// terminal, as occasional lines otherwise.
class ConsoleView final : public SequenceViewT {
public:
    explicit ConsoleView(bool tty) : tty_(tty) {}

    void SetStatus(const std::string& text) override {
        EndBar();
        Status(text);
    }
    void SetLamp(LampT) override {}
    void ShowProgress(unsigned, unsigned max) override {
        maximum_ = max > 0 ? static_cast<int>(max) : 1;
        lastShown_ = -1;
        what_ = daemonRunning ? "upload" : "daemon";
    }
    void HideProgress() override {}
    void DisableStart() override {}
    void EnableReset() override {}
    void DaemonReady() override {}
    void UploadSucceeded() override {}
    void StepTimed(const char* step, double seconds) override {
        EndBar();
        char buf[64];
        std::snprintf(buf, sizeof buf, " %s %.2f s", step, seconds);
        times_ += buf;
    }
    void SetProgress(int position) override { Show(position); }
    void FillProgress() override { Show(maximum_); }
    void ToggleUploadLamp() override {}
    void EnableRestart() override {}

    // The time each step took, once at the end.
    void ReportTimes() {
        EndBar();
        if (!times_.empty()) Status("  time:" + times_);
    }

private:
    void EndBar() {
        if (tty_ && lastShown_ >= 0) std::printf("\n");
        lastShown_ = -1;
    }
    void Show(int position) {
        const int percent = std::min(100, position * 100 / maximum_);
        if (tty_) {
            const int filled = percent * 40 / 100;
            std::printf("\r  %-8s [%s%s] %3d%%", what_, std::string(static_cast<std::size_t>(filled), '#').c_str(),
                        std::string(static_cast<std::size_t>(40 - filled), '.').c_str(), percent);
        } else if (lastShown_ < 0 || percent / 25 != lastShown_ / 25 || percent == 100) {
            std::printf("  %s %d%%\n", what_, percent);
        } else {
            return;
        }
        lastShown_ = percent;
        std::fflush(stdout);
    }
    bool tty_;
    const char* what_ = "";
    int maximum_ = 1;
    int lastShown_ = -1;
    std::string times_;
};

using Clock = std::chrono::steady_clock;

// Prints what the board sends for the given time.
void Monitor(double seconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::array<std::uint8_t, 256> buf{};
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        CommWaitInput(static_cast<std::int32_t>(std::max<long long>(1, std::min<long long>(left, 200))));
        const int n = CommRead(buf);
        for (int i = 0; i < n; ++i) {
            const auto c = buf[static_cast<std::size_t>(i)];
            if (c == '\r') continue;
            if (c == '\n' || (c >= 0x20 && c < 0x7F)) std::putchar(c);
            else std::printf("<%02X>", c);
        }
        std::fflush(stdout);
    }
}

int Program(const Options& o, const RomFileT& rom, ConsoleView& view) {
    Status(status::kInitializing);
    ResetTargetConfiguration();
    LoadTargetConfiguration();
    const ConnectOutcomeT connected = RunConnectSequence(view);
    if (connected == ConnectOutcomeT::Failed || connected == ConnectOutcomeT::Busy) {
        // The status text stays the operator's; the system's reason follows.
        if (const std::string why = CommOpenError(); !why.empty()) std::fprintf(stderr, "zelmo-cli: %s\n", why.c_str());
        view.ReportTimes();
        return kExitFailed;
    }
    const UploadOutcomeT uploaded = RunUploadSequence(view, o.file, rom);
    view.ReportTimes();
    if (uploaded != UploadOutcomeT::Completed) return kExitFailed;

    if (o.restart) {
        std::printf("Restarting the board at 0x%06X\n", kRestartAddress);
        std::fflush(stdout);
        RestartReceiver(kRestartAddress);
        // The board's program talks at the speed the daemon left the line at.
        if (o.monitorSeconds > 0) Monitor(o.monitorSeconds);
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zelmo-cli: programs the AM29F400 flash of a CPU32 board over RS-232"};
    app.require_subcommand(1);
    Options o;
    auto* program = app.add_subcommand("program", "connect, load the daemon, erase the flash and program a ROM file");
    program->add_option("FILE", o.file, "S-record ROM file (S1, S2 or S3 records)")->required();
    auto* port = program->add_option("--port", o.port, "serial device to use: /dev/ttyUSB0, a pseudo-terminal, ...");
    auto* simulate = program->add_flag("--simulate", o.simulate, "use the simulated board, in this process");
    port->excludes(simulate);
    program->add_flag("--restart", o.restart, "run the programmed code at 0x400420 afterwards");
    program->add_option("--monitor", o.monitorSeconds, "after --restart, print what the board sends for SECONDS")
        ->check(CLI::Range(0.0, 3600.0));
#ifndef _WIN32
    sim::AddSimulatedBoardOptions(*program, o.sim, simulate);
#endif
    CLI11_PARSE(app, argc, argv);

    if (!o.simulate && o.port.empty()) {
        std::fprintf(stderr, "zelmo-cli: say which board: --port DEVICE or --simulate\n");
        return kExitUsage;
    }
    // Read the file once and check all of it before anything touches the
    // board; the upload sends exactly what was checked.
    const RomFileT rom = ReadRomFile(o.file.c_str());
    RomCheckT check;
    if (rom.result != 0) {
        check.result = rom.result;
        check.reason = rom.reason;
    } else {
        check = CheckRomText(rom.text);
    }
    if (check.result != 0) {
        std::fprintf(stderr, "zelmo-cli: %s: %s\n", o.file.c_str(), RomCheckText(check).c_str());
        return kExitUsage;
    }
    std::printf("%s: %s\n", o.file.c_str(), RomCheckText(check).c_str());

#ifdef _WIN32
    if (o.simulate) {
        std::fprintf(stderr, "zelmo-cli: the simulated board is not available on Windows; use --port COMn\n");
        return kExitUsage;
    }
    BindPort(0, o.port);
#else
    std::unique_ptr<sim::InProcessBoard> board;
    if (o.simulate) {
        std::string error;
        board = sim::InProcessBoard::Start(o.sim, "zelmo-cli:simulated-board", &error);
        if (!board) {
            std::fprintf(stderr, "zelmo-cli: cannot build the simulated board: %s\n", error.c_str());
            return kExitFailed;
        }
        BindPort(0, "zelmo-cli:simulated-board");
        std::printf("Simulated board on channel %s%s\n", o.sim.channelB ? "B" : "A",
                    o.sim.application ? ", with its application running" : "");
    } else {
        BindPort(0, o.port);
    }
#endif
    SelectedPort = 0;

    ConsoleView view(isatty(STDOUT_FILENO) != 0);
    SetProgressSink(&view);
    const int result = Program(o, rom, view);
    SetProgressSink(nullptr);

    // The link closes the port before the board behind it goes away.
    TargetFlash.reset();
    TargetLink.reset();
#ifndef _WIN32
    if (board && board->Finish() != 0) return kExitFailed;
#endif
    return result;
}
