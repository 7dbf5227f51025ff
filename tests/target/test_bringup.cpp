#include <future>
#include <thread>
#include <cstring>

#include "../common/BringUpWrites.h"
#include "BringUp.h"
#include "CommPort.h"
#include "RomUpload.h"
#include "WorkflowFixture.h"

namespace {

const Bytes kAttention{0x10, 0x1E, 0x54, 0x10, 0x03};

using Write = RegisterStep;

// The register writes a monitor saw: a 16-bit write is a store of the
// register-write routine at the scratch address followed by a run request;
// a 32-bit write is a store of four bytes.
std::vector<Write> DecodeWrites(const std::vector<PeerRequest>& frames) {
    std::vector<Write> out;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Bytes d = frames[i].Data();
        if (frames[i].Cmd() != 0x81 || d.size() < 4) continue;
        const std::uint32_t at = Be32(d, 0);
        if (at == 0x810 && d.size() == 22 && d[6] == 0x20) {
            const std::uint32_t reg = Be32(d, 8);
            out.push_back({reg, 16, (std::uint32_t{d[4]} << 8) | d[5]});
        } else if (at == 0x810 && d[4] == 0x33 && d[5] == 0xFC) {
            // Paired: move.w #value, (register).l once or twice, then rts.
            for (std::size_t k = 4; k + 8 <= d.size() && d[k] == 0x33 && d[k + 1] == 0xFC; k += 8)
                out.push_back({Be32(d, k + 4), 16, (std::uint32_t{d[k + 2]} << 8) | d[k + 3]});
        } else if (d.size() == 8) {
            out.push_back({at, 32, Be32(d, 4)});
        }
    }
    return out;
}

class BringUp : public WorkflowTest {
protected:
    // A board whose application answers the attention request with "**" and
    // whose monitor acknowledges pings and frames at 9600.
    void MonitorBoard() {
        peer.AckEverything();
        peer.AnswerGarbage([](const Bytes& last) { return last == kAttention ? Bytes{'*', '*'} : Bytes{}; });
    }
    std::size_t Count(PeerRequest::Kind kind) const {
        std::size_t n = 0;
        for (const auto& r : peer.Requests()) n += r.kind == kind;
        return n;
    }
};

TEST_F(BringUp, FreshBoardGetsTheTwentyFiveWritesInOrder) {
    MonitorBoard();
    EXPECT_EQ(Connect(), 1);
    const std::vector<Write> expected(kBringUpWrites.begin(), kBringUpWrites.end());
    EXPECT_EQ(DecodeWrites(peer.Frames()), expected);
    // Every 16-bit store is followed by a run request of the routine.
    EXPECT_EQ(FramesWith(0x82).size(), 19u);
    for (const auto& run : FramesWith(0x82)) EXPECT_EQ(Address(run), 0x812u);
    // The break message went out once, before the first attention request.
    const auto& reqs = peer.Requests();
    Bytes firstGarbage;
    for (const auto& r : reqs)
        if (r.kind == PeerRequest::Garbage && firstGarbage.size() < 11) firstGarbage.push_back(r.bytes[0]);
    EXPECT_EQ(firstGarbage, (Bytes{0x00, 0x10, 0x1F, 0x42, 0x10, 0x03, 0x10, 0x1E, 0x54, 0x10, 0x03}));
    ASSERT_TRUE(TargetLink);
    CommSettings s{};
    TargetLink->GetSettings(s);
    EXPECT_EQ(s.baudRate, 9600);
}

// Paired: the same writes in the same order, two to a routine of the same
// 18 bytes at the scratch address, run from its start.
TEST_F(BringUp, PairedWritesAreTheSameWritesInHalfTheRuns) {
    MonitorBoard();
    FastOptionsT fast;
    fast.pairedWrites = true;
    EXPECT_EQ(Connect(fast), 1);
    const std::vector<Write> expected(kBringUpWrites.begin(), kBringUpWrites.end());
    EXPECT_EQ(DecodeWrites(peer.Frames()), expected);
    EXPECT_EQ(FramesWith(0x82).size(), 10u);
    for (const auto& f : FramesWith(0x81)) {
        if (Address(f) == 0x810) {
            EXPECT_LE(f.Data().size(), 4u + 18u);
        }
    }
}

