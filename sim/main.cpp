// zelmo-sim: the simulated board on a pseudo-terminal.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Board.h"
#include "DeviceLink.h"
#include "PtyAttachment.h"
#include "ZelmoVersion.h"

namespace {

void Usage(std::FILE* f) {
    std::fputs(
        "Usage: zelmo-sim [options]\n"
        "\n"
        "Runs a simulated board (CPU32 core, AM29F400 flash, MC68681 DUART and its\n"
        "boot monitor) and serves its console channel on a pseudo-terminal. The\n"
        "device path is printed on the first line; point zelmo at it. The board\n"
        "runs until interrupted (Ctrl-C).\n"
        "\n"
        "Options:\n"
        "  -c, --channel A|B      DUART channel of the boot monitor (default A)\n"
        "  -a, --application      an application owns the line at power-on; it hands\n"
        "                         the line to the monitor after a break, the break\n"
        "                         message and the attention request\n"
        "  -t, --timing PROFILE   flash operation times: instant (default), typical\n"
        "                         (the data sheet's: 12 us a word, 1 s a sector) or\n"
        "                         slowest (its maximums: 300 us a word, 8 s a sector)\n"
        "  -r, --real-time        run at the board's own speed; without it the board\n"
        "                         runs as fast as it can while there is work\n"
        "  -f, --flash FILE       load the flash from an S-record file at start\n"
        "  -o, --dump FILE        save the flash to an S-record file at exit\n"
        "  -l, --link PATH        also make PATH a symbolic link to the device; an\n"
        "                         existing PATH is refused (except a dangling link\n"
        "                         to a pseudo-terminal left by an earlier run), and\n"
        "                         only the link made is removed at exit\n"
        "  -T, --trace            print every character on the line to stderr\n"
        "  -p, --preset           chip selects already set: flash and RAM answer\n"
        "                         before the board's memory interface is written\n"
        "\n"
        "Faults:\n"
        "      --fail-word ADDR   the flash word at ADDR (hex, board address or\n"
        "                         offset) never programs\n"
        "      --fail-sector N    flash sector N (0..10) never erases\n"
        "      --drop-rate R      each character on the line, either way, is lost\n"
        "                         with chance R (0..1)\n"
        "      --flip-rate R      each character has one bit inverted with chance R\n"
        "      --silence-after N  the line carries nothing from the host's N-th\n"
        "      --silence-ms MS    character on, for MS milliseconds (default 1000)\n"
        "      --fault-seed S     seed of the line faults (default 1)\n"
        "  -h, --help             this text\n"
        "  -V, --version          the version of this build\n"
        "\n"
        "Limits: a pseudo-terminal carries no break, so a host's break (and with it\n"
        "the hand-over from an application, and a daemon's return to 9600 baud on a\n"
        "break) never reaches the board this way. The host's speed and framing are\n"
        "read from the terminal: a host at another speed than the board's channel\n"
        "receives garbled characters, as on a cable. A CPU fault (bus error, illegal\n"
        "instruction, ...) is printed with its PC and the board is reset.\n",
        f);
}

bool ParseNumber(const char* text, int base, std::uint64_t max, std::uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) return false;
    out = v;
    return true;
}

bool ParseRate(const char* text, double& out) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
    out = v;
    return true;
}

