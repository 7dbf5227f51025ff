// Randomized programming runs on the in-process simulated board, each with
// a fault drawn at random, each in a process of its own. Every run's
// outcome is checked against the simulated flash: a reported success must
// mean that the flash holds the file and the serial-number area is intact;
// a refused file must leave the flash as it was.
//
//   zelmo-soak [--runs N] [--jobs J] [--seed S] [--timeout SECONDS] [--no-line-faults]
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FlashMemT.h"
#include "InProcessBoard.h"
#include "VirtualLine.h"
#include "LoadSequence.h"
#include "PortNames.h"
#include "SxFile.h"
#include "Target.h"

namespace {

constexpr std::uint32_t kSerialArea = 0x47F000;
constexpr std::uint32_t kSerialSize = 0x1000;

enum class Fault { None, FailWord, FailSector, ResetMidUpload, BadFile, Pipe, Vanish, Drops, Flips, Silence, Slow, Count };
const char* Name(Fault f) {
    switch (f) {
        case Fault::None: return "none";
        case Fault::FailWord: return "failing word";
        case Fault::FailSector: return "failing sector";
        case Fault::ResetMidUpload: return "reset mid-upload";
        case Fault::BadFile: return "bad file";
        case Fault::Pipe: return "pipe as file";
        case Fault::Vanish: return "port vanishes (hang-up)";
        case Fault::Drops: return "characters lost";
        case Fault::Flips: return "bits flipped (NAKs, resends)";
        case Fault::Silence: return "line silent at a random point";
        case Fault::Slow: return "line fails above 38,400 baud";
        default: return "?";
    }
}

// What a run ended with, as its exit code.
enum Result : int {
    kSucceeded = 0,      // reported success, flash verified
    kFailedConnect = 10,
    kFailedUpload = 11,  // erase or upload (or the file) reported failure
    kRefusedFile = 12,   // bad file refused, flash untouched
    kFalseSuccess = 20,  // reported success, flash does not hold the file
    kErasedByBadFile = 21,
    kSetupError = 30,
};

const char* Name(int result) {
    switch (result) {
        case kSucceeded: return "succeeded, verified";
        case kFailedConnect: return "failure reported: connect or daemon";
        case kFailedUpload: return "failure reported: erase or upload";
        case kRefusedFile: return "bad file refused, flash untouched";
        case kFalseSuccess: return "FALSE SUCCESS";
        case kErasedByBadFile: return "BOARD ERASED BY A BAD FILE";
        case kSetupError: return "soak set-up error";
        default: return "crash or hang";
    }
}

class QuietView final : public SequenceViewT {
public:
    void SetStatus(const std::string& text) override { last = text; }
    void SetLamp(LampT) override {}
    void ShowProgress(unsigned, unsigned) override {}
    void HideProgress() override {}
    void DisableStart() override {}
    void EnableReset() override {}
    void DaemonReady() override {}
    void UploadSucceeded() override {}
    void SetProgress(int) override {}
    void FillProgress() override {}
    void ToggleUploadLamp() override { ++blocks; }
    void EnableRestart() override {}
    void StepTimed(const char* step, double) override { lastStep = step; }
    std::string last;
    std::string lastStep;  // the step that ended last: the failing one after a failure
    std::atomic<int> blocks{0};
};

struct Record {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
};

// Random records below the serial-number area: up to three runs of
// consecutive records of one random size, each in a slice of its own, in
// shuffled order now and then.
std::vector<Record> RandomRom(std::mt19937& random) {
    std::vector<Record> out;
    const std::uint32_t runs = 1 + static_cast<std::uint32_t>(random() % 3);
    const std::uint32_t slice = (kSerialArea - 0x400000) / runs;
    for (std::uint32_t r = 0; r < runs; ++r) {
        const std::uint32_t size = std::array{8u, 16u, 32u, 64u, 250u}[random() % 5];
        const std::uint32_t count = 1 + static_cast<std::uint32_t>(random() % 120);
        std::uint32_t at = 0x400000 + r * slice + static_cast<std::uint32_t>(random() % (slice - size * count));
        at &= ~1u;
        for (std::uint32_t i = 0; i < count; ++i, at += size) {
            Record rec{at, std::vector<std::uint8_t>(size)};
            for (auto& b : rec.data) b = static_cast<std::uint8_t>(random());
            out.push_back(std::move(rec));
        }
    }
    if (random() % 4 == 0) std::shuffle(out.begin(), out.end(), random);
    return out;
}

std::string RomText(const std::vector<Record>& records, bool bad) {
    std::string path = std::filesystem::temp_directory_path() / ("zelmo-soak-" + std::to_string(::getpid()) + ".s37");
    {
        SXFILE_T out(path.c_str(), kModeOut | kModeTrunc);
        for (const auto& r : records) out.WriteRecord(r.address, static_cast<std::uint8_t>(r.data.size()), r.data.data(), '3');
        out.WriteRecord(0, 0, nullptr, '7');
    }
    std::string text = ReadRomImage(path.c_str()).text;
    std::filesystem::remove(path);
    if (bad) {
        // One checksum digit changed in a record somewhere in the middle.
        std::size_t at = 0;
        for (std::size_t n = records.size() / 2; n > 0; --n) at = text.find('\n', at) + 1;
        const std::size_t end = text.find('\n', at);
        text[end - 1] = text[end - 1] == '0' ? '1' : '0';
    }
    return text;
}

// Without line faults only the board's own faults and the file's are drawn.
bool gLineFaults = true;

// Where a run whose port vanished leaves the step and the seconds to the
// reported failure.
std::string VanishFile(std::uint32_t seed) {
    return (std::filesystem::temp_directory_path() / ("zelmo-soak-vanish-" + std::to_string(seed))).string();
}

Fault Draw(std::mt19937& random) {
    const unsigned kinds = static_cast<unsigned>(gLineFaults ? Fault::Count : Fault::Drops);
    return static_cast<Fault>(random() % kinds);
}

// Half the runs take every speed-up (zelmo-cli program --fast): the fast
// stage at 57,600 with compressed chunks, sector erase and the rest. Drawn
// from a generator of its own: next to the fault's draw, consecutive seeds
// gave some faults only one way.
bool DrawFast(std::uint32_t seed) {
    std::seed_seq sequence{seed, 0x46415354u};
    std::mt19937 random(sequence);
    return random() % 2 == 0;
}

FastOptionsT FastAll() {
    FastOptionsT f;
    f.sectorErase = true;
    f.noPause = true;
    f.fullFrames = true;
    f.skipBlank = true;
    f.monitorFirst = true;
    f.firstLoader = true;
    f.stage = true;
    f.compress = true;
    return f;
}

// One run, in the child process.
int RunOnce(std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto fault = Draw(random);
    const bool fast = DrawFast(seed);
    const auto records = RandomRom(random);
    const bool bad = fault == Fault::BadFile;
    const std::string text = RomText(records, bad);

    sim::SimulatedBoardOptions options;
    auto& line = options.lineFaults;
    line.seed = seed;
    const double rate = 0.0005 * static_cast<double>(1 + random() % 20);  // 0.05 % to 1 %
    if (fault == Fault::Slow) line.maxBaud = 38400;
    if (fault == Fault::Drops) line.dropRate = rate;
    if (fault == Fault::Flips) line.flipRate = rate;
    if (fault == Fault::Silence) {
        line.silenceAfter = 1 + random() % 20000;  // bring-up to the end of the upload
        line.silenceMs = 200 + static_cast<std::uint32_t>(random() % 5000);
    }
    std::string error;
    auto board = sim::InProcessBoard::Start(options, "soak:board", &error);
    if (!board) return kSetupError;
    BindPort(0, "soak:board");
    SelectedPort = 0;
    // A known pattern in the flash before the run, serial-number area included.
    std::vector<std::uint8_t> before(0x80000);
    for (std::size_t i = 0; i < before.size(); ++i) before[i] = static_cast<std::uint8_t>(i * 131 + seed);
    board->board().WriteMemory(0x400000, before);

    switch (fault) {
        case Fault::FailWord:
            board->board().FailFlashWord(records[random() % records.size()].address);
            break;
        case Fault::FailSector: board->board().FailFlashSector(static_cast<unsigned>(random() % 11)); break;
        default: break;
    }

    RomImageT rom;
    if (fault == Fault::Pipe) {
        // The file comes through a FIFO, written by another thread.
        const std::string fifo = std::filesystem::temp_directory_path() / ("zelmo-soak-" + std::to_string(::getpid()));
        ::mkfifo(fifo.c_str(), 0600);
        std::thread writer([&] {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            if (fd >= 0) {
                const auto wrote = ::write(fd, text.data(), text.size());
                (void)wrote;
                ::close(fd);
            }
        });
        rom = ReadRomImage(fifo.c_str());
        writer.join();
        std::filesystem::remove(fifo);
    } else {
        rom = ParseRomImage(text);
    }

    QuietView view;
    std::atomic<bool> done{false};
    std::thread resetter;
    if (fault == Fault::ResetMidUpload) {
        const int afterBlocks = 1 + static_cast<int>(random() % 10);
        resetter = std::thread([&, afterBlocks] {
            while (!done && view.blocks < afterBlocks) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!done) board->board().Reset();
        });
    }