// A board that, like the daemon, busy-waits after answering a run request
// loses a frame that comes within that time: one resend teaches the link to
// pause after every run request, instead of a resend at each of them.
TEST_F(BringUp, ABoardDeafAfterARunRequestCostsOneResendNotOneEach) {
    std::int64_t deafUntil = 0;
    peer.Answer([&](const PeerRequest& r, std::size_t) -> Bytes {
        if (r.atMs < deafUntil) return {};
        if (r.Cmd() == 0x82) deafUntil = r.atMs + 20;
        return {0x06};
    });
    peer.AnswerGarbage([](const Bytes& last) { return last == kAttention ? Bytes{'*', '*'} : Bytes{}; });
    EXPECT_EQ(Connect(), 1);
    EXPECT_EQ(FramesWith(0x82).size(), 19u);
    // The 25 stores of a fresh board, one of them twice.
    EXPECT_EQ(FramesWith(0x81).size(), 25u + 1u);
}

TEST_F(BringUp, SilentBoardFailsAfterTenAttentionsAndFivePings) {
    EXPECT_EQ(Connect(), -1);
    EXPECT_EQ(Count(PeerRequest::Ping), 5u);
    EXPECT_TRUE(peer.Frames().empty());
    std::size_t attentions = 0;
    Bytes last;
    for (const auto& r : peer.Requests()) {
        if (r.kind != PeerRequest::Garbage) continue;
        last.push_back(r.bytes[0]);
        if (last.size() > 5) last.erase(last.begin());
        attentions += last == kAttention;
    }
    EXPECT_EQ(attentions, 10u);
}

// A register write left unanswered is never skipped: one ping decides. On a
// live line the write goes again; on a dead one bring-up ends there, naming
// the register, instead of giving every later write its five sends.
TEST_F(BringUp, AnUnansweredRegisterWriteIsSentAgainOrEndsBringUp) {
    MonitorBoard();
    std::vector<PeerRequest> taken;  // the frames the monitor answered
    std::size_t frames = 0;
    bool dropOut = true, dead = false;
    peer.Answer([&](const PeerRequest& r, std::size_t) -> Bytes {
        if (r.kind == PeerRequest::Frame) ++frames;
        // The seventh frame (chip select 2's mask) and its four resends
        // are lost; then the line is back, or dead for good.
        const bool lost = r.kind == PeerRequest::Frame && frames >= 7 && frames <= 11 && dropOut;
        if (dead && frames >= 7) return {};
        if (lost) return {};
        if (r.kind == PeerRequest::Frame) taken.push_back(r);
        return {0x06};
    });
    EXPECT_EQ(Connect(), 1);
    EXPECT_EQ(DecodeWrites(taken), std::vector<Write>(kBringUpWrites.begin(), kBringUpWrites.end()));

    ResetTargetState();
    LoadTargetConfiguration();
    frames = 0;
    dead = true;
    const std::size_t pingsBefore = Count(PeerRequest::Ping);
    EXPECT_EQ(Connect(), kRegisterWriteFailed);
    EXPECT_EQ(BringUpFailedRegister(), 0xFFF050u);
    EXPECT_EQ(frames, 11u);  // six taken, then five sends of the seventh; nothing after
    EXPECT_EQ(Count(PeerRequest::Ping) - pingsBefore, 2u);  // the probe's, then the one that decides
}

TEST_F(BringUp, HandOverThenSilenceLeavesTheLinkAt38400) {
    peer.AnswerGarbage([](const Bytes& last) { return last == kAttention ? Bytes{'*', '*'} : Bytes{}; });
    EXPECT_EQ(Connect(), -2);
    CommSettings s{};
    TargetLink->GetSettings(s);
    EXPECT_EQ(s.baudRate, 38400);
    EXPECT_FALSE(daemonRunning);
}

TEST_F(BringUp, BoardAnsweringOnlyAt38400IsTakenAsRunningDaemon) {
    // The application hands over, then only a daemon at 38400 answers.
    peer.AckEverything();
    peer.AnswerGarbage([this](const Bytes& last) {
        if (last != kAttention) return Bytes{};
        peer.Line().Send(Bytes{'*', '*'});
        peer.Line().SetFormat({38400, 8, 0, 0});
        return Bytes{};
    });
    EXPECT_EQ(Connect(), 2);
    EXPECT_TRUE(daemonRunning);
    EXPECT_TRUE(peer.Frames().empty());
    // A later bring-up that finds the monitor at 9600 writes nothing.
    peer.Line().SetFormat({9600, 8, 0, 0});
    MonitorBoard();
    EXPECT_EQ(Connect(), 1);
    EXPECT_TRUE(peer.Frames().empty());
}

