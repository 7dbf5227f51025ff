#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>
#include <thread>

#include "../srec/SrecTestUtil.h"

namespace {

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// Runs a shell command and collects its standard output and error.
RunResult Shell(const std::string& command) {
    RunResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Status lines must come in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const auto& line : lines) {
        const auto found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << text;
        at = found + line.size();
    }
}

const std::vector<std::string> kSuccess{
    "Initializing internal structures and connecting to target .....", "Connecting to target .....",
    "Loading DEMON to target .... ", "DEMON is Running ... ", "Erasing FLASH memory.....",
    "FLASH memory erased ....", "Loading ", "Load file completed ...", "Hello from Zelmo! The new ROM is running."};

TEST(Cli, ProgramsTheSimulatedBoardAndShowsItsGreeting) {
    const RunResult r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --simulate --restart --monitor 1");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ExpectInOrder(r.output, kSuccess);
}

TEST(Cli, RefusesABadFileBeforeTouchingTheBoard) {
    ScratchDir dir;
    // The example ROM with one checksum digit changed on its third line.
    std::string text = ReadAll(ZELMO_EXAMPLE_ROM);
    std::size_t third = 0;
    for (int i = 0; i < 3; ++i) third = text.find('\n', third) + 1;
    const std::size_t digit = text.find_last_not_of("\r\n", third - 1);
    text[digit] = text[digit] == '0' ? '1' : '0';
    const auto bad = dir.Write("bad.s", text);
    RunResult r = Shell(std::string(ZELMO_CLI) + " program " + bad + " --simulate");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("line 3 is not a valid data record"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Connecting"), std::string::npos);

    const auto outside = dir.Write("low.s", "S1130000000102030405060708090A0B0C0D0E0F74\n");
    r = Shell(std::string(ZELMO_CLI) + " program " + outside + " --simulate");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("outside the flash"), std::string::npos) << r.output;

    r = Shell(std::string(ZELMO_CLI) + " program " + std::string(ZELMO_EXAMPLE_ROM));
    EXPECT_EQ(r.exitCode, 2);  // no board named
}

TEST(Cli, FailsWithTheWindowsTextWhenNoBoardAnswers) {
    ScratchDir dir;
    // A pseudo-terminal that nobody serves: the bring-up times out.
    const std::string link = dir.Path("silent");
    const RunResult r = Shell("python3 -c 'import os,pty,sys,subprocess; m,s=pty.openpty(); "
                        "os.symlink(os.ttyname(s), \"" + link + "\"); "
                        "sys.exit(subprocess.call([\"" ZELMO_CLI "\", \"program\", \"" ZELMO_EXAMPLE_ROM "\", \"--port\", \"" + link + "\"]))'");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("Time Out - Cannot connect to target ...."), std::string::npos) << r.output;
}

TEST(Cli, ProgramsZelmoSimThroughAPseudoTerminal) {
    ScratchDir dir;
    const std::string link = dir.Path("board");
    const std::string dump = dir.Path("flash.s37");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        ::execl(ZELMO_SIM, ZELMO_SIM, "--link", link.c_str(), "--dump", dump.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100 && !std::filesystem::exists(link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const RunResult r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --port " + link +
                        " --restart --monitor 1");
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ExpectInOrder(r.output, kSuccess);
    // The simulator saved its flash on the way out: the ROM is in it.
    SXFILE_T rom(ZELMO_EXAMPLE_ROM, kModeIn | kModeNoCreate);
    SXFILE_T saved(dump.c_str(), kModeIn | kModeNoCreate);
    ASSERT_EQ(saved.Fail(), 0);
    std::map<std::uint32_t, std::uint8_t> flash;
    for (const auto& rec : ReadAllRecords(saved))
        for (std::size_t i = 0; i < rec.data.size(); ++i) flash[rec.address + static_cast<std::uint32_t>(i)] = rec.data[i];
    std::size_t checked = 0;
    for (const auto& rec : ReadAllRecords(rom))
        for (std::size_t i = 0; i < rec.data.size(); ++i, ++checked)
            ASSERT_EQ(flash[rec.address + static_cast<std::uint32_t>(i)], rec.data[i]);
    EXPECT_GT(checked, 100u);
}

// zelmo-sim on a pseudo-terminal linked at `link`, with more options; the
// pid, or -1 when the link did not appear.
pid_t StartSim(const std::string& link, std::vector<std::string> options) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> argv{const_cast<char*>(ZELMO_SIM), const_cast<char*>("--link"), const_cast<char*>(link.c_str())};
        for (auto& o : options) argv.push_back(o.data());
        argv.push_back(nullptr);
        ::execv(ZELMO_SIM, argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 100 && !std::filesystem::is_symlink(link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return std::filesystem::is_symlink(link) ? pid : -1;
}

int StopSim(pid_t pid) {
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Cli, SimLinkNeverTakesOrRemovesWhatItDidNotMake) {
    ScratchDir dir;
    const std::string taken = dir.Write("taken", "keep me");
    const RunResult r = Shell("timeout -s INT 3 " ZELMO_SIM " --link " + taken);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(Contents(taken), "keep me");

    // Replaced by the user while the board ran: left alone at exit.
    const std::string link = dir.Path("board");
    const pid_t pid = StartSim(link, {});
    ASSERT_GT(pid, 0);
    std::filesystem::remove(link);
    dir.Write("board", "mine now");
    EXPECT_EQ(StopSim(pid), 0);
    EXPECT_EQ(Contents(link), "mine now");
}

TEST(Cli, SimFlashFaultsFromTheCommandLine) {
    ScratchDir dir;
    const std::string link = dir.Path("board");
    const pid_t pid = StartSim(link, {"--fail-sector", "0"});
    ASSERT_GT(pid, 0);
    const RunResult r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --port " + link);
    StopSim(pid);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("FLASH memory erased ...."), std::string::npos) << r.output;
    EXPECT_NE(Shell(ZELMO_SIM " --fail-word 4000zz").exitCode, 0);
    EXPECT_NE(Shell(ZELMO_SIM " --drop-rate 1.5").exitCode, 0);
}

}  // namespace
