// The link primitives against a scripted board on a virtual line. Every wait
// runs on a manual clock, so durations are checked exactly and take no time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CommPort.h"
#include "ScriptedPeer.h"
#include "VesperilIO.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        link = std::make_unique<VesperilIO>(0, 0xFFF000, 0x810);
        ASSERT_EQ(CommIsOpen(), 1);
        // The board's line: 9600 8N1.
        ASSERT_EQ(link->Configure(CommSettings{9600, 9600, 0, 0, 8, 0}), 0);
        start = peer.Clock().NowMs();
    }
    void TearDown() override { link.reset(); }

    std::int64_t Elapsed() { return peer.Clock().NowMs() - start; }
    static Bytes Ack(const PeerRequest&, std::size_t) { return {kAck}; }

    ScriptedPeer peer;
    std::unique_ptr<VesperilIO> link;
    std::int64_t start = 0;
};

TEST(ReverseBytes, ReversesInPlace) {
    Bytes four{1, 2, 3, 4};
    ReverseBytes(four);
    EXPECT_THAT(four, ElementsAre(4, 3, 2, 1));
    Bytes two{0xAB, 0xCD};
    ReverseBytes(two);
    EXPECT_THAT(two, ElementsAre(0xCD, 0xAB));
    Bytes three{1, 2, 3};
    ReverseBytes(three);
    EXPECT_THAT(three, ElementsAre(3, 2, 1));
    Bytes one{7};
    ReverseBytes(one);
    EXPECT_THAT(one, ElementsAre(7));
    ReverseBytes(std::span<std::uint8_t>{});  // empty: nothing to do, nothing touched
}

TEST_F(LinkTest, FrameExamplesAreByteExact) {
    peer.Answer([](const PeerRequest& r, std::size_t) -> Bytes {
        if (r.Cmd() == 0x80) return ScriptedPeer::DataFrame(0x92, {0x5A});
        return {kAck};
    });
    EXPECT_EQ(link->SetTargetSpeed(38400), 0);
    EXPECT_EQ(link->RunAt(0x400420), 0);
    auto& f = link->Frame();
    f[2] = 0x8F;
    f[3] = 0;
    EXPECT_EQ(link->SendFrame(), 6);
    std::uint8_t byte = 0;
    EXPECT_EQ(link->ReadMemory(0x807, std::span(&byte, 1)), 0);
    EXPECT_EQ(byte, 0x5A);

    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 4U);
    EXPECT_THAT(frames[0].bytes, ElementsAre(0x02, 0x00, 0x86, 0x01, 0x0C, 0x93, 0x03));
    EXPECT_THAT(frames[1].bytes, ElementsAre(0x02, 0x00, 0x82, 0x04, 0x00, 0x40, 0x04, 0x20, 0xEA, 0x03));
    EXPECT_THAT(frames[2].bytes, ElementsAre(0x02, 0x00, 0x8F, 0x00, 0x8F, 0x03));
    EXPECT_THAT(frames[3].bytes,
                ElementsAre(0x02, 0x00, 0x80, 0x05, 0x00, 0x00, 0x08, 0x07, 0x01, 0x95, 0x03));
}

TEST_F(LinkTest, RegisterWriteRoutineIsStoredThenRun) {
    peer.Answer(Ack);
    EXPECT_EQ(link->WriteRegisterWord(0x1E0A, 0x0C00), 0);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_THAT(frames[0].bytes,
                ElementsAreArray(Bytes{0x02, 0x00, 0x81, 0x16, 0x00, 0x00, 0x08, 0x10, 0x0C, 0x00,
                                       0x20, 0x7C, 0x00, 0x00, 0x1E, 0x0A, 0x22, 0x7C, 0x00, 0x00,
                                       0x08, 0x10, 0x30, 0x91, 0x4E, 0x75, 0xB9, 0x03}));
    EXPECT_THAT(frames[1].bytes, ElementsAre(0x02, 0x00, 0x82, 0x04, 0x00, 0x00, 0x08, 0x12, 0xA0, 0x03));
}

TEST_F(LinkTest, RegisterWriteStopsWhenTheStoreFails) {
    // The store is never acknowledged: no run request may follow it.
    EXPECT_EQ(link->WriteRegisterWord(0x1E0A, 0x0C00), -1);
    for (const auto& f : peer.Frames()) EXPECT_EQ(f.Cmd(), 0x81);
    EXPECT_EQ(peer.Frames().size(), 5U);
}

