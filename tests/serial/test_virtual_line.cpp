#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "VirtualLine.h"
#include "VirtualLineCore.h"

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

TEST(LineFormat, CharacterLength) {
    EXPECT_EQ((LineFormat{9600, 8, 0, 0}).HalfBitsPerChar(), 20U);  // 10 bit times
    EXPECT_EQ((LineFormat{9600, 8, 1, 0}).HalfBitsPerChar(), 22U);  // 11 with parity
    EXPECT_EQ((LineFormat{9600, 5, 0, 1}).HalfBitsPerChar(), 15U);  // 1.5 stop bits
    EXPECT_EQ((LineFormat{9600, 7, 2, 2}).HalfBitsPerChar(), 22U);
    EXPECT_EQ((LineFormat{9600, 8, 0, 0}).CharTime(), 1042us);
    EXPECT_EQ((LineFormat{38400, 8, 1, 0}).CharTime(), 287us);
    EXPECT_FALSE((LineFormat{9600, 9, 0, 0}).Valid());
    EXPECT_FALSE((LineFormat{9600, 8, 5, 0}).Valid());
    EXPECT_FALSE((LineFormat{0, 8, 0, 0}).Valid());
}

TEST(Decode, SameFormatIsIntactForEveryByteAndFormat) {
    for (std::uint8_t bits = 5; bits <= 8; ++bits)
        for (std::uint8_t parity = 0; parity <= 4; ++parity)
            for (unsigned v = 0; v < (1U << bits); ++v) {
                const LineFormat f{9600, bits, parity, 0};
                auto u = DecodeCharacter(static_cast<std::uint8_t>(v), f, f);
                ASSERT_TRUE(u.has_value());
                ASSERT_EQ(u->kind, LineUnitKind::Data);
                ASSERT_EQ(u->value, v);
            }
}

TEST(Decode, ParityMismatches) {
    const LineFormat n81{9600, 8, 0, 0};
    const LineFormat o81{9600, 8, 1, 0};
    // 0x00 at 8O1 carries parity bit 1, which an 8N1 receiver takes as its
    // stop bit: clean. 0x01 carries 0 there: framing error.
    EXPECT_EQ(DecodeCharacter(0x00, o81, n81)->kind, LineUnitKind::Data);
    EXPECT_EQ(DecodeCharacter(0x01, o81, n81)->kind, LineUnitKind::FramingError);
    EXPECT_EQ(DecodeCharacter(0x01, o81, n81)->value, 0x01);
    // An 8O1 receiver reads the 8N1 stop bit (1) as parity: wrong for 0x01.
    EXPECT_EQ(DecodeCharacter(0x01, n81, o81)->kind, LineUnitKind::ParityError);
    EXPECT_EQ(DecodeCharacter(0x00, n81, o81)->kind, LineUnitKind::Data);
    // Mark and space: the parity bit is fixed.
    const LineFormat m81{9600, 8, 3, 0};
    const LineFormat s81{9600, 8, 4, 0};
    EXPECT_EQ(DecodeCharacter(0x55, m81, s81)->kind, LineUnitKind::ParityError);
    EXPECT_EQ(DecodeCharacter(0x55, s81, s81)->kind, LineUnitKind::Data);
}

TEST(Decode, SpeedMismatchGarblesOrLoses) {
    const LineFormat slow{9600, 8, 0, 0};
    const LineFormat fast{38400, 8, 0, 0};
    int intact = 0;
    int lost = 0;
    for (unsigned v = 0; v < 256; ++v) {
        const auto b = static_cast<std::uint8_t>(v);
        for (auto [s, r] : {std::pair{slow, fast}, std::pair{fast, slow}}) {
            auto u = DecodeCharacter(b, s, r);
            if (!u)
                ++lost;
            else if (u->kind == LineUnitKind::Data && u->value == b)
                ++intact;
        }
    }
    EXPECT_EQ(intact, 0);
    EXPECT_GT(lost, 0);
    // The ACK of a 9600 board read at 38400 does not come through as ACK.
    auto ack = DecodeCharacter(0x06, slow, fast);
    EXPECT_TRUE(!ack || ack->kind != LineUnitKind::Data || ack->value != 0x06);
    // A small speed error (9600 against 9800) is within a UART's tolerance.
    EXPECT_EQ(DecodeCharacter(0xA5, slow, LineFormat{9800, 8, 0, 0})->value, 0xA5);
}

