// One table of the loader's speed: zelmo-cli programs ROMs into the
// simulated board in several ways, each run a process of its own, and the
// phases come from its JSON events. Real-time runs use the board's real
// speed and the flash's typical times. The jobs: 64 KiB of random data,
// 64 KiB of real CPU32 code (the m68k C library's .text), a 512 KiB ROM of
// 160 KiB of code padded with 0xFF, and 512 KiB of code (less the top
// 4 KiB, the serial-number area). The board's flash holds other data
// before each run, as a board being programmed again does.
//
//   bench_table ZELMO_CLI [LIBC]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "SxFile.h"
#include "RomUpload.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    const char* name;
    std::vector<std::string> args;
};

struct Result {
    bool ok = false;
    std::string stage;  // the fast stage's report, when it ran
    std::map<std::string, double> phases;
    double wall = 0, cpu = 0;
};

std::string WriteRom(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path =
        (std::filesystem::temp_directory_path() / ("zelmo-bench-" + std::to_string(::getpid()) + "-" + name + ".s37"))
            .string();
    SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
    for (std::size_t a = 0; a < bytes.size(); a += 32) {
        const auto n = static_cast<std::uint8_t>(std::min<std::size_t>(32, bytes.size() - a));
        f.WriteRecord(static_cast<std::uint32_t>(kFlashBase + a), n, bytes.data() + a, '3');
    }
    f.WriteRecord(0, 0, nullptr, '7');
    return path;
}

std::vector<std::uint8_t> Random(std::size_t n) {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// The .text of the m68k C library, through objcopy; empty when missing.
std::vector<std::uint8_t> LibcText(const std::string& libc) {
    const auto out = (std::filesystem::temp_directory_path() / ("zelmo-bench-" + std::to_string(::getpid()) + ".text"))
                         .string();
    const std::string cmd = "m68k-linux-gnu-objcopy -O binary --only-section=.text '" + libc + "' '" + out + "'";
    std::vector<std::uint8_t> b;
    if (std::system(cmd.c_str()) == 0) {
        if (FILE* f = std::fopen(out.c_str(), "rb")) {
            int c;
            while ((c = std::fgetc(f)) != EOF) b.push_back(static_cast<std::uint8_t>(c));
            std::fclose(f);
        }
    }
    std::filesystem::remove(out);
    return b;
}

// The number after "key": in a JSON line, or -1.
double Number(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atof(line.c_str() + at + key.size() + 3);
}

std::string Text(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\":\"");
    if (at == std::string::npos) return {};
    const auto from = at + key.size() + 4;
    return line.substr(from, line.find('"', from) - from);
}