TEST_F(LinkTest, WriteBlockSplitsAt245Bytes) {
    peer.Answer(Ack);
    EXPECT_EQ(link->WriteMemory(0x490000, {}, 8), 0);
    EXPECT_TRUE(peer.Requests().empty());

    Bytes data(246);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(link->ProgramFlash(0x400000, data, 8), 0);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].Cmd(), 0x84);
    EXPECT_EQ(frames[0].bytes[3], 249);
    const Bytes d0 = frames[0].Data();
    EXPECT_THAT(Bytes(d0.begin(), d0.begin() + 4), ElementsAre(0x00, 0x40, 0x00, 0x00));
    EXPECT_TRUE(std::equal(d0.begin() + 4, d0.end(), data.begin()));
    EXPECT_THAT(frames[1].Data(), ElementsAre(0x00, 0x40, 0x00, 0xF5, data[245]));
}

TEST_F(LinkTest, WideUnitsGoOutHighByteFirstAndStayWhole) {
    peer.Answer(Ack);
    const std::uint32_t longs[2] = {0x11223344, 0xA1B2C3D4};
    EXPECT_EQ(link->WriteMemory(0x100, std::span(reinterpret_cast<const std::uint8_t*>(longs), 8), 32), 0);
    ASSERT_EQ(peer.Frames().size(), 1U);
    EXPECT_THAT(peer.Frames()[0].Data(),
                ElementsAre(0, 0, 1, 0, 0x11, 0x22, 0x33, 0x44, 0xA1, 0xB2, 0xC3, 0xD4));

    // 300 bytes of 16-bit words: no word may be split between two frames.
    std::vector<std::uint16_t> words(150);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(0x1000 + i);
    const std::span<const std::uint8_t> raw(reinterpret_cast<const std::uint8_t*>(words.data()), 300);
    EXPECT_EQ(link->WriteMemory(0x200, raw, 16), 0);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 3U);
    Bytes wire;
    for (std::size_t f = 1; f < 3; ++f) {
        const Bytes d = frames[f].Data();
        EXPECT_EQ((d.size() - 4) % 2, 0U);
        wire.insert(wire.end(), d.begin() + 4, d.end());
    }
    ASSERT_EQ(wire.size(), 300U);
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(wire[2 * i], words[i] >> 8);
        EXPECT_EQ(wire[2 * i + 1], words[i] & 0xFF);
    }
    // A count that is not whole units is refused before anything is sent.
    const std::uint8_t odd[3] = {1, 2, 3};
    EXPECT_EQ(link->WriteMemory(0x300, odd, 16), -1);
    EXPECT_EQ(peer.Frames().size(), 3U);
}

TEST_F(LinkTest, SilentBoardRunAtGivesUpAfterFiveSends) {
    EXPECT_EQ(link->RunAt(0x490000), -1);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 5U);
    // Each attempt: 10 ms pause, send, five waits of 0.2 s.
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].atMs - start, 10 + 1010 * std::int64_t(i));
    EXPECT_EQ(Elapsed(), 5 * (10 + 5 * 200));
}

// A NAK cannot be followed by an ACK for the same send: the frame goes
// again at once (after the resend's pause), not after the whole time-out,
// and a frame refused every time is named.
TEST_F(LinkTest, ANakIsResentAtOnceAndNamed) {
    peer.Answer([](const PeerRequest&, std::size_t) -> Bytes { return {kNak}; });
    const std::uint8_t data[2] = {0xFF, 0x00};
    EXPECT_EQ(link->ProgramFlash(0x400010, data, 8), -1);
    EXPECT_EQ(peer.Frames().size(), 5U);
    EXPECT_EQ(Elapsed(), 5 * 10);
    EXPECT_TRUE(link->FailedRefused());
    EXPECT_EQ(link->FailedFrom(), 0x400010U);
    EXPECT_EQ(link->FailedTo(), 0x400012U);

    peer.Answer([](const PeerRequest&, std::size_t i) -> Bytes { return {i < 2 ? kNak : kAck}; });
    start = peer.Clock().NowMs();
    EXPECT_EQ(link->ProgramFlash(0x400000, data, 8), 0);
    EXPECT_EQ(peer.Frames().size(), 8U);
    EXPECT_EQ(Elapsed(), 3 * 10);
    EXPECT_FALSE(link->FailedRefused());
}

TEST_F(LinkTest, WaitAckSkipsOtherBytesAndHonoursItsTimeOut) {
    peer.Line().Send(Bytes{kNak});
    EXPECT_FALSE(link->WaitAck(7));
    EXPECT_EQ(Elapsed(), 700);

    peer.Line().Send(Bytes{0x00, kNak, 0x42, 0x02, kAck});
    start = peer.Clock().NowMs();
    EXPECT_TRUE(link->WaitAck(3));
    EXPECT_EQ(Elapsed(), 0);
}

