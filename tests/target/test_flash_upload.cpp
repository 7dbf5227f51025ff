#include <cstdio>
#include <fstream>
#include <map>

#include "RomUpload.h"
#include "WorkflowFixture.h"
#include "../srec/SrecTestUtil.h"

namespace {

class Erase : public WorkflowTest {};

TEST_F(Erase, RefusedBeforeTheDaemonRuns) {
    OpenLink();
    EXPECT_EQ(EraseFlash(), -100);
    EXPECT_TRUE(peer.Requests().empty());
}

TEST_F(Erase, StatusByteIsMapped) {
    const std::vector<std::pair<std::uint8_t, int>> cases{{0x06, 0}, {0x15, 78}, {0x41, 65}};
    for (const auto& [status, expected] : cases) {
        DaemonAt38400();
        peer.Answer([status = status](const PeerRequest&, std::size_t) { return Bytes{0x06, status}; });
        EXPECT_EQ(TargetFlash->EraseChip(), expected) << int(status);
        EXPECT_EQ(EraseFlash(), expected == 0 ? 0 : -104);
    }
}

TEST_F(Erase, AcknowledgementRetriesThenWaitsForTheStatus) {
    DaemonAt38400();
    // A daemon that does not answer 0x89 (the first version); silent to the
    // first two sends of 0x8F; the status comes 45 s after the
    // acknowledgement, longer than a fixed 20 s pause would wait.
    peer.Answer([this](const PeerRequest& r, std::size_t) -> Bytes {
        if (r.Cmd() == 0x89 || FramesWith(0x8F).size() <= 2) return {};
        peer.Line().Send(std::uint8_t{0x06});
        peer.Clock().Advance(45000);
        return {0x06};
    });
    const std::int64_t start = peer.Clock().NowMs();
    EXPECT_EQ(EraseFlash(), 0);
    EXPECT_EQ(FramesWith(0x8F).size(), 3u);
    // Half a second for the version, two unanswered sends (2 s, then 1 s +
    // 0.5 s), 1 s before the third, then the status as soon as it comes.
    EXPECT_EQ(peer.Clock().NowMs() - start, 500 + 2000 + 1500 + 1000 + 45000);
    EXPECT_EQ(TargetLink->ReadTimeout(), 10);
}

TEST_F(Erase, NoStatusEndsAtTheDeadline) {
    DaemonAt38400();
    peer.Answer([](const PeerRequest&, std::size_t) { return Bytes{0x06}; });
    const std::int64_t start = peer.Clock().NowMs();
    EXPECT_EQ(TargetFlash->EraseChip(), -100);
    EXPECT_EQ(peer.Clock().NowMs() - start, 500 + 120000);
}

TEST_F(Erase, NeverAcknowledgedGivesUpAfterSevenSendsAndTheErasePause) {
    DaemonAt38400();
    // A daemon of the first version (its reply to 0x89 says nothing of
    // answering while it erases) that never acknowledges: a lost ACK still
    // gets the pause an erase takes.
    peer.Answer([](const PeerRequest& r, std::size_t) -> Bytes {
        return r.Cmd() == 0x89 ? ScriptedPeer::DataFrame(0x92, {0x93}) : Bytes{};
    });
    std::int64_t start = peer.Clock().NowMs();
    EXPECT_EQ(EraseFlash(), -104);
    EXPECT_EQ(FramesWith(0x8F).size(), 7u);
    // 2 s, six times 1 s + 0.5 s, then the 20 s an erase takes; the long
    // status deadline is only for a daemon that acknowledged.
    EXPECT_EQ(peer.Clock().NowMs() - start, 2000 + 6 * 1500 + 20000);

    // A line silent from the version request on: dead since before the
    // erase was asked for, so one unanswered ENQ ends it without the pause.
    DaemonAt38400();
    peer.Answer([](const PeerRequest&, std::size_t) { return Bytes{}; });
    start = peer.Clock().NowMs();
    EXPECT_EQ(EraseFlash(), -104);
    EXPECT_EQ(TargetFlash->LastSilence(), FlashMemT::SilenceT::NoAnswer);
    EXPECT_EQ(peer.Clock().NowMs() - start, 500 + 2000 + 6 * 1500 + 3000);
}

// A daemon that answers ENQ with SYN while it erases (version 2) is waited
// for as long as it answers, and given up on within seconds when it stops.
TEST_F(Erase, ABoardThatAnswersWhileErasingIsHeardOrGivenUpOnWithinSeconds) {
    DaemonAt38400();
    peer.TakeLoneEnq();
    int busyAnswers = 90;  // a minute and a half of erasing
    peer.Answer([&](const PeerRequest& r, std::size_t) -> Bytes {
        if (r.Cmd() == 0x89) return ScriptedPeer::DataFrame(0x92, {0x02});
        if (r.kind == PeerRequest::Frame) return {0x06};
        return Bytes{busyAnswers-- > 0 ? std::uint8_t{0x16} : std::uint8_t{0x06}};
    });
    std::int64_t start = peer.Clock().NowMs();
    EXPECT_EQ(EraseFlash(), 0);
    EXPECT_GE(peer.Clock().NowMs() - start, 90000);
    EXPECT_TRUE(TargetFlash->BusyAnswers());

    // The same board goes silent in the middle of the next erase.
    busyAnswers = 1000;
    peer.Answer([&](const PeerRequest& r, std::size_t i) -> Bytes {
        if (r.kind == PeerRequest::Frame) return {0x06};
        return i < 5 ? Bytes{0x16} : Bytes{};
    });
    start = peer.Clock().NowMs();
    EXPECT_EQ(TargetFlash->EraseChip(), -100);
    EXPECT_EQ(TargetFlash->LastSilence(), FlashMemT::SilenceT::StoppedAnswering);
    EXPECT_LE(peer.Clock().NowMs() - start, 5 * 1000 + 5000);

    // A request never acknowledged: an idle board's ACK to the ENQ says it
    // was never taken, at once, not after the erase pause.
    peer.Answer([&](const PeerRequest& r, std::size_t) -> Bytes {
        return r.kind == PeerRequest::Enq ? Bytes{0x06} : Bytes{};
    });
    start = peer.Clock().NowMs();
    EXPECT_EQ(EraseFlash(), -104);
    EXPECT_EQ(TargetFlash->LastSilence(), FlashMemT::SilenceT::NotTaken);
    EXPECT_LE(peer.Clock().NowMs() - start, 2000 + 6 * 1500 + 3000);
}

TEST_F(Erase, SectorAndSerialNumberCommands) {
    DaemonAt38400();
    peer.Answer([](const PeerRequest&, std::size_t) { return Bytes{0x06}; });
    EXPECT_EQ(TargetFlash->EraseSector(0x470000), 0);
    EXPECT_EQ(TargetFlash->EraseSerialNumber(), 0);
    ASSERT_EQ(peer.Frames().size(), 3u);
    EXPECT_EQ(peer.Frames()[0].bytes, (Bytes{0x02, 0x00, 0x89, 0x00, 0x89, 0x03}));  // the version, asked once
    EXPECT_EQ(peer.Frames()[1].bytes, (Bytes{0x02, 0x00, 0x83, 0x04, 0x00, 0x47, 0x00, 0x00, 0xCE, 0x03}));
    EXPECT_EQ(peer.Frames()[2].bytes, (Bytes{0x02, 0x00, 0x8A, 0x00, 0x8A, 0x03}));
}

class Upload : public WorkflowTest {
protected:
    // A file of `records` records of `size` bytes from `from`, in S3 form.
    std::string Rom(const std::string& name, std::uint32_t from, int records, int size, const std::string& tail = "") {
        const auto path = dir.Path(name);
        {
            SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
            for (int r = 0; r < records; ++r) {
                Bytes d(static_cast<std::size_t>(size));
                for (int i = 0; i < size; ++i) d[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(r * size + i);
                f.WriteRecord(from + static_cast<std::uint32_t>(r * size), static_cast<std::uint8_t>(size), d.data(), '3');
            }
            f.WriteLine(tail.c_str());
            f.WriteRecord(0, 0, nullptr, '7');
        }
        return path;
    }
    // The flash as the programming frames left it.
    std::map<std::uint32_t, std::uint8_t> Programmed() const {
        std::map<std::uint32_t, std::uint8_t> mem;
        for (const auto& f : FramesWith(0x84)) {
            const Bytes d = f.Data();
            for (std::size_t i = 4; i < d.size(); ++i) mem[Address(f) + static_cast<std::uint32_t>(i - 4)] = d[i];
        }
        return mem;
    }
    ScratchDir dir;
};

TEST_F(Upload, SixteenByteRecordsGoIn240ByteFrames) {
    DaemonAt38400();
    peer.AckEverything();
    EXPECT_EQ(LoadRomFile(Rom("a.s", 0x400000, 300, 16).c_str(), progress), 0);
    const auto frames = FramesWith(0x84);
    ASSERT_EQ(frames.size(), 20u);
    for (const auto& f : frames) EXPECT_EQ(f.Data().size(), 4u + 240);
    EXPECT_EQ(Programmed().size(), 4800u);
    EXPECT_EQ(progress.Count("lamp"), 20u);
    // Every 100 records, except when a record opened a block.
    EXPECT_EQ(progress.Count("set 99"), 1u);
    EXPECT_EQ(progress.Count("set 299"), 1u);
    EXPECT_EQ(progress.events.back(), "restart");
    EXPECT_EQ(progress.events[progress.events.size() - 2], "fill");
}

TEST_F(Upload, ThirtyTwoByteRecordsGoAs245And11) {
    DaemonAt38400();
    peer.AckEverything();
    EXPECT_EQ(LoadRomFile(Rom("b.s", 0x410000, 16, 32).c_str(), progress), 0);
    const auto frames = FramesWith(0x84);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].Data().size(), 4u + 245);
    EXPECT_EQ(frames[1].Data().size(), 4u + 11);
    EXPECT_EQ(Address(frames[1]), 0x410000u + 245);
    const auto mem = Programmed();
    ASSERT_EQ(mem.size(), 512u);
    for (std::uint32_t i = 0; i < 512; ++i) ASSERT_EQ(mem.at(0x410000 + i), static_cast<std::uint8_t>(i)) << i;
}

