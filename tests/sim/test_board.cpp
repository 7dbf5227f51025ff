// The simulated board as a whole: boot monitor, register-write routine on the
// CPU, register log against the bring-up sequence, chip selects, faults, the
// board application's hand-over, and flash work done by CPU code.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Board.h"
#include "../common/BringUpWrites.h"
#include "SimTestUtil.h"
#include "SxFile.h"

namespace {

using sim::Board;
using sim::BoardOptions;
using sim::kPicosPerMilli;
using namespace simtest;

std::unique_ptr<Board> Make(BoardOptions o = {}) {
    std::string error;
    auto b = Board::Create(o, &error);
    EXPECT_NE(b, nullptr) << error;
    return b;
}

TEST(Board, MonitorAnswersPingEnqAndIgnoresDamagedFrames) {
    auto b = Make();
    EXPECT_EQ(b->Mode(), sim::BoardMode::Monitor);
    EXPECT_EQ(Exchange(*b, {0x05, 0x0A, 0x14, 0x28}, 1), Bytes{kAck});
    EXPECT_EQ(Exchange(*b, {0x05}, 1), Bytes{kAck});
    Bytes bad = Store(0x900, {1, 2, 3});
    bad[bad.size() - 2] ^= 0x01;  // checksum
    EXPECT_TRUE(Exchange(*b, bad, 0, 300 * kPicosPerMilli).empty());
    EXPECT_EQ(b->ReadMemory(0x900, 3), (Bytes{0, 0, 0}));
    // The monitor still serves: a good frame after the bad one is stored.
    EXPECT_EQ(Exchange(*b, Store(0x900, {1, 2, 3}), 1), Bytes{kAck});
    EXPECT_EQ(b->ReadMemory(0x900, 3), (Bytes{1, 2, 3}));
    // The ping's answer leaves within 0.2 s at 9600 baud.
    const auto trace = b->LineTrace();
    ASSERT_GE(trace.size(), 5u);
    EXPECT_TRUE(trace[0].toBoard);
    EXPECT_FALSE(trace[4].toBoard);
    EXPECT_LT(trace[4].time - trace[0].time, 200 * kPicosPerMilli);
}

TEST(Board, RegisterWriteRoutineRunsOnCpuAndReturnsToMonitor) {
    auto b = Make();
    const Bytes store = Store(0x810, Routine(0x1E0A, 0x0C00));
    // The frame as the link sends it.
    EXPECT_EQ(store, (Bytes{0x02, 0x00, 0x81, 0x16, 0x00, 0x00, 0x08, 0x10, 0x0C, 0x00, 0x20, 0x7C, 0x00, 0x00,
                            0x1E, 0x0A, 0x22, 0x7C, 0x00, 0x00, 0x08, 0x10, 0x30, 0x91, 0x4E, 0x75, 0xB9, 0x03}));
    EXPECT_EQ(Exchange(*b, store, 1), Bytes{kAck});
    EXPECT_EQ(Exchange(*b, RunAt(0x812), 1), Bytes{kAck});
    b->RunFor(10 * kPicosPerMilli);
    EXPECT_EQ(b->Mode(), sim::BoardMode::Monitor);
    const auto log = b->RegisterLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].address, 0x1E0Au);
    EXPECT_EQ(log[0].width, 16);
    EXPECT_EQ(log[0].value, 0x0C00u);
    EXPECT_TRUE(log[0].byCpu);
    EXPECT_EQ(b->ReadMemory(0x1E0A, 2), (Bytes{0x0C, 0x00}));
    // The monitor serves again after the routine's return.
    EXPECT_EQ(Exchange(*b, {0x05, 0x0A, 0x14, 0x28}, 1), Bytes{kAck});
    EXPECT_TRUE(b->Faults().empty());
}

