// The project's daemon, from the image the loader carries, running on the
// simulated board: download through the monitor, start, speed change, flash
// work, line break, return to the monitor.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "DaemonImage.h"
#include "HexConv.h"
#include "SimTestUtil.h"

namespace {

using namespace simtest;
using sim::kPicosPerMilli;

// Stores the image through the monitor, in blocks of up to 225 bytes.
void Download(sim::Board& b) {
    Bytes block;
    std::uint32_t at = 0;
    auto flush = [&] {
        if (!block.empty()) {
            ASSERT_EQ(Exchange(b, Store(at, block), 1), Bytes{kAck});
        }
        block.clear();
    };
    for (const char* p = daemonImage; *p == 'S';) {
        std::uint8_t count = 0;
        HexToByte(p + 2, 1, count);
        if (p[1] == '3') {
            std::uint32_t a = 0;
            HexToLong(p + 4, 4, a);
            if (!block.empty() && (at + block.size() != a || block.size() + count - 5u > 225)) flush();
            if (block.empty()) at = a;
            for (unsigned i = 0; i + 5u < count; ++i) {
                std::uint8_t v = 0;
                HexToByte(p + 12 + 2 * i, 1, v);
                block.push_back(v);
            }
        }
        p += 4 + 2 * count;
    }
    flush();
}

// The board's core is a 68020 model: an instruction that only the CPU32 has
// (table lookup, low-power stop, background mode) would fault on it, and a
// word the CPU32 cannot decode (listed as .short) would be an illegal
// instruction on the board. The daemon's code (its objects' text sections;
// the command table in its read-only data is not code) must have neither.
TEST(Daemon, CodeHasOnlyInstructionsBothCpusRun) {
    const std::string dir = std::filesystem::path(ZELMO_DAEMON_ELF).parent_path().string();
    std::string cmd = std::string(M68K_OBJDUMP) + " -d -m m68k:cpu32 -j .text -j .text.startup -j .text.entry";
    for (const char* o : {"de_entry.o", "de_demon.o", "de_am29f400.o", "de_mc68681.o"}) cmd += " " + dir + "/" + o;
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string listing;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) listing += line;
    EXPECT_EQ(pclose(pipe), 0);
    ASSERT_NE(listing.find("<entry_point>:"), std::string::npos);
    ASSERT_NE(listing.find("<mc_reset_baud>:"), std::string::npos);
    for (const char* m : {"\ttbls", "\ttblu", "\ttblsn", "\ttblun", "\tlpstop", "\tbgnd", "\t.short"}) {
        const auto at = listing.find(m);
        EXPECT_EQ(at, std::string::npos) << "not for both CPUs: " << listing.substr(listing.rfind('\n', at) + 1, 60);
    }
}

TEST(Daemon, RunsOnTheBoardFromDownloadToReturnToMonitor) {
    sim::BoardOptions o;
    o.timing = sim::TimingProfile::Typical;
    auto board = sim::Board::Create(o);
    ASSERT_NE(board, nullptr);
    sim::Board& b = *board;
    // Chip selects for flash and RAM, as bring-up writes them.
    ASSERT_EQ(Exchange(b, Store(0xFFF048, {0x00, 0x07, 0xFF, 0x7D, 0x00, 0x40, 0x00, 0x13}), 1), Bytes{kAck});
    ASSERT_EQ(Exchange(b, Store(0xFFF050, {0x00, 0x0F, 0xFF, 0x71, 0x00, 0x49, 0x00, 0x13}), 1), Bytes{kAck});
    Download(b);
    ASSERT_EQ(Exchange(b, RunAt(daemonLoadAddress), 1), Bytes{kAck});
    EXPECT_EQ(b.Mode(), sim::BoardMode::Cpu);

    // 38400: the ACK leaves at 9600, then the channel follows.
    ASSERT_EQ(Exchange(b, Frame(0x86, {0x0C}), 1), Bytes{kAck});
    b.RunFor(5 * kPicosPerMilli);
    EXPECT_EQ(b.DuartClockSelect(sim::Channel::A), 0xCC);
    b.SetHostFormat(sim::k38400_8N1);
    const auto fast = sim::k38400_8N1;
    EXPECT_EQ(Exchange(b, {0x05}, 1, 2000 * kPicosPerMilli, fast), Bytes{kAck});

    // Program 4 bytes, read them back with a data reply, erase their sector.
    ASSERT_EQ(Exchange(b, Frame(0x84, WithAddress(0x420000, {0xCA, 0xFE, 0x12, 0x34})), 1, 2000 * kPicosPerMilli, fast),
              Bytes{kAck});
    EXPECT_EQ(b.ReadMemory(0x420000, 4), (Bytes{0xCA, 0xFE, 0x12, 0x34}));
    const Bytes reply = Exchange(b, Frame(0x80, WithAddress(0x420000, {0x04})), 10, 2000 * kPicosPerMilli, fast);
    EXPECT_EQ(reply, Frame(0x92, {0xCA, 0xFE, 0x12, 0x34}));
    // Programming a 1 over a 0 fails: NAK.
    EXPECT_EQ(Exchange(b, Frame(0x84, WithAddress(0x420000, {0xFF, 0xFF})), 1, 2000 * kPicosPerMilli, fast),
              Bytes{0x15});
    // A word whose cells fail: the daemon's read-back gives up, NAK.
    b.FailFlashWord(0x420010);
    EXPECT_EQ(Exchange(b, Frame(0x84, WithAddress(0x420010, {0x00, 0x00})), 1, 2000 * kPicosPerMilli, fast),
              Bytes{0x15});
    EXPECT_EQ(b.ReadMemory(0x420010, 2), (Bytes{0xFF, 0xFF}));
    b.ClearFlashFaults();
    ASSERT_EQ(Exchange(b, Frame(0x83, Address(0x428000)), 1, 5000 * kPicosPerMilli, fast), Bytes{kAck});
    EXPECT_EQ(b.ReadMemory(0x420000, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(b.FlashCounters().sectorErases, 1u);

    // A line break puts both channels back to 9600.
    b.HostBreak(true);
    b.RunFor(500 * kPicosPerMilli);
    b.HostBreak(false);
    b.RunFor(50 * kPicosPerMilli);
    EXPECT_EQ(b.DuartClockSelect(sim::Channel::A), 0xBB);
    EXPECT_EQ(b.DuartClockSelect(sim::Channel::B), 0xBB);
    b.SetHostFormat(sim::k9600_8N1);
    b.TakeHostReceived();
    EXPECT_EQ(Exchange(b, {0x05}, 1), Bytes{kAck});

    // Back to the monitor through its re-entry point.
    Exchange(b, Frame(0x87, {}), 0, 50 * kPicosPerMilli);
    EXPECT_EQ(b.Mode(), sim::BoardMode::Monitor);
    EXPECT_EQ(b.CpuPc(), sim::kReentry1DA);
    EXPECT_EQ(Exchange(b, {0x05, 0x0A, 0x14, 0x28}, 1), Bytes{kAck});
    EXPECT_TRUE(b.Faults().empty());
}

}  // namespace