TEST_F(Upload, AGapWritesTheBlockSoFar) {
    DaemonAt38400();
    peer.AckEverything();
    const auto path = dir.Path("gap.s");
    {
        SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
        const Bytes a(16, 0xA1), b(16, 0xB2), c(16, 0xC3);
        f.WriteRecord(0x400000, 16, a.data(), '3');
        f.WriteRecord(0x400010, 16, b.data(), '3');
        f.WriteRecord(0x401000, 16, c.data(), '3');
        f.WriteRecord(0, 0, nullptr, '7');
    }
    EXPECT_EQ(LoadRomFile(path.c_str(), progress), 0);
    const auto frames = FramesWith(0x84);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Data().size(), 4u + 32);
    EXPECT_EQ(Address(frames[1]), 0x401000u);
    // The record that followed the gap moved to the buffer's start.
    const auto mem = Programmed();
    for (std::uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(mem.at(0x400000 + i), 0xA1);
        EXPECT_EQ(mem.at(0x400010 + i), 0xB2);
        EXPECT_EQ(mem.at(0x401000 + i), 0xC3);
    }
    EXPECT_EQ(progress.Count("lamp"), 1u);  // the block ended by the gap; not the last one
}

TEST_F(Upload, ABlockOfExactly230BytesTakesOneMoreRecord) {
    DaemonAt38400();
    peer.AckEverything();
    EXPECT_EQ(LoadRomFile(Rom("t.s", 0x400000, 30, 10).c_str(), progress), 0);
    const auto frames = FramesWith(0x84);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Data().size(), 4u + 240);
    EXPECT_EQ(frames[1].Data().size(), 4u + 60);
}