TEST(Board, BringUpSequenceLandsInRegisterLogAndOpensChipSelects) {
    auto b = Make();
    EXPECT_FALSE(b->FlashAnswers());
    EXPECT_FALSE(b->RamAnswers());
    // Before bring-up nothing answers at the daemon's address: no ACK, a fault noted.
    EXPECT_TRUE(Exchange(*b, Store(0x490000, {0x4E, 0x75}), 0, 300 * kPicosPerMilli).empty());
    ASSERT_EQ(b->Faults().size(), 1u);
    EXPECT_EQ(b->Faults()[0].kind, sim::BoardFault::Kind::MonitorStore);

    const auto& table = kBringUpWrites;
    for (const RegisterStep& s : table) {
        if (s.width == 32) {
            const Bytes v = Address(s.value);
            ASSERT_EQ(Exchange(*b, Store(s.address, v), 1), Bytes{kAck}) << std::hex << s.address;
        } else {
            ASSERT_EQ(Exchange(*b, Store(0x810, Routine(s.address, static_cast<std::uint16_t>(s.value))), 1),
                      Bytes{kAck});
            ASSERT_EQ(Exchange(*b, RunAt(0x812), 1), Bytes{kAck});
        }
    }
    b->RunFor(10 * kPicosPerMilli);
    const auto log = b->RegisterLog();
    ASSERT_EQ(log.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(log[i].address, table[i].address) << "step " << i + 1;
        EXPECT_EQ(log[i].width, table[i].width) << "step " << i + 1;
        EXPECT_EQ(log[i].value, table[i].value) << "step " << i + 1;
        EXPECT_EQ(log[i].byCpu, table[i].width == 16) << "step " << i + 1;
    }
    EXPECT_TRUE(b->FlashAnswers());
    EXPECT_TRUE(b->RamAnswers());
    EXPECT_EQ(Exchange(*b, Store(0x490000, {0x4E, 0x75}), 1), Bytes{kAck});
    EXPECT_EQ(b->ReadMemory(0x490000, 2), (Bytes{0x4E, 0x75}));
    EXPECT_EQ(b->Faults().size(), 1u);
}

// A chip select answers for its device only where base and mask decode it.
TEST(Board, ChipSelectsDecodeBaseAndMask) {
    auto b = Make();
    const auto select = [&](std::uint32_t maskAt, std::uint32_t mask, std::uint32_t base) {
        Bytes regs = Address(mask);
        const Bytes baseBytes = Address(base);
        regs.insert(regs.end(), baseBytes.begin(), baseBytes.end());
        EXPECT_EQ(Exchange(*b, Store(maskAt, regs), 1), Bytes{kAck});
    };
    select(0xFFF048, 0x0000007D, 0x00400013);  // 256-byte block: not the whole flash
    select(0xFFF050, 0x000FFF71, 0x00690013);  // valid, but at 0x600000
    EXPECT_FALSE(b->FlashAnswers());
    EXPECT_FALSE(b->RamAnswers());
    select(0xFFF048, 0x0007FF7D, 0x00400013);
    select(0xFFF050, 0x000FFF71, 0x00490013);
    EXPECT_TRUE(b->FlashAnswers());
    EXPECT_TRUE(b->RamAnswers());
    select(0xFFF048, 0x0007FF7D, 0x00400012);  // valid bit cleared
    EXPECT_FALSE(b->FlashAnswers());
}

TEST(Board, CpuExceptionsAreFaultsWithTheirPc) {
    {
        auto b = Make();
        EXPECT_EQ(Exchange(*b, Store(0x820, {0x4E, 0x71, 0x4A, 0xFC}), 1), Bytes{kAck});  // nop; illegal
        EXPECT_EQ(Exchange(*b, RunAt(0x820), 1), Bytes{kAck});
        b->RunFor(10 * kPicosPerMilli);
        ASSERT_EQ(b->Faults().size(), 1u);
        EXPECT_EQ(b->Faults()[0].kind, sim::BoardFault::Kind::IllegalInstruction);
        EXPECT_EQ(b->Faults()[0].pc, 0x822u);
        EXPECT_EQ(b->Mode(), sim::BoardMode::Halted);
        // A halted board answers nothing until reset.
        EXPECT_TRUE(Exchange(*b, {0x05}, 0, 300 * kPicosPerMilli).empty());
        b->Reset();
        EXPECT_EQ(Exchange(*b, {0x05}, 1), Bytes{kAck});
    }
    {
        auto b = Make();  // move.w 0x300000,d0: nothing answers there
        EXPECT_EQ(Exchange(*b, Store(0x820, {0x30, 0x39, 0x00, 0x30, 0x00, 0x00}), 1), Bytes{kAck});
        EXPECT_EQ(Exchange(*b, RunAt(0x820), 1), Bytes{kAck});
        b->RunFor(10 * kPicosPerMilli);
        ASSERT_EQ(b->Faults().size(), 1u);
        EXPECT_EQ(b->Faults()[0].kind, sim::BoardFault::Kind::BusError);
        EXPECT_EQ(b->Faults()[0].pc, 0x820u);
        EXPECT_EQ(b->Faults()[0].address, 0x300000u);
    }
    {
        auto b = Make();  // lpstop exists on CPU32 only: the 68020 core takes line F
        EXPECT_EQ(Exchange(*b, Store(0x820, {0xF8, 0x00, 0x01, 0xC0, 0x27, 0x00}), 1), Bytes{kAck});
        EXPECT_EQ(Exchange(*b, RunAt(0x820), 1), Bytes{kAck});
        b->RunFor(10 * kPicosPerMilli);
        ASSERT_EQ(b->Faults().size(), 1u);
        EXPECT_EQ(b->Faults()[0].vector, 11u);
        EXPECT_EQ(b->Faults()[0].pc, 0x820u);
    }
    // Odd addresses: a word read, a long write, a jump.
    for (const Bytes& code : {Bytes{0x30, 0x38, 0x08, 0x41}, Bytes{0x21, 0xC0, 0x08, 0x41}, Bytes{0x4E, 0xF8, 0x08, 0x41}}) {
        auto b = Make();  // move.w $841.w,d0 / move.l d0,$841.w / jmp $841.w
        EXPECT_EQ(Exchange(*b, Store(0x820, code), 1), Bytes{kAck});
        EXPECT_EQ(Exchange(*b, RunAt(0x820), 1), Bytes{kAck});
        b->RunFor(10 * kPicosPerMilli);
        ASSERT_EQ(b->Faults().size(), 1u);
        EXPECT_EQ(b->Faults()[0].kind, sim::BoardFault::Kind::AddressError) << b->Faults()[0].text;
        EXPECT_EQ(b->Faults()[0].vector, 3u);
        EXPECT_EQ(b->Faults()[0].address, 0x841u);
        EXPECT_EQ(b->Mode(), sim::BoardMode::Halted);
    }
}

