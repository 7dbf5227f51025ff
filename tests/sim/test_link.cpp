// The loader's own link primitives against the simulated board: over the
// in-process virtual line and over a pseudo-terminal.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "Board.h"
#include "PortNames.h"
#include "DaemonDownload.h"
#include "PtyAttachment.h"
#include "Target.h"
#include "VesperilIO.h"
#include "VirtualLineAttachment.h"

namespace {

constexpr std::uint32_t kModule = 0xFFF000;
constexpr std::uint32_t kScratch = 0x810;

// Ping, store into RAM, run the register-write routine, read back.
void Primitives(sim::Board& board, int port) {
    VesperilIO link(port, kModule, kScratch);
    ASSERT_EQ(link.Probe(9600), 9600);
    const std::array<std::uint8_t, 8> data{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(link.WriteMemory(0x900, data, 8), 0);
    EXPECT_EQ(link.WriteRegisterWord(0x1E0A, 0x0C00), 0);
    // The chip select for the RAM above the flash (mask, then base), then a
    // store there.
    const std::array<std::uint8_t, 4> cs2mask{0x71, 0xFF, 0x0F, 0x00};  // host order of 0x000FFF71
    const std::array<std::uint8_t, 4> cs2{0x13, 0x00, 0x49, 0x00};      // host order of 0x00490013
    EXPECT_EQ(link.WriteMemory(kModule + 0x50, cs2mask, 32), 0);
    EXPECT_EQ(link.WriteMemory(kModule + 0x54, cs2, 32), 0);
    EXPECT_EQ(link.WriteMemory(0x490000, data, 8), 0);
    // The routine's return hands the line back: the monitor still answers.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(link.IsAlive());

    const auto ram = board.ReadMemory(0x900, 8);
    EXPECT_TRUE(std::equal(ram.begin(), ram.end(), data.begin()));
    const auto daemonArea = board.ReadMemory(0x490000, 8);
    EXPECT_TRUE(std::equal(daemonArea.begin(), daemonArea.end(), data.begin()));
    const auto log = board.RegisterLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], (sim::RegisterWrite{0x1E0A, 16, 0x0C00, 0, true}));
    EXPECT_EQ(log[2], (sim::RegisterWrite{0xFFF054, 32, 0x00490013, 0, false}));
    EXPECT_TRUE(board.Faults().empty());
}

TEST(Link, PrimitivesOverVirtualLine) {
    auto board = sim::Board::Create({});
    ASSERT_NE(board, nullptr);
    std::string error;
    auto att = sim::VirtualLineAttachment::Open(*board, "sim:test-link", &error);
    ASSERT_NE(att, nullptr) << error;
    // The name is now taken.
    EXPECT_EQ(sim::VirtualLineAttachment::Open(*board, "sim:test-link"), nullptr);
    ASSERT_EQ(BindPort(7, "sim:test-link"), 0);
    board->Start();
    Primitives(*board, 7);
    {
        // A host at 38400 finds nothing: the monitor listens at 9600 and the
        // line garbles what each side sends.
        VesperilIO wrong(7, kModule, kScratch);
        EXPECT_EQ(wrong.Probe(38400), VesperilIO::kNoAnswer);
    }
    board->Stop();
    UnbindPort(7);
}

TEST(Link, PrimitivesOverPseudoTerminal) {
    auto board = sim::Board::Create({});
    ASSERT_NE(board, nullptr);
    auto pty = sim::PtyAttachment::Open(*board);
    ASSERT_NE(pty, nullptr);
    ASSERT_EQ(BindPort(8, pty->Path()), 0);
    board->Start();
    Primitives(*board, 8);
    board->Stop();
    UnbindPort(8);
}

TEST(Link, BringUpFromApplicationThenDaemonDownload) {
    sim::BoardOptions o;
    o.application = true;  // the hand-over needs a break: only the virtual line carries one
    auto board = sim::Board::Create(o);
    ASSERT_NE(board, nullptr);
    auto att = sim::VirtualLineAttachment::Open(*board, "sim:test-bringup");
    ASSERT_NE(att, nullptr);
    ASSERT_EQ(BindPort(9, "sim:test-bringup"), 0);
    SelectedPort = 9;
    board->Start();
    ResetTargetConfiguration();
    LoadTargetConfiguration();
    ASSERT_EQ(Connect(), 1);
    EXPECT_EQ(board->Mode(), sim::BoardMode::Monitor);

    const std::vector<sim::RegisterWrite> table = {
        {0x1E0A, 16, 0x0C00, 0, true},      {0xFFF040, 32, 0x00001F7F, 0, false}, {0xFFF044, 32, 0x00000013, 0, false},
        {0xFFF048, 32, 0x0007FF7D, 0, false}, {0xFFF04C, 32, 0x00400013, 0, false}, {0xFFF050, 32, 0x000FFF71, 0, false},
        {0xFFF054, 32, 0x00490013, 0, false}, {0x1E38, 16, 0x0A05, 0, true},       {0x1E30, 16, 0x0382, 0, true},
        {0x1E32, 16, 0xEFFE, 0, true},      {0x1E34, 16, 0x9C35, 0, true},       {0x1E36, 16, 0x00B6, 0, true},
        {0x1E38, 16, 0x0000, 0, true},      {0x1F08, 16, 0xF903, 0, true},       {0x1F0A, 16, 0xF301, 0, true},
        {0x1F0C, 16, 0x0049, 0, true},      {0x1F0E, 16, 0x0101, 0, true},       {0x1F30, 16, 0xF903, 0, true},
        {0x1F32, 16, 0xF201, 0, true},      {0x1F34, 16, 0x0049, 0, true},       {0x1F36, 16, 0x0041, 0, true},
        {0x1F38, 16, 0xF907, 0, true},      {0x1F3A, 16, 0xF381, 0, true},       {0x1F3C, 16, 0x0040, 0, true},
        {0x1F3E, 16, 0x0141, 0, true},
    };
    EXPECT_EQ(board->RegisterLog(), table);

    // With the chip selects written, the daemon goes into RAM and runs at 38400.
    NoProgressT quiet;
    EXPECT_EQ(DownloadDaemon(quiet), 0);
    EXPECT_EQ(board->Mode(), sim::BoardMode::Cpu);
    EXPECT_EQ(board->DuartClockSelect(sim::Channel::A), 0xCC);
    EXPECT_TRUE(TargetLink->IsAlive());
    TargetLink.reset();
    board->Stop();
    EXPECT_TRUE(board->Faults().empty());
    UnbindPort(9);
}

}  // namespace