TEST(VirtualLine, RegistrationIsUniqueAndEndsWithTheObject) {
    {
        VirtualLineT a("vl-reg");
        EXPECT_TRUE(a.Registered());
        EXPECT_EQ(a.Name(), "vl-reg");
        VirtualLineT b("vl-reg");
        EXPECT_FALSE(b.Registered());
        EXPECT_FALSE(b.Register(""));
        EXPECT_TRUE(b.Register("vl-reg-2"));
        EXPECT_FALSE(b.Register("vl-reg-3"));  // already has a name
        EXPECT_TRUE(VirtualLineT::IsRegistered("vl-reg"));
        a.Unregister();
        EXPECT_FALSE(VirtualLineT::IsRegistered("vl-reg"));
        EXPECT_TRUE(a.Register("vl-reg"));
    }
    EXPECT_FALSE(VirtualLineT::IsRegistered("vl-reg"));
    EXPECT_FALSE(VirtualLineT::IsRegistered("vl-reg-2"));
}

// The host end through the core, as the port layer uses it.
struct LinePair {
    LinePair() {
        core = VirtualLineCore::Find("vl-pair");
        core->OpenHost();
    }
    ~LinePair() { core->CloseHost(); }
    VirtualLineT line{"vl-pair"};
    std::shared_ptr<VirtualLineCore> core;
    Bytes HostRead() {
        Bytes out(5000);
        out.resize(core->HostRead(out));
        return out;
    }
};

