// One table of the loader's speed: zelmo-cli programs a 64 KiB ROM of random
// data into the simulated board in several ways, each run a process of its
// own, and the phases come from its JSON events. Real-time runs use the
// board's real speed and the flash's typical times; the last row is the
// unpaced simulator, as fast as this machine runs it.
//
//   bench_table ZELMO_CLI [ROM]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
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
constexpr double kLineBytesPerSecond = 38400.0 / 10.0;  // 8N1

struct Run {
    const char* name;
    std::vector<std::string> args;
};

struct Result {
    bool ok = false;
    std::map<std::string, double> phases;
    double wall = 0, cpu = 0;
};

std::string MakeRom(std::size_t bytes) {
    const auto path = (std::filesystem::temp_directory_path() / ("zelmo-bench-" + std::to_string(::getpid()) + ".s37"))
                          .string();
    SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
    std::mt19937 rng(1);
    std::array<std::uint8_t, 32> d{};
    for (std::size_t a = 0; a < bytes; a += d.size()) {
        for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        f.WriteRecord(static_cast<std::uint32_t>(kFlashBase + a), static_cast<std::uint8_t>(d.size()), d.data(), '3');
    }
    f.WriteRecord(0, 0, nullptr, '7');
    return path;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_table ZELMO_CLI [ROM]\n");
        return 2;
    }
    const std::string cli = argv[1];
    const bool own = argc < 3;
    const std::string rom = own ? MakeRom(0x10000) : argv[2];
    const std::uintmax_t romBytes = 0x10000;

    const std::vector<std::string> realTime{"--simulate", "--sim-real-time", "--sim-typical-timing", "--json"};
    auto with = [&](std::vector<std::string> extra, bool paced = true) {
        std::vector<std::string> a{"program", rom};
        if (paced) a.insert(a.end(), realTime.begin(), realTime.end());
        else a.insert(a.end(), {"--simulate", "--json"});
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    const std::vector<Run> runs{
        {"text's sequence", with({})},
        {"  + read-back verify", with({"--verify"})},
        {"--fast (verified)", with({"--fast"})},
        {"text's, USB adapter 16 ms", with({"--sim-usb-latency", "16"})},
        {"  + --low-latency", with({"--sim-usb-latency", "16", "--low-latency"})},
        {"--fast, unpaced simulator", with({"--fast"}, false)},
    };

    std::printf("64 KiB of random data at 0x400000; real-time simulated board, typical flash times\n\n");
    std::printf("%-27s %8s %8s %8s %8s %6s %7s %8s %7s %7s %6s\n", "run", "bring-up", "download", "erase", "upload",
                "check", "verify", "total s", "vs text", "line", "cpu");
    double textTotal = 0;
    for (const Run& run : runs) {
        const Result r = RunCli(cli, run.args);
        if (!r.ok) {
            std::printf("%-27s failed\n", run.name);
            continue;
        }
        if (textTotal == 0) textTotal = r.wall;
        const auto up = r.phases.find("upload");
        char line[16] = "-";
        if (up != r.phases.end() && up->second > 0)
            std::snprintf(line, sizeof line, "%.2f", static_cast<double>(romBytes) / up->second / kLineBytesPerSecond);
        std::printf("%-27s %8s %8s %8s %8s %6s %7s %8.1f %7.2f %7s %5.1f%%\n", run.name,
                    Cell(r, "bring-up").c_str(), Cell(r, "download").c_str(), Cell(r, "erase").c_str(),
                    Cell(r, "upload").c_str(), Cell(r, "check").c_str(), Cell(r, "verify").c_str(), r.wall,
                    r.wall / textTotal, line, 100.0 * r.cpu / r.wall);
        std::fflush(stdout);
    }
    std::printf("\ncheck: the flash compared with the file by CRCs before \"Load file completed ...\"\n");
    std::printf("line: upload bytes/s over the line's 3840 bytes/s\n");
    std::printf("cpu: zelmo-cli's CPU over wall time (one core = 100%%), the simulated board in it included\n");
    if (own) std::filesystem::remove(rom);
    return 0;
}
