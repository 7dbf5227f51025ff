// Times each phase of the loading sequence for a 64 KiB ROM against the
// simulated board, the default sequence beside the --fast one: unpaced (as
// fast as the simulator goes) or, with --real-time, at the board's real
// speed with the flash's typical times.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "Board.h"
#include "DaemonDownload.h"
#include "FlashMemT.h"
#include "PortNames.h"
#include "RomUpload.h"
#include "SectorErase.h"
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
struct PhasesT {
    double connect = 0, download = 0, erase = 0, upload = 0, all = 0;
    bool ok = false;
};

// The sequence once, on a fresh board, with the speed-ups fast turns on.
PhasesT RunSequence(const std::string& rom, bool realTime, const FastOptionsT& fast) {
    PhasesT p;
    sim::BoardOptions o;
    o.realTime = realTime;
    o.timing = realTime ? sim::TimingProfile::Typical : sim::TimingProfile::Instant;
    std::string error;
    auto board = sim::Board::Create(o, &error);
    if (!board) {
        std::fprintf(stderr, "cannot build the board: %s\n", error.c_str());
        return p;
    }
    auto attachment = sim::VirtualLineAttachment::Open(*board, "bench-board", &error);
    BindPort(0, "bench-board");
    board->Start();
    ResetTargetState();
    LoadTargetConfiguration();
    const RomImageT image = ReadRomImage(rom.c_str());
    NoProgressT quiet;

    const auto total = Clock::now();
    auto t = Clock::now();
    const int c = Connect(fast);
    p.connect = Since(t);
    t = Clock::now();
    const int d = DownloadDaemon(quiet, fast.monitorFirst);
    p.download = Since(t);
    t = Clock::now();
    const int e = fast.sectorErase ? EraseTouchedSectors(image) : EraseFlash();
    p.erase = Since(t);
    t = Clock::now();
    const int u = fast.Any() ? UploadRomImageFast(image, fast, quiet) : UploadRomImage(image, 0, quiet);
    p.upload = Since(t);
    p.all = Since(total);
    p.ok = c == 1 && d == 0 && e == 0 && u == 0;

    ResetTargetState();
    board->Stop();
    attachment.reset();
    UnbindAllPorts();
    return p;
}

}  // namespace

// --real-time: at the board's real speed with the flash's typical times.
// The default sequence and the one --fast gives, phase by phase.
int main(int argc, char** argv) {
    const bool realTime = argc > 1 && std::strcmp(argv[1], "--real-time") == 0;
    const std::string rom = MakeRom(64 * 1024);
    const FastOptionsT fast{true, true, true, true, true};
    const PhasesT a = RunSequence(rom, realTime, {});
    const PhasesT b = RunSequence(rom, realTime, fast);
    std::filesystem::remove(rom);

    // Payload bytes a second over what the line carries at 38400 (3840 a second).
    auto line = [](const PhasesT& p) { return p.upload > 0 ? 65536.0 / p.upload / 3840.0 : 0.0; };
    std::printf("64 KiB ROM, %s simulator\n", realTime ? "real-time" : "unpaced");
    std::printf("  phase       default     --fast\n");
    std::printf("  bring-up  %7.2f s  %7.2f s\n", a.connect, b.connect);
    std::printf("  download  %7.2f s  %7.2f s\n", a.download, b.download);
    std::printf("  erase     %7.2f s  %7.2f s\n", a.erase, b.erase);
    std::printf("  upload    %7.2f s  %7.2f s\n", a.upload, b.upload);
    std::printf("  total     %7.2f s  %7.2f s\n", a.all, b.all);
    std::printf("  line use  %7.3f    %7.3f   (upload bytes/s / 3840)\n", line(a), line(b));
    std::printf("  result    %7s    %7s\n", a.ok ? "ok" : "FAILED", b.ok ? "ok" : "FAILED");
    return a.ok && b.ok ? 0 : 1;
}
