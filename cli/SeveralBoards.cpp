// Several boards at once: the port layer is process-wide, so each board gets
// a zelmo-cli process of its own, run with --json; this one shows a line per
// board as their events arrive and ends with a table of results.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <algorithm>
#include <cstring>

#include "Commands.h"
#include "ExitCodes.h"
#include "Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

struct BoardRun {
    std::string port;
    pid_t pid = -1;
    int fd = -1;
    std::string pending;  // a line not yet complete
    std::string shownStatus;
    int shownQuarter = -1;
    std::string status, phase, error, summary;
    double done = 0, total = 0;
    int exit = -1;  // from the result event
    double seconds = 0;
    Clock::time_point start;
};

volatile std::sig_atomic_t g_interrupted = 0;
pid_t g_children[64];
int g_childCount = 0;

extern "C" void ForwardInterrupt(int signal) {
    g_interrupted = 1;
    for (int i = 0; i < g_childCount; ++i) ::kill(g_children[i], signal);
}

// The arguments again, without the ports and the output options, which each
// child gets its own of.
std::vector<std::string> ChildArguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port") {
            ++i;
            continue;
        }
        if (a.rfind("--port=", 0) == 0 || a == "--json" || a == "--quiet" || a == "--verbose" || a == "-q" ||
            a == "-v")
            continue;
        args.push_back(a);
    }
    return args;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& port, int& fd) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        std::vector<std::string> all{"zelmo-cli"};
        all.insert(all.end(), args.begin(), args.end());
        for (const char* extra : {"--json", "--quiet", "--port"}) all.emplace_back(extra);
        all.push_back(port);
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(exitcode::kOther);
    }
    ::close(out[1]);
    if (pid < 0) ::close(out[0]);
    fd = pid < 0 ? -1 : out[0];
    return pid;
}

void Take(BoardRun& b, const std::string& line, Reporter& r, bool plain) {
    const std::string event = json::GetString(line, "event");
    if (event == "status") {
        b.status = json::GetString(line, "text");
        b.total = 0;
        // Plain lines: every status text as it comes.
        if (plain) std::fprintf(r.Human(), "  [%s] %s\n", b.port.c_str(), b.status.c_str());
        b.shownStatus = b.status;
    }
    else if (event == "progress") {
        b.phase = json::GetString(line, "phase");
        b.done = json::GetNumber(line, "done", 0);
        b.total = json::GetNumber(line, "total", 0);
    } else if (event == "message" && json::GetString(line, "level") == "error") b.error = json::GetString(line, "text");
    else if (event == "result") {
        b.exit = static_cast<int>(json::GetNumber(line, "exit", -1));
        b.summary = json::GetString(line, "summary");
    }
    // Our own --json carries every child's events, each naming its board.
    if (line.size() > 1 && line[0] == '{') r.RawJson("{\"board\":\"" + b.port + "\"," + line.substr(1));
}

std::string Line(const BoardRun& b) {
    if (b.exit == 0) return "done: " + b.summary;
    if (b.exit > 0) return "FAILED (" + std::to_string(b.exit) + "): " + (b.error.empty() ? b.summary : b.error);
    std::string text = b.status;
    if (b.exit < 0 && b.total > 0 && !b.phase.empty())
        text = b.phase + " " + std::to_string(static_cast<int>(b.done * 100 / b.total)) + "%  " + text;
    return text;
}

}  // namespace