TEST_F(BringUp, MatchCountCarriesAcrossAttemptsAndResetsOnOtherBytes) {
    peer.AckEverything();
    int attention = 0;
    peer.AnswerGarbage([&](const Bytes& last) -> Bytes {
        if (last != kAttention) return {};
        switch (attention++) {
            case 0: return {'*', 'x', '*'};  // one match left standing
            case 1: return {'*'};            // completes it in the next attempt
            default: return {};
        }
    });
    EXPECT_EQ(Connect(), 1);
    EXPECT_EQ(attention, 2);  // "**" was complete after the second attention request
}

TEST_F(BringUp, DisabledEntriesAndOtherProcessorsCauseNoTraffic) {
    MonitorBoard();
    TargetConfiguration.processorType = 332;
    TargetConfiguration.controlWords[1].enabled = false;
    TargetConfiguration.regionEntries[9].enabled = false;
    EXPECT_EQ(Connect(), 1);
    const auto writes = DecodeWrites(peer.Frames());
    for (const auto& w : writes) {
        EXPECT_NE(w.width, 32) << std::hex << w.address;
        EXPECT_NE(w.address, 0x1E32u);
        EXPECT_FALSE(w.address >= 0x1F30 && w.address <= 0x1F36) << std::hex << w.address;
    }
    // 0x1E0A, both writes to 0x1E38, three control words, two region pairs.
    EXPECT_EQ(writes.size(), 1u + 2u + 3u + 8u);
}

TEST_F(BringUp, EnabledPortRegistersGoOutAsSingleBytes) {
    MonitorBoard();
    TargetConfiguration.portRegisters[2] = {0x5A, true};
    EXPECT_EQ(Connect(), 1);
    bool seen = false;
    for (const auto& f : FramesWith(0x81))
        if (Address(f) == 0xFFF015) seen = f.Data() == Bytes{0x00, 0xFF, 0xF0, 0x15, 0x5A};
    EXPECT_TRUE(seen);
}

TEST_F(BringUp, OneResetClearsTheSharedState) {
    OpenLink();
    SelectedPort = 3;
    daemonRunning = true;
    recordCounter = 17;
    transferBuffer[0] = 0xAA;
    const unsigned session = daemonSession;
    ASSERT_TRUE(TargetLink && CommIsOpen() != 0);
    ResetTargetState();
    EXPECT_EQ(SelectedPort, 0);
    EXPECT_FALSE(daemonRunning);
    EXPECT_EQ(recordCounter, 0);
    EXPECT_EQ(transferBuffer[0], 0);
    EXPECT_EQ(TargetConfiguration.processorType, 0);
    EXPECT_FALSE(TargetLink || TargetFlash);
    EXPECT_EQ(CommIsOpen(), 0);  // the link's port went with it
    // Whatever was stored beside an earlier daemon is not trusted again.
    EXPECT_NE(daemonSession, session);
}

TEST_F(BringUp, ASecondStepWhileAnotherThreadHoldsTheLinkIsRefused) {
    std::promise<void> holding;
    std::promise<void> release;
    std::thread other([&] {
        LinkUseT held;
        holding.set_value();
        release.get_future().wait();
    });
    holding.get_future().wait();
    EXPECT_EQ(Connect(), kLinkBusy);
    EXPECT_EQ(DownloadDaemon(progress), kLinkBusy);
    EXPECT_EQ(EraseFlash(), -100);  // no daemon: nothing to send, no link needed
    daemonRunning = true;
    EXPECT_EQ(EraseFlash(), kLinkBusy);
    EXPECT_EQ(LoadRomFile("/nonexistent", progress), kLinkBusy);
    daemonRunning = false;
    release.set_value();
    other.join();
    EXPECT_TRUE(peer.Requests().empty());
    // The holder's own thread may take the link again: a sequence holds it
    // across the steps it runs.
    LinkUseT outer;
    LinkUseT inner;
    EXPECT_TRUE(outer.Held() && inner.Held());
}

}  // namespace
