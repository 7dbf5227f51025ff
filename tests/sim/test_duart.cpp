// MC68681 model: status bits, transmitter pacing, receiver FIFO overrun,
// received break and speed mismatch, all sampled at bit level.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Mc68681.h"

namespace {

using sim::Mc68681;
using sim::Picos;
using sim::WireChar;

constexpr Picos kChar9600 = 10 * (sim::kPicosPerSecond / 9600);

struct Duart {
    Mc68681 d;
    std::vector<WireChar> toHost;
    Duart(std::uint8_t csr = 0xBB) {
        d.toHost = [this](unsigned ch, const WireChar& c) {
            if (ch == 0) toHost.push_back(c);
        };
        d.Write(Mc68681::kCRA, 0x10, 0);
        d.Write(Mc68681::kMRA, 0x13, 0);
        d.Write(Mc68681::kMRA, 0x07, 0);
        d.Write(Mc68681::kSRA_CSRA, csr, 0);
        d.Write(Mc68681::kCRA, 0x05, 0);
    }
    std::uint8_t Sr(Picos t) { return d.Read(Mc68681::kSRA_CSRA, t); }
    std::uint8_t Rb(Picos t) { return d.Read(Mc68681::kRBA_TBA, t); }
    void Send(const std::string& s, const sim::LineFormat& f, Picos t) {
        for (char c : s) d.HostSend(0, static_cast<std::uint8_t>(c), f, t);
    }
    // Reads as a polling CPU would, every quarter character at 38400, until `until`.
    std::string Poll(Picos until) {
        std::string r;
        for (Picos t = 0; t <= until; t += kChar9600 / 16) r += Drain(t);
        return r;
    }
    std::string Drain(Picos t) {
        std::string r;
        while (Sr(t) & Mc68681::kRxRdy) r.push_back(static_cast<char>(Rb(t)));
        return r;
    }
};

TEST(Duart, TransmitterStatusFollowsHoldingAndShiftRegister) {
    Duart u;
    EXPECT_EQ(u.Sr(0), Mc68681::kTxRdy | Mc68681::kTxEmt);
    u.d.Write(Mc68681::kRBA_TBA, 'O', 0);
    EXPECT_EQ(u.Sr(0), Mc68681::kTxRdy);  // moved on to the shift register
    u.d.Write(Mc68681::kRBA_TBA, 'K', 0);
    EXPECT_EQ(u.Sr(0), 0);                // holding register full
    u.d.Write(Mc68681::kRBA_TBA, 'X', 0); // lost: TxRDY was clear
    EXPECT_EQ(u.Sr(kChar9600), Mc68681::kTxRdy);
    EXPECT_EQ(u.Sr(2 * kChar9600), Mc68681::kTxRdy | Mc68681::kTxEmt);
    ASSERT_EQ(u.toHost.size(), 2u);
    EXPECT_EQ(u.toHost[0].byte, 'O');
    EXPECT_EQ(u.toHost[1].byte, 'K');
    // Disabling the transmitter lets the holding register's character go too.
    u.d.Write(Mc68681::kRBA_TBA, 'N', 3 * kChar9600);
    u.d.Write(Mc68681::kRBA_TBA, 'O', 3 * kChar9600);
    u.d.Write(Mc68681::kCRA, 0x08, 3 * kChar9600);
    EXPECT_EQ(u.Sr(3 * kChar9600), 0);  // TxRDY off while disabled
    u.Sr(6 * kChar9600);
    ASSERT_EQ(u.toHost.size(), 4u);
    EXPECT_EQ(u.toHost[3].byte, 'O');
    EXPECT_FALSE(u.toHost[1].framingError);
    // Paced at the channel's speed: the second character's stop bit lies in the second frame time.
    EXPECT_GT(u.toHost[1].time, kChar9600 + 9 * kChar9600 / 10);
    EXPECT_LE(u.toHost[1].time, 2 * kChar9600);
}

TEST(Duart, ReceiveFifoHoldsThreePlusShiftRegisterThenOverruns) {
    Duart u;
    u.Send("1234", sim::k9600_8N1, 0);
    const std::uint8_t sr4 = u.Sr(4 * kChar9600);
    EXPECT_EQ(sr4 & (Mc68681::kRxRdy | Mc68681::kFFull | Mc68681::kOverrun), Mc68681::kRxRdy | Mc68681::kFFull);
    EXPECT_EQ(u.Drain(4 * kChar9600), "1234");

    Duart v;
    v.Send("12345", sim::k9600_8N1, 0);
    EXPECT_TRUE(v.Sr(5 * kChar9600) & Mc68681::kOverrun);
    EXPECT_EQ(v.Drain(5 * kChar9600), "1235");  // the fourth was overwritten
    EXPECT_TRUE(v.Sr(5 * kChar9600) & Mc68681::kOverrun);
    v.d.Write(Mc68681::kCRA, 0x40, 5 * kChar9600);  // reset error status
    EXPECT_FALSE(v.Sr(5 * kChar9600) & Mc68681::kOverrun);
}

TEST(Duart, BreakQueuesOneFlaggedNulUntilLineReturnsToMark) {
    Duart u;
    u.d.HostBreak(0, true, 0);
    const Picos off = 500 * sim::kPicosPerMilli;
    EXPECT_EQ(u.Sr(off - 1) & (Mc68681::kRxRdy | Mc68681::kReceivedBreak),
              Mc68681::kRxRdy | Mc68681::kReceivedBreak);
    u.d.HostBreak(0, false, off);
    u.Send("A", sim::k9600_8N1, off + kChar9600);
    const Picos later = off + 3 * kChar9600;
    EXPECT_TRUE(u.Sr(later) & Mc68681::kReceivedBreak);
    EXPECT_EQ(u.Rb(later), 0x00);  // the break character, read and dropped
    const std::uint8_t sr = u.Sr(later);
    EXPECT_EQ(sr & (Mc68681::kRxRdy | Mc68681::kReceivedBreak), Mc68681::kRxRdy);
    EXPECT_EQ(u.Rb(later), 'A');
    EXPECT_FALSE(u.Sr(later) & Mc68681::kRxRdy);  // one break, one character
}

TEST(Duart, SpeedMismatchGarblesOrLosesCharacters) {
    const std::string text = "\x02\x01\x81\x16PING-TEST";
    Duart slow;  // board at 9600, host at 38400
    slow.Send(text, sim::k38400_8N1, 0);
    const std::string got = slow.Poll(30 * kChar9600);
    EXPECT_NE(got, text);
    EXPECT_LT(got.size(), text.size());

    Duart fast(0xCC);  // board at 38400, host at 9600
    fast.Send(text, sim::k9600_8N1, 0);
    const std::string fastGot = fast.Poll(30 * kChar9600);
    EXPECT_NE(fastGot, text);

    Duart same(0xCC);  // both at 38400: exact
    same.Send(text, sim::k38400_8N1, 0);
    EXPECT_EQ(same.Poll(30 * kChar9600), text);
}

// A clock-select write drives a character already on its way: its rest goes
// out at the new speed, so a receiver at the old one gets it garbled and the
// transmitter empties early.
TEST(Duart, SpeedChangeTakesEffectInTheMiddleOfACharacter) {
    Duart u;
    u.d.Write(Mc68681::kRBA_TBA, 0x06, 0);
    u.d.Write(Mc68681::kSRA_CSRA, 0xCC, kChar9600 / 10);  // 38400 after the start bit
    const Picos rest = 9 * (sim::kPicosPerSecond / 38400);
    EXPECT_EQ(u.Sr(kChar9600 / 10 + rest), Mc68681::kTxRdy | Mc68681::kTxEmt);
    u.Sr(3 * kChar9600);
    ASSERT_FALSE(u.toHost.empty());
    EXPECT_TRUE(u.toHost[0].byte != 0x06 || u.toHost[0].framingError);
    // Changed once the transmitter is empty, the next character is clean at
    // the new speed.
    Duart v;
    v.d.Write(Mc68681::kRBA_TBA, 0x06, 0);
    v.d.Write(Mc68681::kSRA_CSRA, 0xCC, kChar9600);
    v.d.Write(Mc68681::kRBA_TBA, 0x15, kChar9600);
    v.d.SetHostFormat(0, sim::k38400_8N1);
    v.Sr(2 * kChar9600);
    ASSERT_EQ(v.toHost.size(), 2u);
    EXPECT_EQ(v.toHost[0].byte, 0x06);
    EXPECT_EQ(v.toHost[1].byte, 0x15);
    EXPECT_FALSE(v.toHost[1].framingError);
}

TEST(Duart, ClockSelectCodesFollowBaudRateSet) {
    Duart u;
    EXPECT_EQ(u.d.BaudOf(0xB), 9600u);
    EXPECT_EQ(u.d.BaudOf(0xC), 38400u);
    u.d.Write(Mc68681::kIPCR_ACR, 0x80, 0);
    EXPECT_EQ(u.d.BaudOf(0xB), 9600u);
    EXPECT_EQ(u.d.BaudOf(0xC), 19200u);
    u.d.Write(Mc68681::kSRA_CSRA, 0xCC, 0);
    u.Send("ok", {19200, 8, sim::Parity::None, 1}, 0);
    EXPECT_EQ(u.Drain(kChar9600), "ok");
    EXPECT_EQ(u.d.TxFormat(0).baud, 19200u);
}

TEST(Duart, ParityAndFramingErrorsAreFlagged) {
    Duart even;  // board 8E1, host 8N1: the host's stop bit is read as parity
    even.d.Write(Mc68681::kCRA, 0x10, 0);
    even.d.Write(Mc68681::kMRA, 0x03, 0);
    even.Send("\x03", sim::k9600_8N1, 0);
    std::uint8_t sr = even.Sr(2 * kChar9600);
    EXPECT_EQ(sr & (Mc68681::kRxRdy | Mc68681::kParityError | Mc68681::kFramingError),
              Mc68681::kRxRdy | Mc68681::kParityError);
    EXPECT_EQ(even.Rb(2 * kChar9600), 0x03);

    Duart five;  // board 5N1, host 8N1: the board's stop bit falls on a 0 data bit
    five.d.Write(Mc68681::kCRA, 0x10, 0);
    five.d.Write(Mc68681::kMRA, 0x10, 0);
    five.Send("\x01", sim::k9600_8N1, 0);
    sr = five.Sr(2 * kChar9600);
    EXPECT_EQ(sr & (Mc68681::kRxRdy | Mc68681::kFramingError | Mc68681::kReceivedBreak),
              Mc68681::kRxRdy | Mc68681::kFramingError);
    EXPECT_EQ(five.Rb(2 * kChar9600), 0x01);
}

// The counter/timer as the channels' clock (code 0xD): X1 / (32 * preload)
// baud in timer mode, once started. A preload of 2 gives 57,600; 1 is below
// the data sheet's minimum and gives no clock, so nothing moves either way.
TEST(Duart, CounterTimerClocksTheChannelOnlyFromPreloadTwo) {
    const sim::LineFormat at57600{57600, 8, sim::Parity::None, 1};
    const sim::LineFormat at115200{115200, 8, sim::Parity::None, 1};
    auto timed = [](std::uint8_t acr, std::uint8_t preload, bool start) {
        auto u = std::make_unique<Duart>();
        u->d.Write(Mc68681::kIPCR_ACR, acr, 0);
        u->d.Write(Mc68681::kCUR_CTUR, 0, 0);
        u->d.Write(Mc68681::kCLR_CTLR, preload, 0);
        if (start) u->d.Read(Mc68681::kStart_SOPR, 0);
        u->d.Write(Mc68681::kSRA_CSRA, 0xDD, 0);
        return u;
    };
    auto fast = timed(0x60, 2, true);
    EXPECT_EQ(fast->d.BaudOf(0xD), 57600u);
    fast->Send("ok", at57600, 0);
    EXPECT_EQ(fast->Drain(kChar9600), "ok");
    fast->d.SetHostFormat(0, at57600);
    fast->d.Write(Mc68681::kRBA_TBA, 'Z', kChar9600);
    // Stop-counter in timer mode clears counter-ready only: the clock runs on.
    EXPECT_NE(fast->d.Read(Mc68681::kISR_IMR, kChar9600) & 0x08, 0);
    fast->d.Read(Mc68681::kStop_ROPR, kChar9600);
    EXPECT_EQ(fast->d.Read(Mc68681::kISR_IMR, kChar9600) & 0x08, 0);
    fast->Sr(2 * kChar9600);
    ASSERT_EQ(fast->toHost.size(), 1u);
    EXPECT_EQ(fast->toHost[0].byte, 'Z');
    EXPECT_FALSE(fast->toHost[0].framingError);

    // Preload 1 (115,200), never started, a counter mode, or the X1/16 timer:
    // no 57,600 anywhere.
    auto one = timed(0x60, 1, true);
    EXPECT_EQ(one->d.BaudOf(0xD), 0u);
    one->Send("ok", at115200, 0);
    EXPECT_EQ(one->Drain(kChar9600), "");
    one->d.SetHostFormat(0, at115200);
    one->d.Write(Mc68681::kRBA_TBA, 'Z', 0);
    one->Sr(4 * kChar9600);
    EXPECT_TRUE(one->toHost.empty());
    // The character waiting in the shift register leaves once a clock exists.
    one->d.Write(Mc68681::kCLR_CTLR, 2, 4 * kChar9600);
    one->d.SetHostFormat(0, at57600);
    one->Sr(5 * kChar9600);
    ASSERT_EQ(one->toHost.size(), 1u);
    EXPECT_EQ(one->toHost[0].byte, 'Z');
    EXPECT_EQ(timed(0x60, 2, false)->d.BaudOf(0xD), 0u);
    EXPECT_EQ(timed(0x30, 2, true)->d.BaudOf(0xD), 0u);
    EXPECT_EQ(timed(0x70, 2, true)->d.BaudOf(0xD), 3600u);
    // The baud-rate set (ACR bit 7) does not change the timer's code.
    EXPECT_EQ(timed(0xE0, 2, true)->d.BaudOf(0xD), 57600u);
}

}  // namespace