int SeveralBoards(const Options& o, Reporter& r, int argc, char** argv) {
    const auto args = ChildArguments(argc, argv);
    std::vector<BoardRun> boards(o.ports.size());
    struct sigaction forward {};
    forward.sa_handler = ForwardInterrupt;
    ::sigaction(SIGINT, &forward, nullptr);
    ::sigaction(SIGTERM, &forward, nullptr);
    for (std::size_t i = 0; i < boards.size() && i < 64; ++i) {
        boards[i].port = o.ports[i];
        boards[i].start = Clock::now();
        boards[i].pid = Spawn(args, o.ports[i], boards[i].fd);
        if (boards[i].pid > 0) g_children[g_childCount++] = boards[i].pid;
    }
    const bool tty = IsTerminal(r.Human()) && !o.report.quiet;
    auto lastDrawn = Clock::now() - std::chrono::seconds(1);
    bool drawn = false;
    std::vector<std::string> printed(boards.size());
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < boards.size(); ++i)
            if (boards[i].fd >= 0) {
                fds.push_back({boards[i].fd, POLLIN, 0});
                which.push_back(i);
            }
        if (fds.empty()) break;
        if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            BoardRun& b = boards[which[k]];
            char buf[4096];
            const ssize_t n = ::read(b.fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(b.fd);
                b.fd = -1;
                b.seconds = std::chrono::duration<double>(Clock::now() - b.start).count();
                continue;
            }
            b.pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = b.pending.find('\n')) != std::string::npos;) {
                Take(b, b.pending.substr(0, nl), r, !tty && !o.report.quiet);
                b.pending.erase(0, nl + 1);
            }
        }
        if (o.report.quiet) continue;
        if (tty && Clock::now() - lastDrawn > std::chrono::milliseconds(100)) {
            // One line per board, drawn over the last drawing.
            if (drawn) std::fprintf(r.Human(), "\033[%zuA", boards.size());
            for (const auto& b : boards) std::fprintf(r.Human(), "\r\033[2K  %-20s %s\n", b.port.c_str(), Line(b).c_str());
            std::fflush(r.Human());
            drawn = true;
            lastDrawn = Clock::now();
        } else if (!tty) {
            // Plain lines: progress by quarters, and the end.
            for (std::size_t i = 0; i < boards.size(); ++i) {
                BoardRun& b = boards[i];
                const int quarter = b.total > 0 ? static_cast<int>(b.done * 4 / b.total) : -1;
                std::string text;
                if (b.exit >= 0) text = Line(b);
                else if (quarter != b.shownQuarter && quarter >= 0)
                    text = b.phase + " " + std::to_string(static_cast<int>(b.done * 100 / b.total)) + "%";
                b.shownQuarter = quarter;
                if (text.empty() || text == printed[i]) continue;
                printed[i] = text;
                std::fprintf(r.Human(), "  [%s] %s\n", b.port.c_str(), text.c_str());
            }
            std::fflush(r.Human());
        }
    }
    int result = exitcode::kOk;
    int width = 5;
    for (const auto& b : boards) width = std::max(width, static_cast<int>(b.port.size()));
    char head[160];
    std::snprintf(head, sizeof head, "\n%-*s  %-12s %8s  %s\n", width, "Board", "Result", "Time", "Details");
    std::string table = head;
    for (auto& b : boards) {
        int status = 0;
        if (b.pid > 0) ::waitpid(b.pid, &status, 0);
        // A child that died without its result counts by how it ended.
        if (b.exit < 0) b.exit = b.pid < 0 ? exitcode::kOther
                                : WIFEXITED(status) ? WEXITSTATUS(status)
                                : exitcode::kInterrupted;
        if (b.exit != 0 && result == exitcode::kOk) result = b.exit;
        char row[160];
        std::snprintf(row, sizeof row, "%-*s  %-12s %6.1f s  ", width, b.port.c_str(),
                      b.exit == 0 ? "ok" : ("failed (" + std::to_string(b.exit) + ")").c_str(), b.seconds);
        table += row + (b.exit == 0 ? b.summary : (b.error.empty() ? b.summary : b.error)) + "\n";
    }
    if (g_interrupted) result = exitcode::kInterrupted;
    std::fprintf(r.Human(), "%s", table.c_str());
    std::fflush(r.Human());
    int ok = 0;
    for (const auto& b : boards) ok += b.exit == 0;
    r.Result(o.command, result, std::to_string(ok) + " of " + std::to_string(boards.size()) + " boards succeeded",
             json::Object().Int("boards", static_cast<long long>(boards.size())).Int("succeeded", ok));
    return result;
}
