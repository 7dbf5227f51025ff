// Times each phase of the loading sequence for a 64 KiB ROM against the
// simulated board: unpaced (as fast as the simulator goes) or, with
// --real-time, at the board's real speed with the flash's typical times.
// Then the verify of the same ROM: every byte read back, and by CRCs from
// the board's applet (first with the applet's store, then again).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <random>
#include <string>

#include "Board.h"
#include "DaemonDownload.h"
#include "FastVerify.h"
#include "FlashMemT.h"
#include "PortNames.h"
#include "RomUpload.h"
#include "SxFile.h"
#include "Target.h"
#include "VirtualLineAttachment.h"

namespace {
using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string MakeRom(std::size_t bytes) {
    const auto path = (std::filesystem::temp_directory_path() / ("zelmo-bench-64k-" + std::to_string(::getpid()) + ".s37")).string();
    SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
    std::mt19937 rng(1);
    std::array<std::uint8_t, 16> d{};
    for (std::size_t a = 0; a < bytes; a += d.size()) {
        for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        f.WriteRecord(static_cast<std::uint32_t>(kFlashBase + a), static_cast<std::uint8_t>(d.size()), d.data(), '3');
    }
    f.WriteRecord(0, 0, nullptr, '7');
    return path;
}
}  // namespace

int main(int argc, char** argv) {
    const bool realTime = argc > 1 && std::strcmp(argv[1], "--real-time") == 0;
    const std::string rom = MakeRom(64 * 1024);

    sim::BoardOptions o;
    o.realTime = realTime;
    o.timing = realTime ? sim::TimingProfile::Typical : sim::TimingProfile::Instant;
    std::string error;
    auto board = sim::Board::Create(o, &error);
    if (!board) {
        std::fprintf(stderr, "cannot build the board: %s\n", error.c_str());
        return 1;
    }
    auto attachment = sim::VirtualLineAttachment::Open(*board, "bench-board", &error);
    BindPort(0, "bench-board");
    board->Start();

    ResetTargetConfiguration();
    LoadTargetConfiguration();
    const auto total = Clock::now();
    auto t = Clock::now();
    const int c = Connect();
    const double connect = Since(t);
    t = Clock::now();
    const int d = DownloadDaemon();
    const double download = Since(t);
    t = Clock::now();
    const int e = EraseFlash();
    const double erase = Since(t);
    t = Clock::now();
    const int u = LoadRomFile(rom.c_str());
    const double upload = Since(t);
    const double all = Since(total);

    std::stringstream text;
    text << std::ifstream(rom).rdbuf();
    t = Clock::now();
    const VerifyResultT readBack = VerifyRomText(text.str(), {});
    const double readBackSeconds = Since(t);
    t = Clock::now();
    const FastVerifyResultT first = FastVerifyRomText(text.str(), {});
    const double firstSeconds = Since(t);
    t = Clock::now();
    const FastVerifyResultT again = FastVerifyRomText(text.str(), {});
    const double againSeconds = Since(t);

    TargetFlash.reset();
    TargetLink.reset();
    board->Stop();
    std::filesystem::remove(rom);
    std::printf("64 KiB ROM, %s simulator\n", realTime ? "real-time" : "unpaced");
    std::printf("  bring-up  %7.2f s  (result %d)\n", connect, c);
    std::printf("  download  %7.2f s  (result %d)\n", download, d);
    std::printf("  erase     %7.2f s  (result %d)\n", erase, e);
    std::printf("  upload    %7.2f s  (result %d)\n", upload, u);
    std::printf("  total     %7.2f s\n", all);
    std::printf("  verify, read-back         %7.2f s  (result %d, %lu differ)\n", readBackSeconds, readBack.result,
                readBack.differing);
    std::printf("  verify, CRC with store    %7.2f s  (applet %d, %lu differ)\n", firstSeconds, first.applet,
                first.verify.differing);
    std::printf("  verify, CRC again         %7.2f s  (applet %d, %lu differ)\n", againSeconds, again.applet,
                again.verify.differing);
    const bool verified = readBack.result == 0 && readBack.differing == 0 && first.applet == 0 && !first.readBack &&
                          first.verify.differing == 0 && again.applet == 0 && again.verify.differing == 0;
    return c == 1 && d == 0 && e == 0 && u == 0 && verified ? 0 : 1;
}