TEST(Board, CpuProgramsAndErasesFlashAndTalksOnDuart) {
    std::ifstream in(SIM_FLASHPROG, std::ios::binary);
    ASSERT_TRUE(in) << SIM_FLASHPROG;
    const Bytes prog((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    BoardOptions o;
    o.chipSelectsPreset = true;
    o.timing = sim::TimingProfile::Typical;
    auto b = Make(o);
    const Bytes old{0x00, 0x00};
    ASSERT_TRUE(b->WriteMemory(0x410000, old));  // sector 0x410000..0x41FFFF holds data
    ASSERT_TRUE(b->WriteMemory(0x41FFFE, old));
    ASSERT_TRUE(b->WriteMemory(0x420000, old));
    EXPECT_EQ(Exchange(*b, Store(0x490000, prog), 1), Bytes{kAck});
    const Bytes got = Exchange(*b, RunAt(0x490000), 2, 3000 * kPicosPerMilli);
    EXPECT_EQ(got, (Bytes{kAck, 'K'}));
    EXPECT_EQ(b->Mode(), sim::BoardMode::Monitor);
    EXPECT_EQ(b->ReadMemory(0x400100, 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(b->ReadMemory(0x410000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(b->ReadMemory(0x41FFFE, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(b->ReadMemory(0x420000, 2), old);
    const auto counters = b->FlashCounters();
    EXPECT_EQ(counters.programs, 1u);
    EXPECT_EQ(counters.sectorErases, 1u);
    // The sector erase took the data sheet's second of board time.
    EXPECT_GE(b->Now(), 1000 * kPicosPerMilli);
    EXPECT_TRUE(b->Faults().empty());
}

TEST(Board, CpuTimeFollowsTheStatedClock) {
    // move.l #100000,d0; 1: subq.l #1,d0; bne 1b; rts -- 100000 turns of a
    // two-instruction loop at 5 clocks an instruction: 1,000,000 clocks.
    const Bytes loop{0x20, 0x3C, 0x00, 0x01, 0x86, 0xA0, 0x53, 0x80, 0x66, 0xFC, 0x4E, 0x75};
    auto timeAt = [&](std::uint32_t hz) {
        BoardOptions o;
        o.cpuClockHz = hz;
        auto b = Make(o);
        EXPECT_EQ(Exchange(*b, Store(0x820, loop), 1), Bytes{kAck});
        b->HostSend(RunAt(0x820));
        b->RunUntil([&] { return b->Mode() == sim::BoardMode::Cpu; }, 100 * kPicosPerMilli);
        const sim::Picos start = b->Now();
        const std::uint64_t executed = b->Instructions();
        b->RunUntil([&] { return b->Mode() == sim::BoardMode::Monitor; }, 1000 * kPicosPerMilli);
        EXPECT_EQ(b->Mode(), sim::BoardMode::Monitor);
        EXPECT_EQ(b->Instructions() - executed, 200'002u);
        return b->Now() - start;
    };
    const sim::Picos at16 = timeAt(16'000'000);
    const sim::Picos at8 = timeAt(8'000'000);
    EXPECT_GE(at16, 62 * kPicosPerMilli);  // 1,000,000 clocks at 16 MHz
    EXPECT_LT(at16, 64 * kPicosPerMilli);
    EXPECT_GE(at8, 2 * at16 - kPicosPerMilli);
    EXPECT_LE(at8, 2 * at16 + kPicosPerMilli);
}

TEST(Board, TimeSlicesEndingAfterCallsAndReturnsRunEachInstructionOnce) {
    // moveq #0,d0; move.l #100000,d1; 1: bsr 2f; subq.l #1,d1; bne 1b;
    // move.l d0,$900.w; rts; 2: addq.l #1,d0; rts. A 1 ms slice holds 3200
    // to 3204 instructions at these clocks, so slices end at every block of
    // the loop, right after a bsr or an rts too: either run twice leaves the
    // stack unbalanced and the routine never returns.
    const Bytes code{0x70, 0x00, 0x22, 0x3C, 0x00, 0x01, 0x86, 0xA0, 0x61, 0x0A, 0x53, 0x81, 0x66, 0xFA,
                     0x21, 0xC0, 0x09, 0x00, 0x4E, 0x75, 0x52, 0x80, 0x4E, 0x75};
    for (std::uint32_t hz : {16'000'000u, 16'005'000u, 16'010'000u, 16'015'000u, 16'020'000u}) {
        BoardOptions o;
        o.cpuClockHz = hz;
        o.chipSelectsPreset = true;
        auto b = Make(o);
        EXPECT_EQ(Exchange(*b, Store(0x490000, code), 1), Bytes{kAck});
        b->HostSend(RunAt(0x490000));
        b->RunUntil([&] { return b->Mode() != sim::BoardMode::Monitor; }, 100 * kPicosPerMilli);
        b->RunUntil([&] { return b->Mode() != sim::BoardMode::Cpu; }, 1000 * kPicosPerMilli);
        EXPECT_EQ(b->Mode(), sim::BoardMode::Monitor) << hz;
        EXPECT_TRUE(b->Faults().empty()) << hz;
        EXPECT_EQ(b->ReadMemory(0x900, 4), (Bytes{0x00, 0x01, 0x86, 0xA0})) << hz;
    }
}

TEST(Board, ApplicationHandsLineToMonitorAfterBreakAndAttention) {
    BoardOptions o;
    o.application = true;
    auto b = Make(o);
    EXPECT_TRUE(Exchange(*b, {0x05, 0x0A, 0x14, 0x28}, 0, 300 * kPicosPerMilli).empty());
    // An attention request without the break is the application's business.
    EXPECT_TRUE(Exchange(*b, {0x10, 0x1E, 0x54, 0x10, 0x03}, 0, 100 * kPicosPerMilli).empty());
    b->HostBreak(true);
    b->RunFor(500 * kPicosPerMilli);
    b->HostBreak(false);
    b->HostSend(Bytes{0x10, 0x1F, 0x42, 0x10, 0x03});
    EXPECT_EQ(Exchange(*b, {0x10, 0x1E, 0x54, 0x10, 0x03}, 2, 100 * kPicosPerMilli), (Bytes{'*', '*'}));
    EXPECT_EQ(b->Mode(), sim::BoardMode::Monitor);
    EXPECT_EQ(Exchange(*b, {0x05, 0x0A, 0x14, 0x28}, 1), Bytes{kAck});
}

TEST(Board, ChannelBAndHostAtWrongSpeed) {
    BoardOptions o;
    o.channel = sim::Channel::B;
    auto b = Make(o);
    EXPECT_EQ(b->ReadMemory(0x806, 2), (Bytes{0x0C, 0x10}));
    EXPECT_EQ(Exchange(*b, {0x05}, 1), Bytes{kAck});
    b->HostSend(Bytes{0x05, 0x0A, 0x14, 0x28}, sim::k38400_8N1);
    b->RunFor(300 * kPicosPerMilli);
    for (const auto& c : b->TakeHostReceived()) EXPECT_NE(c.byte, kAck);
}

TEST(Board, FlashImageRoundTripsThroughSRecords) {
    const auto dir = std::filesystem::temp_directory_path();
    const std::string in = (dir / "zelmo_sim_in.s19").string();
    const std::string out = (dir / "zelmo_sim_out.s19").string();
    // 4 bytes in the serial-number area, 2 at offset 0x10 (an S1 offset).
    {
        SXFILE_T w(in.c_str(), kModeOut | kModeTrunc);
        const std::uint8_t serial[] = {0xDE, 0xAD, 0xBE, 0xEF};
        const std::uint8_t low[] = {0xAB, 0xCD};
        w.WriteRecord(0x47F000, 4, serial, '3');
        w.WriteRecord(0x10, 2, low, '1');
        w.WriteRecord(0, 0, nullptr, '9');
    }
    BoardOptions o;
    o.flashImage = in;
    auto b = Make(o);
    EXPECT_EQ(b->ReadMemory(0x47F000, 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(b->ReadMemory(0x400010, 2), (Bytes{0xAB, 0xCD}));
    ASSERT_EQ(b->SaveFlash(out), 0);
    BoardOptions o2;
    o2.flashImage = out;
    auto c = Make(o2);
    EXPECT_EQ(c->FlashContents(), b->FlashContents());

    BoardOptions missing;
    missing.flashImage = (dir / "zelmo_sim_no_such_file.s19").string();
    std::string error;
    EXPECT_EQ(Board::Create(missing, &error), nullptr);
    EXPECT_FALSE(error.empty());
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(Board, LineFaultsDropFlipAndSilence) {
    BoardOptions drop;
    drop.lineFaults.dropRate = 1;
    EXPECT_TRUE(Exchange(*Make(drop), {0x05}, 1, 50 * kPicosPerMilli).empty());

    BoardOptions flip;  // every ENQ arrives as some other byte
    flip.lineFaults.flipRate = 1;
    EXPECT_TRUE(Exchange(*Make(flip), {0x05, 0x05, 0x05, 0x05}, 1, 50 * kPicosPerMilli).empty());

    BoardOptions quiet;  // silent for 100 ms from the host's second character
    quiet.lineFaults.silenceAfter = 2;
    quiet.lineFaults.silenceMs = 100;
    auto b = Make(quiet);
    EXPECT_EQ(Exchange(*b, {0x05}, 1), Bytes{kAck});
    EXPECT_TRUE(Exchange(*b, {0x05}, 1, 50 * kPicosPerMilli).empty());
    b->RunFor(60 * kPicosPerMilli);
    EXPECT_EQ(Exchange(*b, {0x05}, 1), Bytes{kAck});

    BoardOptions some;  // a rate between: some answers come, some do not
    some.lineFaults.dropRate = 0.5;
    some.lineFaults.seed = 7;
    auto c = Make(some);
    std::size_t answered = 0;
    for (int i = 0; i < 40; ++i) answered += Exchange(*c, {0x05}, 1, 10 * kPicosPerMilli).size();
    EXPECT_GT(answered, 0u);
    EXPECT_LT(answered, 40u);
}

TEST(Board, RunsOnItsOwnThread) {
    auto b = Make();
    b->Start();
    b->HostSend(Bytes{0x05, 0x0A, 0x14, 0x28});
    ASSERT_TRUE(b->WaitHostReceived(1, std::chrono::seconds(5)));
    EXPECT_EQ(b->TakeHostReceived()[0].byte, kAck);
    b->HostSend(Store(0x810, Routine(0x1E0A, 0x0C00)));
    ASSERT_TRUE(b->WaitHostReceived(1, std::chrono::seconds(5)));
    b->TakeHostReceived();
    b->HostSend(RunAt(0x812));
    ASSERT_TRUE(b->WaitHostReceived(1, std::chrono::seconds(5)));
    b->Stop();
    ASSERT_EQ(b->RegisterLog().size(), 1u);
    EXPECT_EQ(b->RegisterLog()[0].value, 0x0C00u);

    // After a fault, what the DUART already holds (the run request's ACK, in
    // its shift register, and an 'O' behind it) still leaves on the line with
    // nobody sending: move.b #'O',$C07.w, then illegal.
    b->Reset();
    b->TakeHostReceived();
    b->Start();
    b->HostSend(Store(0x820, {0x11, 0xFC, 0x00, 'O', 0x0C, 0x07, 0x4A, 0xFC}));
    ASSERT_TRUE(b->WaitHostReceived(1, std::chrono::seconds(5)));
    b->TakeHostReceived();
    b->HostSend(RunAt(0x820));
    ASSERT_TRUE(b->WaitHostReceived(2, std::chrono::seconds(5)));
    b->Stop();
    const auto got = b->TakeHostReceived();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].byte, kAck);
    EXPECT_EQ(got[1].byte, 'O');
    EXPECT_EQ(b->Mode(), sim::BoardMode::Halted);
}

}  // namespace