Result RunCli(const std::string& cli, const std::vector<std::string>& args) {
    Result r;
    int out[2];
    if (::pipe(out) != 0) return r;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv{const_cast<char*>(cli.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::freopen("/dev/null", "w", stderr);
        ::execv(cli.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* in = ::fdopen(out[0], "r");
    char buf[4096];
    while (in != nullptr && std::fgets(buf, sizeof buf, in) != nullptr) {
        const std::string line = buf;
        if (Text(line, "event") == "phase") r.phases[Text(line, "name")] += Number(line, "seconds");
        if (Text(line, "event") == "result") r.ok = line.find("\"ok\":true") != std::string::npos;
        if (line.find("Fast stage:") != std::string::npos) r.stage = line;
    }
    if (in != nullptr) std::fclose(in);
    int status = 0;
    rusage use{};
    ::wait4(pid, &status, 0, &use);
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    r.cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
            static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    r.ok = r.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

std::string Cell(const Result& r, const char* phase) {
    const auto it = r.phases.find(phase);
    if (it == r.phases.end()) return "-";
    char s[32];
    std::snprintf(s, sizeof s, "%.1f", it->second);
    return s;
}

// "(0.53)" in the stage's report: bytes on the line over the file's.
std::string Ratio(const Result& r) {
    const auto open = r.stage.find(" (", r.stage.find("of the file"));
    if (open == std::string::npos) return "-";
    return r.stage.substr(open + 2, r.stage.find(')', open) - open - 2);
}

std::string Baud(const Result& r) {
    const auto at = r.stage.find("Fast stage: ");
    if (at == std::string::npos) return "38400";
    return r.stage.substr(at + 12, r.stage.find(' ', at + 12) - at - 12);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_table ZELMO_CLI [LIBC]\n");
        return 2;
    }
    const std::string cli = argv[1];
    const std::string libc = argc > 2 ? argv[2] : "/usr/m68k-linux-gnu/lib/libc.so.6";
    const std::vector<std::uint8_t> code = LibcText(libc);
    if (code.size() < 0x7F000) {
        std::fprintf(stderr, "bench_table: no m68k C library at %s (scripts/setup installs it)\n", libc.c_str());
        return 2;
    }
    struct Job {
        const char* name;
        std::string rom;
        std::size_t bytes;
        const char* goal;
    };
    std::vector<std::uint8_t> padded(code.begin(), code.begin() + 160 * 1024);
    padded.resize(0x7F000, 0xFF);
    const std::vector<Job> jobs{
        {"64 KiB random", WriteRom("random", Random(0x10000)), 0x10000, "14"},
        {"64 KiB code", WriteRom("code64", {code.begin(), code.begin() + 0x10000}), 0x10000, "9"},
        {"512 KiB ROM, 160 KiB code", WriteRom("rom", padded), padded.size(), "20"},
        {"512 KiB code", WriteRom("code512", {code.begin(), code.begin() + 0x7F000}), 0x7F000, "60"},
    };
    // The board holds another program everywhere before each run (every
    // sector has to be erased), so that no erase is left out for a sector
    // already blank; the ROM job also runs over an earlier build of the same
    // layout (its padding blank already) and on a fresh, blank board.
    std::vector<std::uint8_t> other = Random(0x7F000);
    for (auto& b : other) b = static_cast<std::uint8_t>(b ^ 0x5A);
    const std::string previous = WriteRom("previous", other);
    std::vector<std::uint8_t> earlier(code.begin() + 0x40000, code.begin() + 0x40000 + 160 * 1024);
    earlier.resize(0x7F000, 0xFF);
    const std::string earlierBuild = WriteRom("earlier", earlier);
    const std::vector<std::string> realTime{"--simulate", "--sim-real-time", "--sim-typical-timing", "--json"};
    auto over = [&](const std::string& rom, const std::string& flash, std::vector<std::string> extra) {
        std::vector<std::string> a{"program", rom};
        a.insert(a.end(), realTime.begin(), realTime.end());
        if (!flash.empty()) a.insert(a.end(), {"--sim-flash", flash});
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    auto with = [&](const std::string& rom, std::vector<std::string> extra) { return over(rom, previous, extra); };
    // Today's --fast before the stage: every other speed-up.
    const std::vector<std::string> oldFast{"--erase", "sectors", "--no-pause", "--full-frames", "--skip-blank",
                                           "--monitor-first", "--low-latency"};

    std::printf("Real-time simulated board, typical flash times; every run checked against the file\n\n");
    std::printf("%-26s %-18s %7s %7s %7s %6s %8s %6s %6s %6s %5s %5s\n", "job", "run", "connect", "erase", "upload",
                "check", "total s", "ratio", "baud", "line/B", "cpu", "goal");
    for (const Job& job : jobs) {
        std::vector<Run> runs{
            {"text's sequence", with(job.rom, {})},
            {"--fast before", with(job.rom, oldFast)},
            {"--fast", with(job.rom, {"--fast"})},
        };
        if (&job == &jobs.front())
            runs.push_back({"--fast, 38400 line", with(job.rom, {"--fast", "--sim-max-baud", "38400"})});
        if (&job == &jobs[2]) {
            runs.push_back({"--fast, over build", over(job.rom, earlierBuild, {"--fast"})});
            runs.push_back({"--fast, blank board", over(job.rom, "", {"--fast"})});
        }
        double textTotal = 0;
        for (const Run& run : runs) {
            const Result r = RunCli(cli, run.args);
            if (!r.ok) {
                std::printf("%-26s %-18s failed\n", job.name, run.name);
                continue;
            }
            if (textTotal == 0) textTotal = r.wall;
            const double connect = (r.phases.count("bring-up") ? r.phases.at("bring-up") : 0) +
                                   (r.phases.count("download") ? r.phases.at("download") : 0);
            char ratio[16];
            std::snprintf(ratio, sizeof ratio, "%.2f", r.wall / textTotal);
            std::printf("%-26s %-18s %7.1f %7s %7s %6s %8.1f %6s %6s %6s %4.0f%% %5s\n", job.name, run.name, connect,
                        Cell(r, "erase").c_str(), Cell(r, "upload").c_str(), Cell(r, "check").c_str(), r.wall, ratio,
                        Baud(r).c_str(), Ratio(r).c_str(), 100.0 * r.cpu / r.wall, run.name == runs[2].name ? job.goal : "");
            std::fflush(stdout);
        }
    }
    std::printf("\nratio: total time over the text's sequence's; line/B: bytes on the line over the file's bytes\n");
    std::printf("(fast stage runs); cpu: zelmo-cli's CPU over wall time, the simulated board in it included;\n");
    std::printf("goal: the total the issue aims at, in seconds. Every run starts from a flash holding other\n");
    std::printf("data throughout, but \"over build\" (an earlier build of the same layout: its padding blank)\n");
    std::printf("and \"blank board\" (a fresh board): there the stage leaves out the erase of a blank sector\n");
    for (const Job& job : jobs) std::filesystem::remove(job.rom);
    std::filesystem::remove(previous);
    std::filesystem::remove(earlierBuild);
    return 0;
}