int BadValue(const char* option, const char* value) {
    std::fprintf(stderr, "zelmo-sim: %s: bad value \"%s\"\n", option, value);
    return 2;
}

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
    sim::BoardOptions options;
    options.lineFaults.silenceMs = 1000;
    std::vector<std::uint64_t> failWords, failSectors;
    std::string dump;
    std::string link;
    bool trace = false;
    static const option longOptions[] = {
        {"channel", required_argument, nullptr, 'c'}, {"application", no_argument, nullptr, 'a'},
        {"timing", required_argument, nullptr, 't'},  {"real-time", no_argument, nullptr, 'r'},
        {"flash", required_argument, nullptr, 'f'},   {"dump", required_argument, nullptr, 'o'},
        {"link", required_argument, nullptr, 'l'},    {"trace", no_argument, nullptr, 'T'},
        {"preset", no_argument, nullptr, 'p'},        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"fail-word", required_argument, nullptr, 'W'}, {"fail-sector", required_argument, nullptr, 'S'},
        {"drop-rate", required_argument, nullptr, 'D'}, {"flip-rate", required_argument, nullptr, 'F'},
        {"silence-after", required_argument, nullptr, 'A'}, {"silence-ms", required_argument, nullptr, 'M'},
        {"fault-seed", required_argument, nullptr, 'E'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        const int c = getopt_long(argc, argv, "c:at:rf:o:l:TphV", longOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'c':
                if (std::strcmp(optarg, "A") == 0 || std::strcmp(optarg, "a") == 0) {
                    options.channel = sim::Channel::A;
                } else if (std::strcmp(optarg, "B") == 0 || std::strcmp(optarg, "b") == 0) {
                    options.channel = sim::Channel::B;
                } else {
                    std::fprintf(stderr, "zelmo-sim: channel must be A or B, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 'a': options.application = true; break;
            case 't':
                if (std::strcmp(optarg, "instant") == 0) {
                    options.timing = sim::TimingProfile::Instant;
                } else if (std::strcmp(optarg, "typical") == 0) {
                    options.timing = sim::TimingProfile::Typical;
                } else if (std::strcmp(optarg, "slowest") == 0) {
                    options.timing = sim::TimingProfile::Slowest;
                } else {
                    std::fprintf(stderr, "zelmo-sim: timing must be instant, typical or slowest, not \"%s\"\n",
                                 optarg);
                    return 2;
                }
                break;
            case 'r': options.realTime = true; break;
            case 'f': options.flashImage = optarg; break;
            case 'o': dump = optarg; break;
            case 'l': link = optarg; break;
            case 'T': trace = true; break;
            case 'p': options.chipSelectsPreset = true; break;
            case 'W':
                if (!ParseNumber(optarg, 16, 0xFFFFFF, failWords.emplace_back())) return BadValue("--fail-word", optarg);
                break;
            case 'S':
                if (!ParseNumber(optarg, 10, sim::Am29f400::kSectors - 1, failSectors.emplace_back()))
                    return BadValue("--fail-sector", optarg);
                break;
            case 'D':
                if (!ParseRate(optarg, options.lineFaults.dropRate)) return BadValue("--drop-rate", optarg);
                break;
            case 'F':
                if (!ParseRate(optarg, options.lineFaults.flipRate)) return BadValue("--flip-rate", optarg);
                break;
            case 'A':
                if (!ParseNumber(optarg, 10, ~std::uint64_t{0}, options.lineFaults.silenceAfter))
                    return BadValue("--silence-after", optarg);
                break;
            case 'M': {
                std::uint64_t ms = 0;
                if (!ParseNumber(optarg, 10, 0xFFFFFFFF, ms)) return BadValue("--silence-ms", optarg);
                options.lineFaults.silenceMs = static_cast<std::uint32_t>(ms);
                break;
            }
            case 'E':
                if (!ParseNumber(optarg, 10, ~std::uint64_t{0}, options.lineFaults.seed)) return BadValue("--fault-seed", optarg);
                break;
            case 'h': Usage(stdout); return 0;
            case 'V': std::printf("zelmo-sim %s\n", kZelmoVersion); return 0;
            default: Usage(stderr); return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "zelmo-sim: unexpected argument \"%s\"\n", argv[optind]);
        Usage(stderr);
        return 2;
    }
    if (!trace) options.traceLimit = 0;

    std::string error;
    auto board = sim::Board::Create(options, &error);
    if (!board) {
        std::fprintf(stderr, "zelmo-sim: %s\n", error.c_str());
        return 1;
    }
    for (std::uint64_t a : failWords) board->FailFlashWord(static_cast<std::uint32_t>(a));
    for (std::uint64_t n : failSectors) board->FailFlashSector(static_cast<unsigned>(n));
    board->SetFaultCallback([](const sim::BoardFault& f) {
        if (f.kind == sim::BoardFault::Kind::MonitorStore) {
            std::fprintf(stderr, "zelmo-sim: %s (not acknowledged)\n", f.text.c_str());
        } else {
            std::fprintf(stderr, "zelmo-sim: board fault: %s at PC 0x%06X: %s\n", sim::ToString(f.kind), f.pc,
                         f.text.c_str());
        }
    });
    if (trace) {
        board->SetTraceCallback([](const sim::TraceEntry& e) {
            const double ms = static_cast<double>(e.time) / static_cast<double>(sim::kPicosPerMilli);
            if (e.isBreak) {
                std::fprintf(stderr, "%12.3f ms %s break\n", ms, e.toBoard ? "host>board" : "board>host");
            } else {
                std::fprintf(stderr, "%12.3f ms %s %02X%s\n", ms, e.toBoard ? "host>board" : "board>host", e.byte,
                             e.framingError ? " (framing error)" : "");
            }
        });
    }
    auto pty = sim::PtyAttachment::Open(*board, &error);
    if (!pty) {
        std::fprintf(stderr, "zelmo-sim: %s\n", error.c_str());
        return 1;
    }
    // Ctrl-C from here on ends the run properly (the link is removed again).
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const std::string device = pty->Path();
    if (!link.empty() && sim::MakeDeviceLink(link, device, &error) != 0) {
        std::fprintf(stderr, "zelmo-sim: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", pty->Path().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "zelmo-sim: boot monitor on channel %c at 9600 8N1%s; Ctrl-C ends\n",
                 options.channel == sim::Channel::A ? 'A' : 'B',
                 options.application ? ", application running" : "");

    board->Start();
    while (gStop == 0) {
        const timespec pause{0, 100'000'000};
        nanosleep(&pause, nullptr);
        if (board->Mode() == sim::BoardMode::Halted) {
            std::fprintf(stderr, "zelmo-sim: board reset\n");
            board->Reset();
        }
    }
    board->Stop();
    pty.reset();
    if (!link.empty()) sim::RemoveDeviceLink(link, device);
    int rc = 0;
    if (!dump.empty()) {
        if (board->SaveFlash(dump) != 0) {
            std::fprintf(stderr, "zelmo-sim: cannot write %s\n", dump.c_str());
            rc = 1;
        } else {
            std::fprintf(stderr, "zelmo-sim: flash saved to %s\n", dump.c_str());
        }
    }
    return rc;
}
