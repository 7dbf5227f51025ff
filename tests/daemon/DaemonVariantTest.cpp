// Broken daemons that the simulated board must catch: the committed image,
// patched in RAM, running where the real board would show the fault.
#include <gtest/gtest.h>

#include "DaemonBoard.h"

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

}  // namespace
}  // namespace daemontest
