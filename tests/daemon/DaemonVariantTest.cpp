// Broken daemons that the simulated board must catch: the committed image,
// patched in RAM, running where the real board would show the fault.
#include <gtest/gtest.h>

#include <cstdio>

#include "DaemonBoard.h"
#include "DaemonImage.h"
#include "de_flash_limits.h"

namespace daemontest {
namespace {

// The speed change's wait for the empty transmitter removed (its call
// replaced by NOPs): the acknowledgement, still shifting out, finishes at
// the new speed and reaches a host at the old one garbled.
TEST(DaemonVariant, SpeedChangeThatDoesNotWaitForItsAckIsHeardGarbled) {
    DaemonBoard d;
    ASSERT_TRUE(d.StartDaemon());
    const std::uint32_t setBaud = DaemonSymbol("mc_set_baud_rate");
    ASSERT_NE(setBaud, 0u);
    // moveq #8 (the empty-transmitter bit), its push, then the call.
    ASSERT_TRUE(d.Patch(setBaud, 0x2E, {0x70, 0x08, 0x2E, 0x80, 0x2F, 0x08, 0x4E, 0xBA},
                        {0x70, 0x08, 0x2E, 0x80, 0x2F, 0x08, 0x4E, 0x71, 0x4E, 0x71}));
    const Bytes heard = d.Exchange(Frame(0x86, Bytes{0x0C}), 1, DaemonBoard::Millis(100));
    EXPECT_NE(heard, Bytes{kAck});
    EXPECT_EQ(d.Board().DuartClockSelect(sim::Channel::A), 0xCC);  // the switch itself happened
}

Bytes Long(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

// Sets a poll loop's count (the long immediate of its `move.l #count,dN`,
// one of a kind in the image); the compiler may have counted one more.
bool SetPollLimit(DaemonBoard& d, std::uint32_t polls, std::uint32_t limit) {
    for (std::uint32_t v : {polls, polls + 1}) {
        for (std::uint8_t reg = 0; reg < 8; ++reg) {
            const auto opcode = static_cast<std::uint8_t>(0x20 | (reg << 1));
            Bytes find{opcode, 0x3C};
            const Bytes value = Long(v);
            find.insert(find.end(), value.begin(), value.end());
            Bytes replace{opcode, 0x3C};
            const Bytes small = Long(limit);
            replace.insert(replace.end(), small.begin(), small.end());
            if (d.Patch(daemonLoadAddress, 0x1000, find, replace)) return true;
        }
    }
    return false;
}

// Polling a busy flash costs the CPU's time: a daemon that gives up after two
// polls fails where the real one, on the same board, succeeds.
TEST(DaemonVariant, TinyPollLimitsFailAtTheFlashsTypicalTimes) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.timing = sim::TimingProfile::Typical;
    DaemonBoard d(o);
    ASSERT_TRUE(d.StartDaemon());
    ASSERT_TRUE(SetPollLimit(d, PROGRAM_POLLS, 2));
    ASSERT_TRUE(SetPollLimit(d, ERASE_POLLS, 2));
    EXPECT_EQ(d.Exchange(AddressFrame(0x84, 0x420000, Bytes{0x12, 0x34}), 1), Bytes{kNak});
    EXPECT_EQ(d.Exchange(AddressFrame(0x83, 0x428000), 1), Bytes{kNak});
}

// At the data sheet's maximum times the real daemon still succeeds, and its
// erase poll limit, at the pace the board measured while it polled, outlasts
// the slowest chip erase and ends before the loader stops waiting.
TEST(DaemonVariant, PollLimitsOutlastTheSlowestChipAndEndBeforeTheLoader) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.timing = sim::TimingProfile::Slowest;
    DaemonBoard d(o);
    ASSERT_TRUE(d.StartDaemon());
    EXPECT_EQ(d.Exchange(AddressFrame(0x84, 0x420000, Bytes{0x12, 0x34}), 1), Bytes{kAck});
    const auto before = d.Board().FlashCounters().statusReads;
    EXPECT_EQ(d.Exchange(AddressFrame(0x83, 0x428000), 1, DaemonBoard::Millis(9000)), Bytes{kAck});
    const auto polls = d.Board().FlashCounters().statusReads - before;
    ASSERT_GT(polls, 0u);
    const double msPerPoll = double{AM_SECTOR_ERASE_MAX_MS} / static_cast<double>(polls);
    const double limitMs = msPerPoll * ERASE_POLLS;
    EXPECT_GE(limitMs, AM_CHIP_ERASE_MAX_MS);
    EXPECT_LT(limitMs, LOADER_ERASE_WAIT_MS);
    std::printf("flash poll: %.3f us; erase limit %.1f s (slowest chip %u s, loader waits %u s)\n",
                msPerPoll * 1000.0, limitMs / 1000.0, AM_CHIP_ERASE_MAX_MS / 1000u, LOADER_ERASE_WAIT_MS / 1000u);
}

// While it erases, the daemon answers ENQ with SYN and drops other bytes (a
// resent request among them); once done, ENQ gets ACK again. The
// serial-number area is kept as ever.
TEST(DaemonBusy, AnswersEnqWithSynWhileItErases) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.timing = sim::TimingProfile::Typical;
    DaemonBoard d(o);
    ASSERT_TRUE(d.StartDaemon());
    d.FillFlash(kSerialArea, kSerialArea + 0x10, 0x5A);
    const Bytes erase = Frame(0x8F, {});
    EXPECT_EQ(d.Exchange(erase, 1), Bytes{kAck});
    EXPECT_EQ(d.Exchange(Bytes{kEnq}, 1, DaemonBoard::Millis(100)), Bytes{0x16});
    EXPECT_EQ(d.SendExpectingSilence(erase), Bytes{});
    EXPECT_EQ(d.Exchange(Bytes{kEnq}, 1, DaemonBoard::Millis(100)), Bytes{0x16});
    EXPECT_EQ(d.Exchange(Bytes{}, 1, DaemonBoard::Millis(15000)), Bytes{kAck});
    EXPECT_EQ(d.Exchange(Bytes{kEnq}, 1), Bytes{kAck});
    const Bytes flash = d.Board().FlashContents();
    EXPECT_EQ(flash[kSerialArea - kFlashBase], 0x5A);
    EXPECT_EQ(flash[kSerialArea - kFlashBase - 1], 0xFF);
}

}  // namespace
}  // namespace daemontest
