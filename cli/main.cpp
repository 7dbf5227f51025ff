// zelmo-cli: the loading sequence from a terminal or a script.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "CommPort.h"
#include "DaemonDownload.h"
#include "FlashMemT.h"
#include "PortNames.h"
#include "Progress.h"
#include "RomUpload.h"
#include "StatusTexts.h"
#include "Target.h"
#include "VirtualLineAttachment.h"

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
    bool simChannelB = false;
    bool simApplication = false;
    bool simTypical = false;
    bool simRealTime = false;
    std::string simFlash;
    std::string simSave;
};

void Status(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Progress as a bar on a terminal, as occasional lines otherwise.
class ConsoleProgress final : public ProgressT {
public:
    explicit ConsoleProgress(bool tty) : tty_(tty) {}
    void Range(const char* what, int maximum) {
        what_ = what;
        maximum_ = maximum > 0 ? maximum : 1;
        lastShown_ = -1;
        blocks_ = 0;
    }
    void SetProgress(int position) override { Show(position); }
    void FillProgress() override { Show(maximum_); }
    void ToggleUploadLamp() override { ++blocks_; }
    void EnableRestart() override {}
    void Done() {
        if (tty_ && lastShown_ >= 0) std::printf("\n");
        lastShown_ = -1;
    }
    int Blocks() const { return blocks_; }

private:
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
    int blocks_ = 0;
};

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

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

int Program(const Options& o, ConsoleProgress& progress) {
    struct Phase {
        const char* name;
        double seconds;
    };
    std::vector<Phase> phases;
    auto report = [&] {
        std::string line = "  time:";
        char buf[64];
        for (const auto& p : phases) {
            std::snprintf(buf, sizeof buf, " %s %.2f s", p.name, p.seconds);
            line += buf;
        }
        if (!phases.empty()) Status(line);
    };

    Status(status::kInitializing);
    ResetTargetConfiguration();
    LoadTargetConfiguration();
    Status(status::kConnecting);
    auto t = Clock::now();
    const int connected = Connect();
    phases.push_back({"bring-up", Seconds(t)});
    if (connected == 2) {
        Status(status::kDaemonAlreadyRunning);
    } else if (connected != 1) {
        Status(status::kConnectFailed);
        report();
        return kExitFailed;
    } else {
        Status(status::kLoadingDaemon);
        progress.Range("daemon", kDaemonProgressRange);
        t = Clock::now();
        const int loaded = DownloadDaemon();
        progress.Done();
        phases.push_back({"download", Seconds(t)});
        if (loaded != 0 && loaded != 1) {
            Status(status::kDaemonLoadFailed);
            report();
            return kExitFailed;
        }
        Status(status::kDaemonRunning);
    }

    Status(status::kErasing);
    t = Clock::now();
    const int erased = EraseFlash();
    phases.push_back({"erase", Seconds(t)});
    if (erased != 0) {
        Status(erased == -100 ? status::kEraseNoDaemon : status::kEraseFailed);
        report();
        return kExitFailed;
    }
    Status(status::kErased);

    char loading[1100];
    std::snprintf(loading, sizeof loading, status::kLoadingFormat, o.file.c_str());
    Status(loading);
    progress.Range("upload", CountLines(o.file.c_str()));
    t = Clock::now();
    const int uploaded = LoadRomFile(o.file.c_str());
    progress.Done();
    phases.push_back({"upload", Seconds(t)});
    if (uploaded == 1) {
        Status(status::kLoadNoDaemon);
        report();
        return kExitFailed;
    }
    if (uploaded != 0) {
        Status(status::kLoadFailed);
        report();
        return kExitFailed;
    }
    Status(status::kLoadCompleted);
    report();

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
    auto* simB = program->add_flag("--sim-channel-b", o.simChannelB, "simulated board: console on DUART channel B");
    auto* simApp = program->add_flag("--sim-application", o.simApplication,
                                      "simulated board: an application owns the line at power-on");
    auto* simTyp = program->add_flag("--sim-typical-timing", o.simTypical,
                                     "simulated board: the flash's typical data-sheet times");
    auto* simRt = program->add_flag("--sim-real-time", o.simRealTime, "simulated board: run at the board's real speed");
    auto* simFlash = program->add_option("--sim-flash", o.simFlash, "simulated board: S-record file preloaded in flash")
                         ->check(CLI::ExistingFile);
    auto* simSave = program->add_option("--sim-save", o.simSave, "simulated board: save the flash to this S-record file at the end");
    for (auto* opt : {simB, simApp, simTyp, simRt, simFlash, simSave}) opt->needs(simulate);
    CLI11_PARSE(app, argc, argv);

    if (!o.simulate && o.port.empty()) {
        std::fprintf(stderr, "zelmo-cli: say which board: --port DEVICE or --simulate\n");
        return kExitUsage;
    }
    // Check the whole file before anything touches the board.
    const RomCheckT check = CheckRomFile(o.file.c_str());
    if (check.result != 0) {
        std::fprintf(stderr, "zelmo-cli: %s: %s\n", o.file.c_str(), RomCheckText(check).c_str());
        return kExitUsage;
    }
    std::printf("%s: %s\n", o.file.c_str(), RomCheckText(check).c_str());

    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::VirtualLineAttachment> attachment;
    if (o.simulate) {
        sim::BoardOptions bo;
        bo.channel = o.simChannelB ? sim::Channel::B : sim::Channel::A;
        bo.application = o.simApplication;
        bo.timing = o.simTypical ? sim::TimingProfile::Typical : sim::TimingProfile::Instant;
        bo.realTime = o.simRealTime;
        bo.flashImage = o.simFlash;
        std::string error;
        board = sim::Board::Create(bo, &error);
        if (board) attachment = sim::VirtualLineAttachment::Open(*board, "zelmo-cli:simulated-board", &error);
        if (!board || !attachment) {
            std::fprintf(stderr, "zelmo-cli: cannot build the simulated board: %s\n", error.c_str());
            return kExitFailed;
        }
        BindPort(0, "zelmo-cli:simulated-board");
        board->Start();
        std::printf("Simulated board on channel %s%s\n", o.simChannelB ? "B" : "A",
                    o.simApplication ? ", with its application running" : "");
    } else {
        BindPort(0, o.port);
    }
    SelectedPort = 0;

    ConsoleProgress progress(isatty(STDOUT_FILENO) != 0);
    SetProgressSink(&progress);
    const int result = Program(o, progress);
    SetProgressSink(nullptr);

    // The link closes the port before the board behind it goes away.
    TargetFlash.reset();
    TargetLink.reset();
    if (board) {
        board->Stop();
        for (const auto& f : board->Faults()) std::fprintf(stderr, "simulated board fault: %s\n", f.text.c_str());
        if (!o.simSave.empty() && board->SaveFlash(o.simSave) != 0) {
            std::fprintf(stderr, "zelmo-cli: cannot save the flash to %s\n", o.simSave.c_str());
            return kExitFailed;
        }
    }
    return result;
}