TEST_F(Upload, EmptyMissingAndNoDaemon) {
    DaemonAt38400();
    peer.AckEverything();
    EXPECT_EQ(LoadRomFile(Rom("e.s", 0x400000, 0, 16).c_str(), progress), 0);
    EXPECT_EQ(progress.events, (std::vector<std::string>{"fill", "restart"}));
    EXPECT_EQ(LoadRomFile(dir.Path("missing.s").c_str(), progress), -151);
    daemonRunning = false;
    EXPECT_EQ(LoadRomFile(dir.Path("missing.s").c_str(), progress), 1);
    EXPECT_TRUE(peer.Frames().empty());
}

TEST_F(Upload, ACorruptRecordIsALoadErrorNotSuccess) {
    DaemonAt38400();
    peer.AckEverything();
    EXPECT_EQ(LoadRomFile(Rom("c.s", 0x400000, 20, 16, "S30900000000FFFFFFFF00\n").c_str(), progress), -1);
    EXPECT_EQ(progress.Count("restart"), 0u);
    // The records before the bad one are written, as the reader delivered them.
    EXPECT_EQ(Programmed().size(), 320u);
}

TEST_F(Upload, AWordThatFailsStopsTheUpload) {
    DaemonAt38400();
    peer.Answer([](const PeerRequest& r, std::size_t) { return Bytes{Address(r) >= 0x4001E0 ? std::uint8_t{0x15} : std::uint8_t{0x06}}; });
    EXPECT_EQ(LoadRomFile(Rom("f.s", 0x400000, 100, 16).c_str(), progress), -1);
    // Two good blocks, then five sends of the failing one, then nothing.
    const auto frames = FramesWith(0x84);
    ASSERT_EQ(frames.size(), 2u + 5u);
    for (std::size_t i = 2; i < frames.size(); ++i) EXPECT_EQ(Address(frames[i]), 0x4001E0u);
}