    // The port vanishes at a random moment of the run; how long the loader
    // takes to report it, and in which step, goes to the parent.
    std::thread vanisher;
    std::chrono::steady_clock::time_point vanished{};
    std::atomic<bool> hungUp{false};
    if (fault == Fault::Vanish) {
        const auto after = std::chrono::milliseconds(random() % 8000);
        vanisher = std::thread([&, after] {
            const auto until = std::chrono::steady_clock::now() + after;
            while (!done && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (done) return;
            vanished = std::chrono::steady_clock::now();
            hungUp = true;
            board->line().HangUp();
        });
    }

    ResetTargetConfiguration();
    LoadTargetConfiguration();
    const FastOptionsT speedUps = fast ? FastAll() : FastOptionsT{};
    const ConnectOutcomeT connected = RunConnectSequence(view, speedUps);
    UploadOutcomeT uploaded = UploadOutcomeT::Failed;
    if (connected == ConnectOutcomeT::DaemonStarted || connected == ConnectOutcomeT::DaemonAlreadyRunning)
        uploaded = RunUploadSequence(view, "soak.s37", rom, speedUps);
    done = true;
    const auto ended = std::chrono::steady_clock::now();
    if (resetter.joinable()) resetter.join();
    if (vanisher.joinable()) vanisher.join();
    if (hungUp) {
        const double seconds = std::chrono::duration<double>(ended - vanished).count();
        if (FILE* f = std::fopen(VanishFile(seed).c_str(), "w")) {
            std::fprintf(f, "%s %.3f\n", view.lastStep.empty() ? "bring-up" : view.lastStep.c_str(), seconds);
            std::fclose(f);
        }
    }
    ResetTargetState();  // the link closes before the board goes
    board->board().Stop();

    const auto flash = board->board().ReadMemory(0x400000, 0x80000);
    if (const char* trace = std::getenv("ZELMO_SOAK_TRACE")) {
        // The line as the board saw it, for looking into one seed.
        if (FILE* f = std::fopen(trace, "w")) {
            for (const auto& e : board->board().LineTrace())
                std::fprintf(f, "%.6f %s %02X%s\n", static_cast<double>(e.time) * 1e-12, e.toBoard ? ">" : "<", e.byte,
                             e.framingError ? " framing" : "");
            std::fclose(f);
        }
    }
    if (connected != ConnectOutcomeT::DaemonStarted && connected != ConnectOutcomeT::DaemonAlreadyRunning)
        return kFailedConnect;
    if (bad) {
        if (uploaded == UploadOutcomeT::Completed) return kFalseSuccess;
        return flash == before ? kRefusedFile : kErasedByBadFile;
    }
    if (uploaded != UploadOutcomeT::Completed) return kFailedUpload;
    // Success: every byte of the file, and the serial-number area as it was.
    std::map<std::uint32_t, std::uint8_t> expected;
    for (const auto& r : records)
        for (std::size_t i = 0; i < r.data.size(); ++i) expected[r.address + static_cast<std::uint32_t>(i)] = r.data[i];
    for (const auto& [address, value] : expected)
        if (flash[address - 0x400000] != value) {
            std::fprintf(stderr, "seed %u (%s): 0x%06X holds 0x%02X, the file 0x%02X\n", seed, Name(fault),
                         static_cast<unsigned>(address), flash[address - 0x400000], value);
            return kFalseSuccess;
        }
    for (std::uint32_t i = 0; i < kSerialSize; ++i)
        if (flash[kSerialArea - 0x400000 + i] != before[kSerialArea - 0x400000 + i]) {
            std::fprintf(stderr, "seed %u (%s): the serial-number area changed at 0x%06X\n", seed, Name(fault),
                         static_cast<unsigned>(kSerialArea + i));
            return kFalseSuccess;
        }
    return kSucceeded;
}

struct Child {
    pid_t pid;
    std::uint32_t seed;
    std::chrono::steady_clock::time_point start;
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 1000;
    int jobs = 2;
    std::uint32_t seed = static_cast<std::uint32_t>(std::random_device{}());
    double timeout = 600;
    const char* usage = "usage: zelmo-soak [--runs N] [--jobs J] [--seed S] [--timeout SECONDS] [--no-line-faults]\n";
    long one = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string o = argv[i];
        if (o == "--no-line-faults") {
            gLineFaults = false;
            continue;
        }
        // Anything else unknown (--help included) is refused rather than
        // starting a thousand runs.
        const bool valued = o == "--runs" || o == "--jobs" || o == "--seed" || o == "--timeout" || o == "--one";
        if (!valued || i + 1 >= argc) {
            std::fputs(usage, o == "--help" || o == "-h" ? stdout : stderr);
            return o == "--help" || o == "-h" ? 0 : 2;
        }
        const char* v = argv[++i];
        if (o == "--runs") runs = std::atoi(v);
        else if (o == "--jobs") jobs = std::max(1, std::atoi(v));
        else if (o == "--seed") seed = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 0));
        else if (o == "--timeout") timeout = std::atof(v);
        else one = static_cast<long>(std::strtoul(v, nullptr, 0));
    }
    if (one >= 0) return RunOnce(static_cast<std::uint32_t>(one));
    std::printf("soak: %d runs, %d at a time, seed %u\n", runs, jobs, seed);
    std::fflush(stdout);

    std::map<int, int> results;
    std::map<std::string, int> faults;
    std::map<std::string, double> vanishWorst;  // step: longest from the hang-up to the failure
    int hangs = 0;
    double longest = 0;
    std::vector<Child> running;
    int started = 0;
    const auto begin = std::chrono::steady_clock::now();
    while (started < runs || !running.empty()) {
        while (started < runs && static_cast<int>(running.size()) < jobs) {
            const std::uint32_t s = seed + static_cast<std::uint32_t>(started++);
            std::mt19937 peek(s);
            const Fault f = Draw(peek);
            faults[std::string(Name(f)) + (DrawFast(s) ? ", --fast" : "")]++;
            const pid_t pid = ::fork();
            if (pid == 0) {
                const std::string arg = std::to_string(s);
                if (gLineFaults) ::execl(argv[0], argv[0], "--one", arg.c_str(), static_cast<char*>(nullptr));
                else ::execl(argv[0], argv[0], "--no-line-faults", "--one", arg.c_str(), static_cast<char*>(nullptr));
                ::_exit(kSetupError);
            }
            running.push_back({pid, s, std::chrono::steady_clock::now()});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (auto it = running.begin(); it != running.end();) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - it->start).count();
            int status = 0;
            const pid_t done = ::waitpid(it->pid, &status, WNOHANG);
            if (done == 0 && seconds < timeout) {
                ++it;
                continue;
            }
            if (done == 0) {
                ::kill(it->pid, SIGKILL);
                ::waitpid(it->pid, &status, 0);
                ++hangs;
                std::printf("soak: seed %u hung (killed after %.0f s)\n", it->seed, seconds);
            } else {
                const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                results[code]++;
                const std::string vanish = VanishFile(it->seed);
                if (FILE* f = std::fopen(vanish.c_str(), "r")) {
                    char step[32] = {};
                    double s = 0;
                    if (std::fscanf(f, "%31s %lf", step, &s) == 2) vanishWorst[step] = std::max(vanishWorst[step], s);
                    std::fclose(f);
                    std::remove(vanish.c_str());
                }
                if (code != kSucceeded && code != kFailedConnect && code != kFailedUpload && code != kRefusedFile)
                    std::printf("soak: seed %u: %s (status %d)\n", it->seed, Name(code), status);
            }
            longest = std::max(longest, seconds);
            it = running.erase(it);
        }
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    auto count = [&](int code) { return results.count(code) ? results[code] : 0; };
    int crashes = 0;
    for (const auto& [code, n] : results)
        if (code != kSucceeded && code != kFailedConnect && code != kFailedUpload && code != kRefusedFile &&
            code != kFalseSuccess && code != kErasedByBadFile)
            crashes += n;
    std::printf("\n%-40s %6s\n", "faults drawn", "runs");
    for (const auto& [name, n] : faults) std::printf("  %-38s %6d\n", name.c_str(), n);
    std::printf("%-40s %6s\n", "outcome", "runs");
    for (int code : {kSucceeded, kFailedConnect, kFailedUpload, kRefusedFile})
        std::printf("  %-38s %6d\n", Name(code), count(code));
    std::printf("  %-38s %6d   (must be 0)\n", "false successes", count(kFalseSuccess));
    std::printf("  %-38s %6d   (must be 0)\n", "boards erased by a bad file", count(kErasedByBadFile));
    std::printf("  %-38s %6d   (must be 0)\n", "crashes and hangs", crashes + hangs);
    std::printf("  %-38s %6d\n", "runs", runs);
    std::printf("  %-38s %6.1f s\n", "longest run", longest);
    std::printf("  %-38s %6.1f s\n", "all runs", total);
    if (!vanishWorst.empty()) {
        std::printf("%-40s\n", "port vanished: longest to the failure");
        for (const auto& [step, s] : vanishWorst) std::printf("  %-38s %6.1f s\n", step.c_str(), s);
    }
    const bool sound = count(kFalseSuccess) == 0 && count(kErasedByBadFile) == 0 && crashes + hangs == 0;
    return sound ? 0 : 1;
}