// The port's read time-out (1 s once an erase has set it) once stretched
// every 0.2 s wait for an ACK to a second: five seconds a resend.
TEST_F(LinkTest, AnUnansweredWaitLastsItsOwnTimeWhateverTheReadTimeOut) {
    link->SetTimeout(10);
    EXPECT_FALSE(link->WaitAck(2));
    EXPECT_EQ(Elapsed(), 200);
}

TEST_F(LinkTest, ProbeConfiguresEightNoneOneAndPings) {
    // The link starts at the default odd parity; Probe moves it to 8N1.
    ASSERT_EQ(link->Configure(CommSettings{}), 0);
    EXPECT_EQ(link->Probe(9600), 300);
    std::size_t pings = 0;
    for (const auto& r : peer.Requests()) pings += r.kind == PeerRequest::Ping ? 1U : 0U;
    EXPECT_EQ(pings, 5U);
    EXPECT_EQ(Elapsed(), 100 + 5 * 200);
    EXPECT_EQ(peer.Line().HostFormat(), (LineFormat{9600, 8, 0, 0}));
    CommSettings s{};
    link->GetSettings(s);
    EXPECT_EQ(s.nominalBaud, 9600);
    EXPECT_EQ(s.baudRate, 9600);

    peer.Answer([](const PeerRequest& r, std::size_t i) -> Bytes {
        return r.kind == PeerRequest::Ping && i == 2 ? Bytes{kAck} : Bytes{};
    });
    EXPECT_EQ(link->Probe(9600), 9600);
    EXPECT_TRUE(link->IsAlive() == false);  // the script answers only its third request
}

TEST_F(LinkTest, ProbeAtTheWrongSpeedFindsNothing) {
    // A board at 9600 answers every ping, but the host listens at 38400: the
    // ACK arrives garbled or not at all.
    peer.Answer([](const PeerRequest&, std::size_t) -> Bytes { return {kAck}; });
    EXPECT_EQ(link->Probe(38400), 300);
    EXPECT_EQ(link->Probe(9600), 9600);
}

TEST_F(LinkTest, SetTargetSpeedAsksForOneOfTwoCodes) {
    peer.Answer(Ack);
    link->SetTargetSpeed(9600);
    link->SetTargetSpeed(19200);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_THAT(frames[0].Data(), ElementsAre(0x0B));
    EXPECT_THAT(frames[1].Data(), ElementsAre(0x0C));

    peer.Answer({});
    start = peer.Clock().NowMs();
    EXPECT_EQ(link->SetTargetSpeed(38400), 0);
    EXPECT_EQ(peer.Frames().size(), 7U);
    EXPECT_EQ(Elapsed(), 5 * (10 + 200) + 200);
}

TEST_F(LinkTest, SetHostSpeedKeepsTheCharacterFormat) {
    ASSERT_EQ(link->Configure(CommSettings{9600, 9600, 2, 2, 7, 0}), 0);
    EXPECT_EQ(link->SetHostSpeed(38400), 0);
    EXPECT_EQ(peer.Line().HostFormat(), (LineFormat{38400, 7, 2, 2}));
}

TEST_F(LinkTest, ReceiveFrameDropsBadFramesAndKeepsHunting) {
    const Bytes good = ScriptedPeer::DataFrame(0x92, {1, 2, 3});
    Bytes badSum = good;
    badSum[7] ^= 1;
    Bytes noEtx = good;
    noEtx.back() = 0x04;
    peer.Line().Send(Bytes{0x55, 0xAA});
    peer.Line().Send(badSum);
    peer.Line().Send(noEtx);
    peer.Line().Send(ScriptedPeer::DataFrame(0x93, {9}));  // not the reply asked for
    peer.Line().Send(good);
    // Heap-allocated, so that a write past the 260 bytes is caught.
    auto buffer = std::make_unique<VesperilIO::FrameBuffer>();
    EXPECT_EQ(link->ReceiveFrame(*buffer, 0x92, 1), 0);
    EXPECT_THAT(Bytes(buffer->begin(), buffer->begin() + 9), ElementsAreArray(good));
    EXPECT_EQ(Elapsed(), 0);

    peer.Line().Send(ScriptedPeer::DataFrame(0x06, {}));
    EXPECT_EQ(link->ReceiveFrame(*buffer, 0, 1), 0);  // LEN 0 goes straight to CK
    EXPECT_THAT(Bytes(buffer->begin(), buffer->begin() + 6), ElementsAre(2, 0, 6, 0, 6, 3));
}

