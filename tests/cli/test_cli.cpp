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

#include <unistd.h>

#include "../common/RunShell.h"
#include "../srec/SrecTestUtil.h"

namespace {

// Runs a shell command and collects its standard output and error.
RunResult Shell(const std::string& command) { return RunShell(command, " 2>&1"); }

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

// Every data byte of rom stands at its address in the saved flash image.
void ExpectFlashHolds(const std::string& dump, const char* romPath) {
    SXFILE_T rom(romPath, kModeIn | kModeNoCreate);
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

TEST(Cli, ProgramsTheSimulatedBoardAndShowsItsGreeting) {
    const RunResult r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --simulate --restart --monitor 1");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ExpectInOrder(r.output, kSuccess);
}

// A trace that cannot be written (a full disk) is said at once; the job
// itself goes on and its result stands.
TEST(Cli, ATraceThatCannotBeWrittenIsSaidAndTheJobGoesOn) {
    const RunResult r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --simulate --trace /dev/full");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("warning: the trace file could not be written (No space left on device)"), std::string::npos)
        << r.output;
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
    EXPECT_EQ(r.exitCode, 4) << r.output;  // no connection
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
    ExpectFlashHolds(dump, ZELMO_EXAMPLE_ROM);
}

TEST(Cli, ProgramsFromAPipeAndNamesWhatCannotBeOpened) {
    ScratchDir dir;
    const std::string dump = dir.Path("flash.s37");
    // A pipe can be read only once: the check and the upload share one reading.
    RunResult r = Shell("cat " + std::string(ZELMO_EXAMPLE_ROM) + " | " + ZELMO_CLI +
                        " program /dev/stdin --simulate --sim-save " + dump);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ExpectFlashHolds(dump, ZELMO_EXAMPLE_ROM);

    r = Shell(std::string(ZELMO_CLI) + " program " + dir.Path("") + " --simulate");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("Is a directory"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Connecting"), std::string::npos);

    // A file the user may not read (root reads anything: run as nobody).
    const auto locked = dir.Write("locked.s37", ReadAll(ZELMO_EXAMPLE_ROM));
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    r = Shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(ZELMO_CLI) + " program " + locked +
              " --simulate");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("Permission denied"), std::string::npos) << r.output;

    r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --port " + dir.Path("nothing"));
    EXPECT_EQ(r.exitCode, 3) << r.output;  // the port could not be opened
    EXPECT_NE(r.output.find("Time Out - Cannot connect to target ...."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("cannot open " + dir.Path("nothing") + ": No such file or directory"), std::string::npos)
        << r.output;
}

// Runs command and returns its standard output only.
RunResult Stdout(const std::string& command) { return Shell(command + " 2>/dev/null"); }

std::string Cli() { return ZELMO_CLI; }

// The flash image of an S-record file as srec_cat sees it, 0xFF where empty.
std::string FlashBytes(const ScratchDir& dir, const std::string& srec) {
    const std::string bin = dir.Path("flash.bin");
    const RunResult r = Shell("srec_cat " + srec + " -fill 0xFF 0x400000 0x480000 -crop 0x400000 0x480000 -offset "
                              "-0x400000 -o " + bin + " -binary");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return ReadAll(bin);
}

TEST(CliBoard, VerifyReadAndEraseOnTheSimulatedFlash) {
    ScratchDir dir;
    const std::string saved = dir.Path("saved.s37"), bad = dir.Path("bad.s37"), read = dir.Path("read.s37");
    RunResult r = Shell(Cli() + " program " + ZELMO_EXAMPLE_ROM + " --verify --simulate --sim-save " + saved);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Verify passed: 156 bytes match"), std::string::npos) << r.output;

    // A word that did not stick: verify names it and counts both bytes.
    ASSERT_EQ(Shell("srec_cat " + saved + " -exclude 0x400440 0x400442 -generate 0x400440 0x400442 -constant 0x55 -o " +
                    bad).exitCode, 0);
    r = Shell(Cli() + " verify " + ZELMO_EXAMPLE_ROM + " --simulate --sim-flash " + bad);
    EXPECT_EQ(r.exitCode, 8) << r.output;
    EXPECT_NE(r.output.find("2 of 156 bytes differ, the first at 0x400440"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Erasing"), std::string::npos) << r.output;

    // read gives back the flash byte for byte, through srec_cat (4 KiB:
    // the whole flash takes half a minute on the instrumented build).
    r = Shell(Cli() + " read 0x400000 0x1000 -o " + read + " --simulate -q --sim-flash " + bad);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::string text = ReadAll(read);
    EXPECT_EQ(text.rfind("S0", 0), 0u);
    EXPECT_NE(text.find("\nS315004004405555"), std::string::npos);  // 16 data bytes a record
    EXPECT_NE(text.find("\nS70500400000BA\n"), std::string::npos);
    const std::string flash = FlashBytes(dir, bad);
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(FlashBytes(dir, read).substr(0, 0x1000), flash.substr(0, 0x1000));
    // At an odd start, an odd length.
    r = Shell(Cli() + " read 0x400431 37 -o " + read + " --simulate -q --sim-flash " + bad);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::string part = FlashBytes(dir, read);
    EXPECT_EQ(part.substr(0x431, 37), flash.substr(0x431, 37));
    EXPECT_EQ(part.find_first_not_of('\xFF', 0x431 + 37), std::string::npos);

    // Sector erase by addresses inside two sectors; the rest stays.
    const std::string full = dir.Path("full.s37"), after = dir.Path("after.s37");
    ASSERT_EQ(Shell("srec_cat -generate 0x400000 0x480000 -repeat-data 0x12 0x34 -o " + full).exitCode, 0);
    r = Shell(Cli() + " erase --sector 0x404001 0x460000 --simulate -q --sim-flash " + full + " --sim-save " + after);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::string erased = FlashBytes(dir, after);
    EXPECT_EQ(erased.find('\xFF'), 0x4000u);
    EXPECT_EQ(erased.find_first_not_of('\xFF', 0x4000), 0x6000u);
    EXPECT_EQ(erased.find('\xFF', 0x6000), 0x60000u);
    EXPECT_EQ(erased.find_first_not_of('\xFF', 0x60000), 0x70000u);
    EXPECT_EQ(erased.find('\xFF', 0x70000), std::string::npos);
    // The sector that holds the serial-number area is refused.
    r = Shell(Cli() + " erase --sector 0x470000 --simulate");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("serial-number area"), std::string::npos) << r.output;
    // The serial-number area alone.
    r = Shell(Cli() + " erase --serial-number --simulate -q --sim-flash " + full + " --sim-save " + after);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    erased = FlashBytes(dir, after);
    EXPECT_EQ(erased.find('\xFF'), 0x7F000u);

    // Usage: an address outside the flash, an odd run address, no board.
    EXPECT_EQ(Shell(Cli() + " erase --sector 0x480000 --simulate").exitCode, 2);
    EXPECT_EQ(Shell(Cli() + " run 0x400421 --simulate").exitCode, 2);
    EXPECT_EQ(Shell(Cli() + " read 0x400000 0 -o " + read + " --simulate").exitCode, 2);
    // An output file that cannot be written is not a usage error.
    EXPECT_EQ(Shell(Cli() + " read --all -o " + dir.Path("no/such/dir.s37") + " --simulate").exitCode, 1);
    EXPECT_EQ(Shell(Cli() + " program --bogus").exitCode, 2);
    r = Shell(Cli() + " --help");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("8  verify: the flash differs from the file"), std::string::npos) << r.output;
}

// A file saved from another board carries that board's serial number: it
// is refused before anything is erased, unless this board's area is blank
// or already holds the same, or the option says so.
TEST(CliBoard, TheBoardsSerialNumberIsNeverProgrammedOver) {
    ScratchDir dir;
    const std::string board = dir.Path("board.s37"), other = dir.Path("other.s37"), same = dir.Path("same.s37"),
                      after = dir.Path("after.s37");
    ASSERT_EQ(Shell("srec_cat -generate 0x47F000 0x47F004 -repeat-string 3132 -o " + board).exitCode, 0);
    ASSERT_EQ(Shell("srec_cat -generate 0x400000 0x400010 -constant 0x11 -generate 0x47F000 0x47F004 "
                    "-repeat-string 1102 -o " + other).exitCode, 0);
    ASSERT_EQ(Shell("srec_cat -generate 0x400000 0x400010 -constant 0x11 -generate 0x47F000 0x47F004 "
                    "-repeat-string 3132 -o " + same).exitCode, 0);
    const std::string onBoard = " --simulate --sim-flash " + board + " --sim-save " + after;

    RunResult r = Shell(Cli() + " program " + other + onBoard);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("serial-number area 0x47F000 to 0x47FFFF, which holds this board's own (at 0x47F000 "
                            "the board holds 0x33, the file 0x31); nothing was erased"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Erasing"), std::string::npos) << r.output;
    EXPECT_EQ(FlashBytes(dir, after).substr(0x7F000, 5), "3132\xFF");

    r = Shell(Cli() + " program " + same + onBoard);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(FlashBytes(dir, after).substr(0x7F000, 4), "3132");
    r = Shell(Cli() + " program " + other + " --simulate --sim-save " + after);  // a blank area
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(FlashBytes(dir, after).substr(0x7F000, 4), "1102");

    // On purpose: the file's bytes are programmed over the kept area (here
    // they only clear bits, so the flash takes them).
    r = Shell(Cli() + " program " + other + onBoard + " --overwrite-serial-number");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(FlashBytes(dir, after).substr(0x7F000, 4), "1102");
}

TEST(CliBoard, JsonEventsParseAndComeInOrder) {
    ScratchDir dir;
    const std::string out = dir.Path("events.jsonl");
    RunResult r = Shell("(" + Cli() + " program " + ZELMO_EXAMPLE_ROM + " --verify --simulate --json > " + out + ")");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    // Human text went to stderr; stdout is JSON, checked by a real parser.
    EXPECT_NE(r.output.find("Load file completed"), std::string::npos);
    r = Shell("python3 -c 'import json,sys\n"
              "e=[json.loads(l) for l in open(sys.argv[1])]\n"
              "k=[x[\"event\"] for x in e]\n"
              "s=[x[\"text\"] for x in e if x[\"event\"]==\"status\"]\n"
              "p=[x[\"name\"] for x in e if x[\"event\"]==\"phase\"]\n"
              "up=[x[\"done\"] for x in e if x[\"event\"]==\"progress\" and x[\"phase\"]==\"upload\"]\n"
              "assert k[-1]==\"result\" and e[-1][\"exit\"]==0 and e[-1][\"compared\"]==156, e[-1]\n"
              "assert p==[\"bring-up\",\"download\",\"erase\",\"upload\",\"check\",\"verify\"], p\n"
              "assert s.index(\"FLASH memory erased ....\")<s.index(\"Load file completed ...\"), s\n"
              "assert up==sorted(up) and up[-1]==156, up\n"
              "print(\"ok\")' " + out);
    EXPECT_EQ(r.exitCode, 0) << r.output << ReadAll(out);

    // A failure is a result too, with its code.
    r = Stdout(Cli() + " verify " + ZELMO_EXAMPLE_ROM + " --json --port " + dir.Path("missing"));
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.output.find("\"event\":\"result\",\"command\":\"verify\",\"exit\":3,\"ok\":false"),
              std::string::npos) << r.output;

    // Every refusal ends with one result that has a summary, and a name in
    // no UTF-8 stays valid JSON; a port given twice is refused.
    const std::string odd = dir.Write("rom-\xFF.s37", "S30500400000BA\n");
    const std::string lines = dir.Path("refusals.jsonl");
    Shell("((" + Cli() + " program --json --bogus; " + Cli() + " read 0x400000 --json --simulate -o x; " + Cli() +
          " inspect --json '" + odd + "'; " + Cli() + " verify " + ZELMO_EXAMPLE_ROM +
          " --json --port P --port P) 2>/dev/null) > " + lines);
    r = Shell("python3 -c 'import json,sys\n"
              "e=[json.loads(l) for l in open(sys.argv[1], encoding=\"utf-8\")]\n"
              "r=[x for x in e if x[\"event\"]==\"result\"]\n"
              "assert [x[\"exit\"] for x in r]==[2,2,2,2], r\n"
              "assert all(x[\"summary\"] for x in r), r\n"
              "assert \"given twice\" in r[3][\"summary\"] and \"no data bytes\" in r[2][\"summary\"], r\n"
              "print(\"ok\")' " + lines);
    EXPECT_EQ(r.exitCode, 0) << r.output << ReadAll(lines);
}

TEST(CliFile, InspectShowsRangesBlocksAndSectorsOrTheBadLine) {
    ScratchDir dir;
    const std::string s2 = dir.Path("s2.srec"), s3 = dir.Path("s3.srec"), s1 = dir.Path("s1.srec");
    // S2 records with a gap, from srec_cat.
    ASSERT_EQ(Shell("srec_cat -generate 0x400000 0x400300 -repeat-data 1 2 3 -generate 0x410000 0x410010 -constant 7 "
                    "-o " + s2 + " -address-length=3").exitCode, 0);
    RunResult r = Shell(Cli() + " inspect " + s2);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("S2 "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0x400000 .. 0x4002FF  768 bytes"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0x410000 .. 0x41000F  16 bytes"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Sectors:  0 (0x400000) 4 (0x410000)"), std::string::npos) << r.output;
    // 768 bytes in records of 32: blocks of 256 bytes (two frames each), then the gap's own.
    EXPECT_NE(r.output.find("4 blocks in 7 frames"), std::string::npos) << r.output;

    // Unsorted S3 records: the top half first.
    ASSERT_EQ(Shell("(srec_cat -generate 0x47F800 0x47F900 -constant 1 -o - -address-length=4 | grep -v '^S[5-9]'; "
                    "srec_cat -generate 0x400000 0x400100 -constant 2 -o - -address-length=4) > " + s3).exitCode, 0);
    r = Stdout(Cli() + " inspect --json " + s3);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("\"out_of_order\":1"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"ranges\":2"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"serial_number_area\":true"), std::string::npos) << r.output;

    // S1 addresses lie below the flash; a changed checksum names its line.
    ASSERT_EQ(Shell("srec_cat -generate 0x1000 0x1010 -constant 3 -o " + s1 + " -address-length=2").exitCode, 0);
    r = Shell(Cli() + " inspect " + s1);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("outside the flash"), std::string::npos) << r.output;
    std::string text = ReadAll(s2);
    const std::size_t second = text.find('\n') + 1, end = text.find('\n', second);
    text[end - 1] = text[end - 1] == '0' ? '1' : '0';
    r = Shell(Cli() + " inspect " + dir.Write("bad.srec", text));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("line 2 is not a valid data record"), std::string::npos) << r.output;
}