TEST_F(Upload, CountLinesAndRestart) {
    EXPECT_EQ(CountLines(""), 0);
    EXPECT_EQ(CountLines(dir.Path("none").c_str()), 0);
    EXPECT_EQ(CountLines(dir.Write("l.s", "a\nb\n" + std::string(300, 'x') + "\n").c_str()), 4);
    EXPECT_FALSE(RestartReceiver(kRestartAddress));  // no link yet
    EXPECT_TRUE(peer.Requests().empty());
    DaemonAt38400();
    peer.AckEverything();
    EXPECT_TRUE(RestartReceiver(kRestartAddress));
    ASSERT_EQ(FramesWith(0x82).size(), 1u);
    EXPECT_EQ(Address(FramesWith(0x82)[0]), 0x400420u);
}

TEST_F(Upload, WholeFileCheckBeforeErasing) {
    const auto good = ReadRomImage(Rom("g.s", 0x47FF00, 16, 16).c_str());
    EXPECT_EQ(good.result, 0);
    EXPECT_EQ(good.bytes.size(), 256u);
    EXPECT_EQ(good.highest, 0x480000u);
    EXPECT_EQ(ReadRomImage(Rom("h.s", 0x47FF00, 17, 16).c_str()).result, kRomOutOfFlash);
    EXPECT_EQ(ReadRomImage(Rom("i.s", 0x3FFFF0, 2, 16).c_str()).result, kRomOutOfFlash);
    const auto bad = ReadRomImage(Rom("j.s", 0x400000, 3, 16, "S3090000\n").c_str());
    EXPECT_EQ(bad.result, kRomBadRecord);
    EXPECT_EQ(bad.line, 4u);
    EXPECT_EQ(ReadRomImage(dir.Path("nothing.s").c_str()).result, kRomUnreadable);
    EXPECT_EQ(ReadRomImage(Rom("k.s", 0x400000, 0, 16).c_str()).result, kRomEmpty);
    // Records without a data byte would erase the chip for nothing.
    const auto hollow = ParseRomImage("S30500400000BA\n");
    EXPECT_EQ(hollow.result, kRomEmpty);
    EXPECT_EQ(RomCheckText(hollow), "the file's data records hold no data bytes");
    // A byte given twice: the same value is fine, another is refused (the
    // flash would hold the AND of both).
    const std::string once = "S3060040000011A8\n", other = "S306004000002297\n";
    EXPECT_EQ(ParseRomImage(once + once).result, 0);
    const auto clash = ParseRomImage(once + once + other);
    EXPECT_EQ(clash.result, kRomOverlap);
    EXPECT_EQ(RomCheckText(clash), "line 3 gives 0x400000 another value than an earlier line gives it");
    EXPECT_NE(RomCheckText(bad).find("line 4"), std::string::npos);
    // The first problem in the file is the one named.
    const std::string outside = ":\nS30500300000CA\n";  // line 2, below the flash
    const std::string broken = "S3090000\n";
    EXPECT_EQ(ParseRomImage(outside + broken).result, kRomOutOfFlash);
    EXPECT_EQ(ParseRomImage(outside + broken).line, 2u);
    EXPECT_EQ(ParseRomImage(broken + outside).result, kRomBadRecord);
    EXPECT_EQ(ParseRomImage(broken + outside).line, 1u);
}