TEST_F(LinkTest, ReceiveFrameNeverWritesPastItsBuffer) {
    // A frame claiming 255 data bytes, followed by all of them, cannot fit:
    // it is dropped, and the good frame after it is found.
    Bytes huge{0x02, 0x00, 0x92, 0xFF};
    huge.insert(huge.end(), 255, 0xEE);
    huge.push_back(0x00);
    huge.push_back(0x03);
    peer.Line().Send(huge);
    const Bytes good = ScriptedPeer::DataFrame(0x92, {7});
    peer.Line().Send(good);
    auto buffer = std::make_unique<VesperilIO::FrameBuffer>();
    EXPECT_EQ(link->ReceiveFrame(*buffer, 0x92, 1), 0);
    EXPECT_THAT(Bytes(buffer->begin(), buffer->begin() + 7), ElementsAreArray(good));

    // The largest frame that fits, LEN 254, is accepted whole.
    Bytes data(254);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    peer.Line().Send(ScriptedPeer::DataFrame(0x92, data));
    EXPECT_EQ(link->ReceiveFrame(*buffer, 0x92, 1), 0);
    EXPECT_EQ((*buffer)[3], 254);
    EXPECT_EQ((*buffer)[259], 0x03);
}

TEST_F(LinkTest, ReceiveFrameTimesOut) {
    peer.Line().Send(Bytes{0x02, 0x00, 0x92});  // a frame that never ends
    auto buffer = std::make_unique<VesperilIO::FrameBuffer>();
    EXPECT_EQ(link->ReceiveFrame(*buffer, 0, 2), -1);
    EXPECT_EQ(Elapsed(), 2000);
}

TEST_F(LinkTest, ReadMemoryGoesInChunksOf128) {
    peer.Answer([](const PeerRequest& r, std::size_t) -> Bytes {
        const Bytes d = r.Data();
        const std::uint32_t address = (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) |
                                     (std::uint32_t{d[2]} << 8) | d[3];
        Bytes reply(d[4]);
        for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(address + i);
        return ScriptedPeer::DataFrame(0x92, reply);
    });
    Bytes out(200);
    EXPECT_EQ(link->ReadMemory(0x1000, out), 0);
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_THAT(frames[0].Data(), ElementsAre(0x00, 0x00, 0x10, 0x00, 128));
    EXPECT_THAT(frames[1].Data(), ElementsAre(0x00, 0x00, 0x10, 0x80, 72));
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], static_cast<std::uint8_t>(i)) << i;
}

TEST_F(LinkTest, ReadMemoryRefusesShortRepliesAndGivesUp) {
    // One byte where 4 were asked for: taking it would return stale bytes.
    peer.Answer([](const PeerRequest&, std::size_t) { return ScriptedPeer::DataFrame(0x92, {1}); });
    Bytes out(4, 0xCC);
    EXPECT_EQ(link->ReadMemory(0x2000, out), -1);
    EXPECT_EQ(peer.Frames().size(), 5U);
    EXPECT_THAT(out, ElementsAre(0xCC, 0xCC, 0xCC, 0xCC));

    // A silent board: five waits of 3 s.
    peer.Answer({});
    start = peer.Clock().NowMs();
    EXPECT_EQ(link->ReadMemory(0x2000, out), -1);
    EXPECT_EQ(peer.Frames().size(), 10U);
    EXPECT_EQ(Elapsed(), 5 * 3000);
}

TEST_F(LinkTest, IsAliveStopsAtTheFirstAnswer) {
    peer.Answer([](const PeerRequest&, std::size_t i) -> Bytes { return i == 1 ? Bytes{kAck} : Bytes{}; });
    EXPECT_TRUE(link->IsAlive());
    EXPECT_EQ(peer.Requests().size(), 2U);
    EXPECT_EQ(Elapsed(), 200);
    peer.Answer({});
    start = peer.Clock().NowMs();
    EXPECT_FALSE(link->IsAlive());
    EXPECT_EQ(Elapsed(), 1000);
}

TEST_F(LinkTest, SendFrameRefusesABufferTooSmall) {
    Bytes small{0, 0, 0x81, 10, 1, 2};  // LEN 10 needs 16 bytes
    EXPECT_EQ(link->SendFrame(small), 0);
    EXPECT_TRUE(peer.Requests().empty());
    Bytes fits(16, 0);
    fits[2] = 0x81;
    fits[3] = 10;
    EXPECT_EQ(link->SendFrame(fits), 16);
    EXPECT_EQ(fits[14], 0x8B);
    EXPECT_EQ(fits[15], 0x03);
}

}  // namespace
