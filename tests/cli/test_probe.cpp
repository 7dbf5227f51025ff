// Finding the board, on real pseudo-terminals: zelmo-sim's, one that nobody
// answers, and one that another program holds. --port auto on the ports
// present: port_auto.sh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../srec/SrecTestUtil.h"

namespace {

struct RunResult {
    int exitCode = -1;
    std::string output;
};

RunResult Shell(const std::string& command) {
    RunResult r;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A pseudo-terminal whose master end the test keeps: what the probe sends
// arrives there, and nothing answers unless the test does.
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
    std::vector<unsigned char> Received() const {
        std::vector<unsigned char> bytes;
        unsigned char b[256];
        for (ssize_t n; (n = ::read(master, b, sizeof b)) > 0;) bytes.insert(bytes.end(), b, b + n);
        return bytes;
    }
};

// Another program's hold on a port, as zelmo-cli itself takes it: the
// advisory lock and the terminal's exclusive flag.
struct Holder {
    int fd;
    explicit Holder(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(::ioctl(fd, TIOCEXCL), 0);
    }
    ~Holder() {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
    bool StillHolds() const {
        int exclusive = 0;
        return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    }
};

// zelmo-sim behind a link in dir; stopped (SIGINT) on destruction.
struct Sim {
    pid_t pid = -1;
    std::string link;
    Sim(const ScratchDir& dir, const std::string& name) : link(dir.Path(name)) {
        pid = ::fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            ::execl(ZELMO_SIM, ZELMO_SIM, "--link", link.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !std::filesystem::exists(link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Sim() {
        ::kill(pid, SIGINT);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
};

// The "answer" of each probe event, by device, from --json output.
std::string AnswerOf(const std::string& json, const std::string& device) {
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"event\":\"probe\"") == std::string::npos) continue;
        if (line.find("\"device\":\"" + device + "\"") == std::string::npos) continue;
        const auto at = line.find("\"answer\":\"");
        if (at == std::string::npos) return "?";
        const auto start = at + 10;
        return line.substr(start, line.find('"', start) - start);
    }
    return "missing";
}

const std::string kCli = ZELMO_CLI;
const std::string kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

TEST(Probe, NamesTheBoardSendsOnlyThePingsAndLeavesAHeldPortAlone) {
    ScratchDir dir;
    Sim sim(dir, "board");
    Pty silent, held;
    Holder holder(held.path);
    const RunResult r = Shell(kCli + " ports --probe --json --port " + sim.link + " --port " + silent.path +
                              " --port " + held.path);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(AnswerOf(r.output, sim.link), "monitor") << r.output;
    EXPECT_EQ(AnswerOf(r.output, silent.path), "none") << r.output;
    EXPECT_EQ(AnswerOf(r.output, held.path), "in-use") << r.output;
    EXPECT_NE(r.output.find("board found: " + sim.link), std::string::npos) << r.output;
    // The silent line heard two ENQs at 38400 and two pings at 9600, nothing else.
    const std::vector<unsigned char> pings{0x05, 0x05, 0x05, 0x0A, 0x14, 0x28, 0x05, 0x0A, 0x14, 0x28};
    EXPECT_EQ(silent.Received(), pings);
    // The held line heard nothing, and its holder still holds it.
    EXPECT_TRUE(held.Received().empty());
    EXPECT_TRUE(holder.StillHolds());
    const int other = ::open(held.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
    // Without --probe nothing is asked; --port auto stands alone.
    ASSERT_EQ(Shell(kCli + " ports").exitCode, 0);
    EXPECT_EQ(Shell(kCli + " run 0x400420 --port auto --port " + silent.path).exitCode, 2);
    EXPECT_TRUE(silent.Received().empty());
}

// Where the terminal's exclusive flag really refuses an open: as an
// ordinary user. The port is named, and nothing reaches it.
TEST(Probe, AnOrdinaryUserSkipsAPortHeldExclusively) {
    Pty held, free;
    ASSERT_EQ(::fchmod(held.slave, 0666), 0);
    ASSERT_EQ(::fchmod(free.slave, 0666), 0);
    Holder holder(held.path);
    const std::string user = ::geteuid() == 0 ? kAsNobody : "";
    const RunResult r = Shell(user + kCli + " ports --probe --json --port " + held.path + " --port " + free.path);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(AnswerOf(r.output, held.path), "in-use") << r.output;
    EXPECT_NE(r.output.find("opened exclusively"), std::string::npos) << r.output;
    EXPECT_EQ(AnswerOf(r.output, free.path), "none") << r.output;
    EXPECT_TRUE(held.Received().empty());
    EXPECT_FALSE(free.Received().empty());
}

TEST(Probe, FindsARunningDaemonAt38400) {
    ScratchDir dir;
    Sim sim(dir, "board");
    // A read loads the daemon, which stays at 38400 after zelmo-cli ends.
    const RunResult read = Shell(kCli + " read 0x400000 16 -o " + dir.Path("out.s37") + " --port " + sim.link);
    ASSERT_EQ(read.exitCode, 0) << read.output;
    const RunResult r = Shell(kCli + " ports --probe --json --port " + sim.link);
    EXPECT_EQ(AnswerOf(r.output, sim.link), "daemon") << r.output;
}

}  // namespace