TEST_F(Upload, OneReadingServesTheCountTheSectorsThePlanAndTheUpload) {
    // Records of 16 bytes with a gap, two sectors, a line longer than 255
    // characters that is no record, a CR-LF line end and no last line feed.
    const auto path = dir.Path("one.s");
    {
        SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
        Bytes d(16);
        for (std::uint32_t a = 0x403F80; a < 0x404080; a += 16) {
            for (std::size_t i = 0; i < 16; ++i) d[i] = static_cast<std::uint8_t>(a + i);
            f.WriteRecord(a, 16, d.data(), '3');
        }
        f.WriteLine((std::string(300, '#') + "\r\n").c_str());
        f.WriteRecord(0x404100, 16, d.data(), '3');
        f.WriteLine("S70500000000FA");
    }
    const RomImageT image = ReadRomImage(path.c_str());
    ASSERT_EQ(image.result, 0);
    EXPECT_EQ(image.lines, static_cast<unsigned long>(CountLines(path.c_str())));
    EXPECT_EQ(image.records.size(), 17u);
    EXPECT_EQ(image.lowest, 0x403F80u);
    EXPECT_EQ(image.highest, 0x404110u);
    EXPECT_EQ(image.sectors, 0b11u);
    // The plan is what the upload sends, block for block.
    const UploadPlanT plan = PlanUpload(image);
    DaemonAt38400();
    peer.AckEverything();
    ASSERT_EQ(UploadRomImage(image, 0, progress), 0);
    const auto frames = FramesWith(0x84);
    ASSERT_EQ(plan.blocks.size(), 3u);
    ASSERT_EQ(frames.size(), plan.frames);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(Address(frames[i]), plan.blocks[i].address) << i;
        EXPECT_EQ(frames[i].Data().size(), 4 + plan.blocks[i].count) << i;
    }
    // The verify's view: a byte given twice holds its last value.
    const RomImageT twice = ParseRomImage("S30600400000AA0F\nS30600400000BBFE\n");
    const HeldBytesT held = HeldBytes(twice);
    EXPECT_EQ(held.result, 0);
    EXPECT_EQ(held.held[0], 0xBB);
    EXPECT_EQ(held.held[1], -1);
}

}  // namespace