TEST(VirtualLine, BytesBreaksAndFormatsBothWays) {
    LinePair p;
    EXPECT_FALSE(p.core->OpenHost());  // one host end at a time
    EXPECT_TRUE(p.line.HostOpen());
    const Bytes hello{0x02, 0x00, 0xFF, 0x7F};
    EXPECT_TRUE(p.core->HostWrite(hello, 40ms));
    p.core->HostBreak(250);
    LineUnit in[8];
    ASSERT_EQ(p.line.Receive(in), 5U);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(in[i].kind, LineUnitKind::Data);
        EXPECT_EQ(in[i].value, hello[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(in[4].kind, LineUnitKind::Break);
    EXPECT_EQ(in[4].breakMs, 250U);

    EXPECT_EQ(p.line.Send(Bytes{0x06, 0x15}), 2U);
    p.line.SendBreak(10);
    EXPECT_THAT(p.HostRead(), ElementsAre(0x06, 0x15, 0x00));  // a break reads as 0

    // The peer moves to 38400; what the host sends at 9600 no longer
    // arrives intact, and neither does the answer.
    ASSERT_TRUE(p.line.SetFormat({38400, 8, 0, 0}));
    p.core->HostWrite(Bytes{0x06}, 10ms);
    std::size_t n = p.line.Receive(in);
    EXPECT_TRUE(n == 0 || in[0].kind != LineUnitKind::Data || in[0].value != 0x06);
    p.line.Send(Bytes{0x06});
    const Bytes got = p.HostRead();
    EXPECT_TRUE(got.empty() || got[0] != 0x06);
    ASSERT_TRUE(p.core->SetHostFormat({38400, 8, 0, 0}));
    p.line.Send(Bytes{0x06});
    EXPECT_THAT(p.HostRead(), ElementsAre(0x06));
    EXPECT_FALSE(p.line.SetFormat({38400, 4, 0, 0}));
    EXPECT_EQ(p.line.Format(), (LineFormat{38400, 8, 0, 0}));
}

TEST(VirtualLine, QueuesHold4096AndCountOverruns) {
    LinePair p;
    const Bytes block(5000, 0x41);
    EXPECT_EQ(p.line.Send(block), 4096U);
    EXPECT_EQ(p.line.OverrunsToHost(), 904U);
    EXPECT_EQ(p.HostRead().size(), 4096U);
    EXPECT_EQ(p.line.Send(Bytes{1}), 1U);  // room again once read

    p.core->HostWrite(block, 50'000ms);
    EXPECT_EQ(p.line.Available(), 4096U);
    EXPECT_EQ(p.line.OverrunsToPeer(), 904U);
}

TEST(VirtualLine, PurgeEachDirection) {
    LinePair p;
    p.line.Send(Bytes{1, 2, 3});
    p.core->HostWrite(Bytes{4, 5}, 20ms);
    p.core->HostPurge(true, false);
    EXPECT_TRUE(p.HostRead().empty());
    EXPECT_EQ(p.line.Available(), 2U);
    p.line.Purge(true, false);
    EXPECT_EQ(p.line.Available(), 0U);
}

TEST(VirtualLine, WaitBlocksUntilSomethingArrives) {
    LinePair p;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.line.WaitReceiveFor(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);

    std::thread host([&] {
        std::this_thread::sleep_for(20ms);
        p.core->HostWrite(Bytes{0x77}, 10ms);
    });
    EXPECT_TRUE(p.line.WaitReceiveFor(5000ms));
    host.join();
    LineUnit u[1];
    ASSERT_EQ(p.line.Receive(u), 1U);
    EXPECT_EQ(u[0].value, 0x77);

    std::thread peer([&] {
        std::this_thread::sleep_for(20ms);
        p.line.Send(Bytes{0x66});
    });
    EXPECT_TRUE(p.core->HostWait(std::chrono::steady_clock::now() + 5000ms));
    peer.join();
    EXPECT_THAT(p.HostRead(), ElementsAre(0x66));

    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        p.line.Interrupt();
    });
    EXPECT_FALSE(p.line.WaitReceiveFor(5000ms));  // woken, nothing there
    stopper.join();
}

TEST(VirtualLine, PacingTakesTheLinesTime) {
    LinePair p;
    p.line.SetPacing(true);
    p.line.SetFormat({9600, 8, 1, 0});
    ASSERT_TRUE(p.core->SetHostFormat({9600, 8, 1, 0}));
    // 40 characters at 9600 8O1 take 40 x 11 bit times = 45.8 ms on the wire.
    const Bytes data(40, 0x55);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(p.core->HostWrite(data, 400ms));  // returns when sent
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);
    EXPECT_EQ(p.line.Available(), 40U);

    const auto t1 = std::chrono::steady_clock::now();
    p.line.Send(data);
    // At no moment are more characters readable than have had their time.
    std::size_t got = 0;
    while (got < 40 && p.core->HostWait(t1 + 2000ms)) {
        got += p.HostRead().size();
        const auto elapsed = std::chrono::steady_clock::now() - t1;
        EXPECT_LE(got, static_cast<std::size_t>(elapsed / 1146us) + 1);
    }
    EXPECT_EQ(got, 40U);
    EXPECT_GE(std::chrono::steady_clock::now() - t1, 45ms);

    // A write that cannot finish in its limit fails.
    EXPECT_FALSE(p.core->HostWrite(data, 5ms));
}

TEST(VirtualLine, NotifyLetsAPeerAnswerOnTheSendersThread) {
    LinePair p;
    std::thread::id where;
    p.line.SetNotify([&] {
        where = std::this_thread::get_id();
        LineUnit u[4];
        const std::size_t n = p.line.Receive(u);
        for (std::size_t i = 0; i < n; ++i) p.line.Send(static_cast<std::uint8_t>(u[i].value + 1));
    });
    p.core->HostWrite(Bytes{1, 2}, 20ms);
    EXPECT_EQ(where, std::this_thread::get_id());
    EXPECT_THAT(p.HostRead(), ElementsAre(2, 3));
}

TEST(VirtualLine, HostEndOutlivesThePeer) {
    std::shared_ptr<VirtualLineCore> core;
    {
        VirtualLineT line("vl-gone");
        core = VirtualLineCore::Find("vl-gone");
        ASSERT_TRUE(core->OpenHost());
    }
    EXPECT_EQ(VirtualLineCore::Find("vl-gone"), nullptr);
    EXPECT_TRUE(core->HostWrite(Bytes{1, 2, 3}, 30ms));
    Bytes out(4);
    EXPECT_EQ(core->HostRead(out), 0U);
    core->CloseHost();
}

}  // namespace