TEST(CliFile, PortsListsTwentyRows) {
    const RunResult r = Stdout(Cli() + " ports");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("\n1      COM1 "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\n20     COM20 "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("of 20 rows reach a device"), std::string::npos) << r.output;
}

// zelmo-sim on a pseudo-terminal linked at `link`, with more options; the
// pid, or -1 when the link did not appear.
pid_t StartSimWith(const std::string& link, std::vector<std::string> options) {
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

// zelmo-sim saving its flash to dump at exit.
pid_t StartSim(const std::string& link, const std::string& dump) { return StartSimWith(link, {"--dump", dump}); }

TEST(CliBoard, SeveralBoardsOneSilent) {
    ScratchDir dir;
    const std::string link = dir.Path("board"), silent = dir.Path("silent"), dump = dir.Path("flash.s37");
    const pid_t sim = StartSim(link, dump);
    ASSERT_GT(sim, 0);
    const RunResult r = Shell("python3 -c 'import os,pty,sys,subprocess; m,s=pty.openpty(); "
                              "os.symlink(os.ttyname(s), \"" + silent + "\"); "
                              "sys.exit(subprocess.call([\"" ZELMO_CLI "\", \"program\", \"" ZELMO_EXAMPLE_ROM
                              "\", \"--port\", \"" + link + "\", \"--port\", \"" + silent + "\"]))'");
    ::kill(sim, SIGINT);
    int status = 0;
    ::waitpid(sim, &status, 0);
    EXPECT_EQ(r.exitCode, 4) << r.output;  // the silent one: no connection
    ExpectInOrder(r.output, {"[" + link + "] Load file completed ...", "\nBoard ", link, " ok ", silent,
                             " failed (4) ", "1 of 2 boards succeeded"});
    ExpectFlashHolds(dump, ZELMO_EXAMPLE_ROM);
}

// Interrupts a real-time run once `when` shows in its output; the output.
std::string InterruptWhen(const std::string& when, const std::vector<const char*>& extra = {}) {
    ScratchDir dir;
    const std::string out = dir.Path("out.txt");
    std::vector<const char*> args{ZELMO_CLI, "program", ZELMO_EXAMPLE_ROM, "--simulate", "--sim-real-time"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
        ::execv(ZELMO_CLI, const_cast<char* const*>(args.data()));
        ::_exit(127);
    }
    for (int i = 0; i < 400 && ReadAll(out).find(when) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    return ReadAll(out);
}

TEST(CliBoard, CtrlCSaysHowFarItGot) {
    // The real-time board takes seconds to take the daemon at 9600 baud.
    std::string text = InterruptWhen("download ");
    EXPECT_NE(text.find("interrupted: connected, "), std::string::npos) << text;
    EXPECT_NE(text.find("% daemon loaded"), std::string::npos) << text;
    // During an erase: the board goes on without the loader, and says so.
    text = InterruptWhen("Erasing", {"--sim-typical-timing"});
    EXPECT_NE(text.find("during erase; the board may still be erasing"), std::string::npos) << text;
}

TEST(CliBoard, ProgressBarOnATerminal) {
    ScratchDir dir;
    const std::string session = "zelmo-cli-test-" + std::to_string(::getpid());
    const std::string screen = dir.Path("screen.txt");
    const RunResult r = Shell("tmux new-session -d -x 120 -y 30 -s " + session + " '" + Cli() + " program " +
                              ZELMO_EXAMPLE_ROM + " --simulate --verify; tmux wait-for -S " + session + "; sleep 60' && "
                              "tmux wait-for " + session + " && tmux capture-pane -p -t " + session + " > " + screen +
                              "; tmux kill-session -t " + session);
    const std::string text = ReadAll(screen);
    EXPECT_NE(text.find("upload   [##############################] 100%  156 B of 156 B"), std::string::npos)
        << r.output << text;
    EXPECT_NE(text.find("verify   [#"), std::string::npos) << text;
    EXPECT_NE(text.find("Verify passed"), std::string::npos) << text;
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
    const pid_t pid = StartSimWith(link, {});
    ASSERT_GT(pid, 0);
    std::filesystem::remove(link);
    dir.Write("board", "mine now");
    EXPECT_EQ(StopSim(pid), 0);
    EXPECT_EQ(Contents(link), "mine now");
}

// The pty's owner dies while the loader waits for the erase's status, as
// when a USB adapter is unplugged: the port's failure ends the run (exit 3)
// with the system's reason, where the loader once waited out the erase's
// two minutes and blamed the daemon.
TEST(CliBoard, AVanishedPortEndsTheStepWithItsReason) {
    ScratchDir dir;
    const std::string link = dir.Path("board"), out = dir.Path("out.txt");
    const pid_t sim = StartSimWith(link, {"--real-time", "--timing", "slowest"});
    ASSERT_GT(sim, 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
        ::execl(ZELMO_CLI, ZELMO_CLI, "program", ZELMO_EXAMPLE_ROM, "--port", link.c_str(), "--json",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 600 && ReadAll(out).find("Erasing FLASH memory") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(sim, SIGKILL);
    int status = 0;
    ::waitpid(sim, &status, 0);
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    const std::string text = ReadAll(out);
    EXPECT_EQ(WEXITSTATUS(status), 3) << text;
    ExpectInOrder(text, {"Erasing FLASH memory", "Operation aborted - DAEMON not responding",
                         "failed: Input/output error", "; the flash may be partly erased",
                         R"("event":"result","command":"program","exit":3)", "failed: Input/output error"});
}

TEST(Cli, SimFlashFaultsFromTheCommandLine) {
    ScratchDir dir;
    const std::string link = dir.Path("board");
    const pid_t pid = StartSimWith(link, {"--fail-sector", "0"});
    ASSERT_GT(pid, 0);
    RunResult r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --port " + link);
    StopSim(pid);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("FLASH memory erased ...."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("the daemon reported that the chip did not erase"), std::string::npos) << r.output;
    // With --fast the stage erases inside its stream: the same failure,
    // named by the sector (which holds a program: a blank one is not erased).
    r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --simulate --fast --fail-sector 0 --sim-flash " +
              ZELMO_EXAMPLE_ROM);
    EXPECT_EQ(r.exitCode, 6) << r.output;
    EXPECT_NE(r.output.find("the board reported that the sector at 0x400000 did not erase"), std::string::npos)
        << r.output;
    // A word that never programs: its frame is named, refused at each send.
    const pid_t word = StartSimWith(link, {"--fail-word", "400440"});
    ASSERT_GT(word, 0);
    r = Shell(std::string(ZELMO_CLI) + " program " + ZELMO_EXAMPLE_ROM + " --port " + link);
    StopSim(word);
    EXPECT_EQ(r.exitCode, 7) << r.output;
    ExpectInOrder(r.output, {"Load ROM file ERROR...", "the flash would not program 0x4004",
                             " (refused at every send); the flash is erased and only partly programmed"});
    EXPECT_NE(Shell(ZELMO_SIM " --fail-word 4000zz").exitCode, 0);
    EXPECT_NE(Shell(ZELMO_SIM " --drop-rate 1.5").exitCode, 0);
}

}  // namespace
