// The daemon's behaviour on the simulated board: the committed image, stored
// in RAM and started by the boot monitor, answering on the line.
#include <gtest/gtest.h>

#include <algorithm>

#include "DaemonBoard.h"

namespace daemontest {
namespace {

class Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(d_.Ok()) << d_.Error();
        ASSERT_TRUE(d_.StartDaemon());
    }
    void TearDown() override { EXPECT_TRUE(d_.Faults().empty()) << d_.FaultText(); }

    Bytes Ask(const Bytes& request, std::size_t expect, sim::Picos limit = DaemonBoard::Millis(3000)) {
        return d_.Exchange(request, expect, limit);
    }
    Bytes Silence(const Bytes& request) { return d_.SendExpectingSilence(request); }
    Bytes SilenceAfterTimeOut(const Bytes& request) {
        return d_.SendExpectingSilence(request, DaemonBoard::kReceiverTimeout);
    }
    Bytes Flash() { return d_.Board().FlashContents(); }

    DaemonBoard d_;
};

Bytes Range(const Bytes& flash, std::uint32_t from, std::uint32_t to) {
    return Bytes(flash.begin() + (from - kFlashBase), flash.begin() + (to - kFlashBase));
}

bool AllBlank(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// The daemon's data words: PORT, then the two working pointers of the
// serial-number and last-page routines.
constexpr std::uint32_t kAddressWord = 0x4A0004, kAddress2Word = 0x4A0008;

std::uint32_t Long(const DaemonBoard& d, std::uint32_t at) {
    const Bytes b = d.Read(at, 4);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

void SetLong(DaemonBoard& d, std::uint32_t at, std::uint32_t value) {
    d.Write(at, Bytes{static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

// ---- receiver ------------------------------------------------------------------

TEST_F(Daemon, AnswersEachEnqWithOneAckAndThePingWithOne) {
    EXPECT_EQ(Ask({kEnq}, 1), Bytes{kAck});
    EXPECT_EQ(Ask({kEnq}, 1), Bytes{kAck});
    EXPECT_EQ(Ask({0x05, 0x0A, 0x14, 0x28}, 1), Bytes{kAck});
}

TEST_F(Daemon, DropsDamagedFramesSilentlyAndServesTheNextGoodOne) {
    const Bytes version = Frame(0x89, {});
    Bytes badSum = version;
    badSum[4] ^= 0x01;
    EXPECT_EQ(Silence(badSum), Bytes{});
    EXPECT_EQ(Ask(version, 7).size(), 7u);

    Bytes noEtx = version;
    noEtx.back() = 0x04;
    EXPECT_EQ(Silence(noEtx), Bytes{});

    // A second byte other than 0x00 drops the frame; 0x02 there does not start
    // a new one, so the version request that follows it is not seen.
    EXPECT_EQ(Silence({kStx, kStx, 0x00, 0x89, 0x00, 0x89, kEtx}), Bytes{});
    EXPECT_EQ(Silence({kStx, 0x01, 0x89, 0x00, 0x89, kEtx}), Bytes{});

    // A frame cut short: the daemon waits out its byte time-out, then drops it.
    EXPECT_EQ(SilenceAfterTimeOut({kStx, 0x00, 0x89}), Bytes{});
    EXPECT_EQ(Silence({0x00, 0x89, kEtx}), Bytes{});
    EXPECT_EQ(Ask(version, 7).size(), 7u);

    // The rest of a damaged frame is swallowed whole: an ACK for a 0x05 in its
    // data, or a frame started at a 0x02 there, would pass for the answer to
    // the program request. Its LEN lost, then its STX lost.
    const Bytes data{0x00, 0x40, 0x10, 0x00, 0x05, 0x02, 0x00, 0x89, 0x00, 0x89, 0x03, 0x05, 0x05};
    Bytes noLen = Frame(0x84, data);
    noLen.erase(noLen.begin() + 3);
    EXPECT_EQ(Silence(noLen), Bytes{});
    Bytes noStx = Frame(0x84, data);
    noStx.erase(noStx.begin());
    EXPECT_EQ(Silence(noStx), Bytes{});
    EXPECT_TRUE(AllBlank(Range(Flash(), 0x401000, 0x401010)));
    EXPECT_EQ(Ask({kEnq}, 1), Bytes{kAck});
}

TEST_F(Daemon, IgnoresCodesOutsideTheTable) {
    const std::uint8_t before = d_.Board().DuartClockSelect(sim::Channel::A);
    for (int code : {0x85, 0x88, 0x8B, 0x8C, 0x8D, 0x8E, 0x00, 0x01, 0x7F, 0x90, 0x92, 0xFF}) {
        EXPECT_EQ(Silence(Frame(static_cast<std::uint8_t>(code), {})), Bytes{}) << code;
    }
    // CMD 0 in a frame is not taken for a line break: the speed stays.
    EXPECT_EQ(d_.Board().DuartClockSelect(sim::Channel::A), before);
    EXPECT_TRUE(d_.Alive());
}

TEST_F(Daemon, SendsItsVersionAsAOneByteDataReply) {
    EXPECT_EQ(Ask(Frame(0x89, {}), 7), (Bytes{0x02, 0x00, 0x92, 0x01, 0x02, 0x95, 0x03}));
}

// ---- memory ----------------------------------------------------------------------

TEST_F(Daemon, ReadsMemoryIntoADataReply) {
    d_.Write(kFlashBase, Bytes{0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(Ask({0x02, 0x00, 0x80, 0x05, 0x00, 0x40, 0x00, 0x00, 0x04, 0xC9, 0x03}, 10),
              (Bytes{0x02, 0x00, 0x92, 0x04, 0x11, 0x22, 0x33, 0x44, 0x40, 0x03}));
    EXPECT_EQ(Ask(ReadFrame(kScratch, 0), 6), (Bytes{0x02, 0x00, 0x92, 0x00, 0x92, 0x03}));

    Bytes pattern(255);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 3 + 1);
    d_.Write(kScratch, pattern);
    EXPECT_EQ(Ask(ReadFrame(kScratch, 255), 261), DataReply(pattern));
}

TEST_F(Daemon, StoresExactlyThePayload) {
    const Bytes before = d_.Read(kScratch - 16, 64);
    const Bytes payload = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    EXPECT_EQ(Ask(AddressFrame(0x81, kScratch + 3, payload), 1), Bytes{kAck});
    Bytes expected = before;
    std::copy(payload.begin(), payload.end(), expected.begin() + 16 + 3);
    EXPECT_EQ(d_.Read(kScratch - 16, 64), expected);
}

TEST_F(Daemon, DropsRequestsTooShortForTheirFields) {
    d_.FillFlash(0x440000, 0x440100, 0x10);
    const Bytes ram = d_.Read(kScratch, 256);
    const Bytes flash = Flash();
    const Bytes address = {0x00, 0x4B, 0x00, 0x00};  // kScratch, without a COUNT
    EXPECT_EQ(Silence(Frame(0x80, address)), Bytes{});
    EXPECT_EQ(Silence(Frame(0x81, Bytes{0x00, 0x4B, 0x00})), Bytes{});
    EXPECT_EQ(Silence(Frame(0x82, Bytes{0x00, 0x4B, 0x00})), Bytes{});
    EXPECT_EQ(Silence(Frame(0x83, Bytes{0x00, 0x44})), Bytes{});
    EXPECT_EQ(Silence(Frame(0x84, Bytes{0x00, 0x44, 0x00})), Bytes{});
    EXPECT_EQ(Silence(Frame(0x86, {})), Bytes{});
    EXPECT_EQ(d_.Read(kScratch, 256), ram);
    EXPECT_EQ(Flash(), flash);
    EXPECT_TRUE(d_.Alive());
}

TEST_F(Daemon, CallsCodeThatReturnsAndServesOnAfterIt) {
    // moveq #1,d0 ; move.b d0,(kScratch+0x100).l ; rts
    d_.Write(kScratch, Bytes{0x70, 0x01, 0x13, 0xC0, 0x00, 0x4B, 0x01, 0x00, 0x4E, 0x75});
    d_.Write(kScratch + 0x100, Bytes{0x00});
    EXPECT_EQ(Ask(AddressFrame(0x82, kScratch), 1), Bytes{kAck});
    EXPECT_TRUE(d_.Alive());
    EXPECT_EQ(d_.Read(kScratch + 0x100, 1), Bytes{0x01});
    // An odd address cannot hold code: no call, no answer.
    EXPECT_EQ(Silence(AddressFrame(0x82, kScratch + 1)), Bytes{});
    EXPECT_TRUE(d_.Alive());
}

// ---- programming ---------------------------------------------------------------

TEST_F(Daemon, ProgramsWholeWords) {
    EXPECT_EQ(Ask({0x02, 0x00, 0x84, 0x06, 0x00, 0x40, 0x01, 0x00, 0x12, 0x34, 0x11, 0x03}, 1), Bytes{kAck});
    EXPECT_EQ(d_.Word(0x400100), 0x1234);
    EXPECT_EQ(d_.Word(0x400102), 0xFFFF);
}

TEST_F(Daemon, MergesPartialWordsWithTheFlash) {
    // Even address, five bytes: two words, then a merged word whose low byte
    // keeps the flash's 0x5A.
    d_.WriteWord(0x400204, 0xFF5A);
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x400200, Bytes{0x01, 0x02, 0x03, 0x04, 0x05}), 1), Bytes{kAck});
    EXPECT_EQ(d_.Read(0x400200, 8), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x5A, 0xFF, 0xFF}));

    // Odd address, one byte: the word below keeps its high byte.
    d_.WriteWord(0x400100, 0xA5FF);
    EXPECT_EQ(Ask({0x02, 0x00, 0x84, 0x05, 0x00, 0x40, 0x01, 0x01, 0xAB, 0x76, 0x03}, 1), Bytes{kAck});
    EXPECT_EQ(d_.Word(0x400100), 0xA5AB);

    // Odd address, four bytes: merged first word, one whole, merged last.
    d_.WriteWord(0x400300, 0x3CFF);
    d_.WriteWord(0x400304, 0xFFC3);
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x400301, Bytes{0x11, 0x22, 0x33, 0x44}), 1), Bytes{kAck});
    EXPECT_EQ(d_.Read(0x400300, 6), (Bytes{0x3C, 0x11, 0x22, 0x33, 0x44, 0xC3}));
}

TEST_F(Daemon, ProgramRequestWithoutPayload) {
    const Bytes flash = Flash();
    const unsigned long programs = d_.Board().FlashCounters().programs;
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x400400), 1), Bytes{kAck});
    // At an odd address there is no byte to merge: the request is malformed.
    EXPECT_EQ(Silence(AddressFrame(0x84, 0x400401)), Bytes{});
    EXPECT_EQ(Flash(), flash);
    EXPECT_EQ(d_.Board().FlashCounters().programs, programs);
}

TEST_F(Daemon, StopsAtTheFirstWordThatCannotBeProgrammed) {
    d_.WriteWord(0x400502, 0x0000);  // not erased: 0x1234 cannot be programmed over it
    const Bytes payload = {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34};
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x400500, payload), 1), Bytes{kNak});
    EXPECT_EQ(d_.Word(0x400500), 0x1234);
    EXPECT_EQ(d_.Word(0x400502), 0x0000);
    EXPECT_EQ(d_.Word(0x400504), 0xFFFF);  // no later word touched
    EXPECT_EQ(d_.Word(0x400506), 0xFFFF);
    // The chip is back in reading mode: the daemon reads data, not status.
    EXPECT_EQ(Ask(ReadFrame(0x400500, 4), 10), DataReply(Bytes{0x12, 0x34, 0x00, 0x00}));

    // Programming a word with the value it already holds succeeds.
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x400500, Bytes{0x12, 0x34}), 1), Bytes{kAck});
}

TEST_F(Daemon, AnswersNakWhenTheChipReportsATimeLimit) {
    d_.Board().FailFlashWord(0x400602);
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x400600, Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), 1), Bytes{kNak});
    EXPECT_EQ(d_.Word(0x400604), 0xFFFF);
    EXPECT_TRUE(d_.Alive());
}

TEST_F(Daemon, RefusesToProgramOutsideTheFlash) {
    const Bytes ram = d_.Read(kScratch, 16);
    const Bytes flash = Flash();
    EXPECT_EQ(Ask(AddressFrame(0x84, kScratch, Bytes{0x00, 0x00}), 1), Bytes{kNak});
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x3FFFFE, Bytes{0x00, 0x00, 0x00, 0x00}), 1), Bytes{kNak});
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x47FFFE, Bytes{0x00, 0x00, 0x00, 0x00}), 1), Bytes{kNak});
    EXPECT_EQ(d_.Read(kScratch, 16), ram);
    EXPECT_EQ(Flash(), flash);
    // The last word of the flash is in range.
    EXPECT_EQ(Ask(AddressFrame(0x84, 0x47FFFE, Bytes{0x00, 0x00}), 1), Bytes{kAck});
}

// ---- erasing ---------------------------------------------------------------------

TEST_F(Daemon, ErasesTheWholeSectorThatHoldsTheAddress) {
    // Sectors: 16, 8, 8 and 32 KiB from 0x400000, then 64 KiB each from 0x410000.
    d_.FillFlash(0x408000, 0x430000, 0x21);
    const Bytes flash = Flash();
    EXPECT_EQ(Ask(AddressFrame(0x83, 0x412346), 1), Bytes{kAck});
    const Bytes after = Flash();
    EXPECT_TRUE(AllBlank(Range(after, 0x410000, 0x420000)));
    EXPECT_EQ(Range(after, 0x408000, 0x410000), Range(flash, 0x408000, 0x410000));
    EXPECT_EQ(Range(after, 0x420000, 0x430000), Range(flash, 0x420000, 0x430000));

    EXPECT_EQ(Silence(AddressFrame(0x83, 0x420001)), Bytes{});  // odd: dropped
    EXPECT_EQ(Ask(AddressFrame(0x83, kScratch), 1), Bytes{kNak});
    EXPECT_EQ(Flash(), after);
}

TEST_F(Daemon, AnswersNakWhenASectorDoesNotErase) {
    d_.FillFlash(0x420000, 0x430000, 0x33);
    d_.Board().FailFlashSector(5);
    EXPECT_EQ(Ask(AddressFrame(0x83, 0x420000), 1), Bytes{kNak});
    EXPECT_TRUE(d_.Alive());
}

TEST_F(Daemon, SerialNumberEraseKeepsTheRestOfTheLastPage) {
    // Blank area: nothing is touched, two ACKs.
    d_.FillFlash(kLastPage, kSerialArea, 0x44);
    const Bytes flash = Flash();
    const unsigned long erases = d_.Board().FlashCounters().sectorErases;
    EXPECT_EQ(Ask(Frame(0x8A, {}), 2), (Bytes{kAck, kAck}));
    EXPECT_EQ(Flash(), flash);
    EXPECT_EQ(d_.Board().FlashCounters().sectorErases, erases);

    // With a serial number: only the area goes blank.
    d_.FillFlash(0x460000, 0x461000, 0x55);
    d_.FillFlash(kSerialArea, kFlashEnd, 0x66);
    const Bytes before = Flash();
    EXPECT_EQ(Ask(Frame(0x8A, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    const Bytes after = Flash();
    EXPECT_TRUE(AllBlank(Range(after, kSerialArea, kFlashEnd)));
    EXPECT_EQ(Range(after, kFlashBase, kSerialArea), Range(before, kFlashBase, kSerialArea));
}

TEST_F(Daemon, ChipEraseKeepsTheSerialNumber) {
    d_.FillFlash(kFlashBase, 0x404000, 0x01);
    d_.FillFlash(0x450000, 0x451000, 0x02);
    d_.FillFlash(kLastPage, kSerialArea, 0x03);
    d_.FillFlash(kSerialArea, kFlashEnd, 0x77);
    const Bytes serial = Range(Flash(), kSerialArea, kFlashEnd);
    EXPECT_EQ(Ask(Frame(0x8F, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    const Bytes after = Flash();
    EXPECT_TRUE(AllBlank(Range(after, kFlashBase, kSerialArea)));
    EXPECT_EQ(Range(after, kSerialArea, kFlashEnd), serial);
}

TEST_F(Daemon, ChipEraseWithABlankSerialAreaProgramsNothingBack) {
    d_.FillFlash(kFlashBase, 0x404000, 0x09);
    const unsigned long programs = d_.Board().FlashCounters().programs;
    EXPECT_EQ(Ask(Frame(0x8F, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    EXPECT_TRUE(AllBlank(Flash()));
    EXPECT_EQ(d_.Board().FlashCounters().programs, programs);
}

TEST_F(Daemon, ChipEraseThatFailsAnswersNakAndStillRestoresTheSerialNumber) {
    d_.FillFlash(kSerialArea, kFlashEnd, 0x12);
    const Bytes serial = Range(Flash(), kSerialArea, kFlashEnd);
    d_.Board().FailFlashSector(0);
    EXPECT_EQ(Ask(Frame(0x8F, {}), 2, DaemonBoard::Millis(20000)), (Bytes{kAck, kNak}));
    EXPECT_EQ(Range(Flash(), kSerialArea, kFlashEnd), serial);
    EXPECT_TRUE(d_.Alive());
}

// The routines step `address` and `address2` a word at a time and leave them
// where their loops ended: which pointer walks the flash and which the save
// buffer shows in the values left behind.
TEST_F(Daemon, LeavesTheWorkingPointersWhereTheKeepingLoopsEnd) {
    constexpr std::uint32_t kUntouched = 0x13579BDF;

    // Blank area: only the scan runs; it ends at the flash's end.
    SetLong(d_, kAddress2Word, kUntouched);
    EXPECT_EQ(Ask(Frame(0x8A, {}), 2), (Bytes{kAck, kAck}));
    EXPECT_EQ(Long(d_, kAddressWord), kFlashEnd);
    EXPECT_EQ(Long(d_, kAddress2Word), kUntouched);
    EXPECT_EQ(Ask(Frame(0x8F, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    EXPECT_EQ(Long(d_, kAddressWord), kFlashEnd);
    EXPECT_EQ(Long(d_, kAddress2Word), kUntouched);

    // 0x8F programs the area back: `address` ends in RAM, `address2` in flash.
    d_.FillFlash(kSerialArea, kFlashEnd, 0x5C);
    EXPECT_EQ(Ask(Frame(0x8F, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    EXPECT_EQ(Long(d_, kAddressWord), kSaveBuffer + 0x1000);
    EXPECT_EQ(Long(d_, kAddress2Word), kFlashEnd);

    // 0x8A programs the page below the area back: the other way round.
    EXPECT_EQ(Ask(Frame(0x8A, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    EXPECT_EQ(Long(d_, kAddressWord), kSerialArea);
    EXPECT_EQ(Long(d_, kAddress2Word), kSaveBuffer + (kSerialArea - kLastPage));
}

// ---- line ------------------------------------------------------------------------

TEST_F(Daemon, ChangesSpeedAfterAcknowledgingAtTheOldOne) {
    const Bytes version = {0x02, 0x00, 0x92, 0x01, 0x02, 0x95, 0x03};
    EXPECT_EQ(Ask({0x02, 0x00, 0x86, 0x01, 0x0C, 0x93, 0x03}, 1), Bytes{kAck});  // heard at 9600
    EXPECT_EQ(d_.Board().DuartClockSelect(sim::Channel::A), 0xCC);
    d_.SetHostFormat(sim::k38400_8N1);
    EXPECT_EQ(Ask(Frame(0x89, {}), 7), version);
    // Codes beyond the clock-select field are not speeds.
    EXPECT_EQ(Silence(Frame(0x86, Bytes{0x1C})), Bytes{});
    EXPECT_EQ(d_.Board().DuartClockSelect(sim::Channel::A), 0xCC);
    // Back to 9600 the same way.
    EXPECT_EQ(Ask(Frame(0x86, Bytes{0x0B}), 1), Bytes{kAck});
    d_.SetHostFormat(sim::k9600_8N1);
    EXPECT_EQ(Ask(Frame(0x89, {}), 7), version);
}

TEST_F(Daemon, DoesNotTakeRequestsAtTheOldSpeed) {
    EXPECT_EQ(Ask(Frame(0x86, Bytes{0x0C}), 1), Bytes{kAck});
    // At 9600 the request reaches a 38400 receiver as garbage (and, for its
    // long runs of zeros, as breaks): no version reply.
    const Bytes got = d_.Exchange(Frame(0x89, {}), 7, DaemonBoard::Millis(300));
    const Bytes reply = {0x92, 0x01, 0x01};
    EXPECT_EQ(std::search(got.begin(), got.end(), reply.begin(), reply.end()), got.end());
}

TEST_F(Daemon, LineBreakPutsBothChannelsAt9600) {
    EXPECT_EQ(Ask(Frame(0x86, Bytes{0x0C}), 1), Bytes{kAck});
    d_.SetHostFormat(sim::k38400_8N1);
    EXPECT_TRUE(d_.Alive());
    d_.Board().HostBreak(true);
    d_.Board().RunFor(DaemonBoard::Millis(300));
    d_.Board().HostBreak(false);
    EXPECT_EQ(d_.Exchange({}, 0, DaemonBoard::Millis(500)), Bytes{});
    EXPECT_EQ(d_.Board().DuartClockSelect(sim::Channel::A), 0xBB);
    EXPECT_EQ(d_.Board().DuartClockSelect(sim::Channel::B), 0xBB);
    d_.SetHostFormat(sim::k9600_8N1);
    EXPECT_TRUE(d_.Alive());
}

TEST_F(Daemon, ReturnsToTheBootMonitor) {
    EXPECT_EQ(Silence(Frame(0x87, {})), Bytes{});
    EXPECT_EQ(d_.Board().Mode(), sim::BoardMode::Monitor);
    EXPECT_EQ(Ask({0x05, 0x0A, 0x14, 0x28}, 1), Bytes{kAck});  // the monitor answers the ping
}

TEST(DaemonMonitor, ReentersAtTheEntryTheMonitorsByteSelects) {
    for (const bool at1DA : {true, false}) {
        sim::BoardOptions o = DaemonBoard::DefaultOptions();
        o.reenterAt1DA = at1DA;
        DaemonBoard d(o);
        ASSERT_TRUE(d.Ok()) << d.Error();
        ASSERT_TRUE(d.StartDaemon());
        EXPECT_EQ(d.SendExpectingSilence(Frame(0x87, {})), Bytes{});
        EXPECT_EQ(d.Board().Mode(), sim::BoardMode::Monitor);
        EXPECT_EQ(d.Board().CpuPc(), at1DA ? sim::kReentry1DA : sim::kReentry1C8);
        EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
    }
}

// With the flash's real times the erase lasts long enough to look at the
// working pointers while it runs, after the save and before the restore.
TEST(DaemonKeeping, SavesWithEachPointerInItsOwnRole) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.timing = sim::TimingProfile::Typical;
    DaemonBoard d(o);
    ASSERT_TRUE(d.Ok()) << d.Error();
    ASSERT_TRUE(d.StartDaemon());
    d.FillFlash(kSerialArea, kFlashEnd, 0x4E);

    // 0x8A: `address` walks the flash up to the area, `address2` the buffer.
    const unsigned long sectorErases = d.Board().FlashCounters().sectorErases;
    EXPECT_EQ(d.Exchange(Frame(0x8A, {}), 1), Bytes{kAck});
    ASSERT_TRUE(d.Board().RunUntil([&] { return d.Board().FlashCounters().sectorErases > sectorErases; },
                                   DaemonBoard::Millis(3000)));
    EXPECT_EQ(Long(d, kAddressWord), kSerialArea);
    EXPECT_EQ(Long(d, kAddress2Word), kSaveBuffer + (kSerialArea - kLastPage));
    EXPECT_EQ(d.Exchange({}, 1, DaemonBoard::Millis(5000)), Bytes{kAck});

    // 0x8F: `address` walks the buffer, `address2` the area.
    d.FillFlash(kSerialArea, kFlashEnd, 0x4F);
    SetLong(d, kAddressWord, 0);
    SetLong(d, kAddress2Word, 0);
    const unsigned long chipErases = d.Board().FlashCounters().chipErases;
    EXPECT_EQ(d.Exchange(Frame(0x8F, {}), 1), Bytes{kAck});
    ASSERT_TRUE(d.Board().RunUntil([&] { return d.Board().FlashCounters().chipErases > chipErases; },
                                   DaemonBoard::Millis(3000)));
    EXPECT_EQ(Long(d, kAddressWord), kSaveBuffer + 0x1000);
    EXPECT_EQ(Long(d, kAddress2Word), kFlashEnd);
    EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
}

// The stack stays far from the code: paint it, exercise the deepest paths,
// and look how far down it was used.
TEST(DaemonStack, StaysWithinItsReserve) {
    DaemonBoard d;
    ASSERT_TRUE(d.Ok()) << d.Error();
    const std::uint32_t low = kStackTop - 0x1000;
    d.Write(low, Bytes(0x1000, 0xA5));
    ASSERT_TRUE(d.StartDaemon());
    d.FillFlash(kSerialArea, kFlashEnd, 0x31);
    EXPECT_EQ(d.Exchange(Frame(0x8A, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    d.FillFlash(kSerialArea, kFlashEnd, 0x31);
    EXPECT_EQ(d.Exchange(Frame(0x8F, {}), 2, DaemonBoard::Millis(10000)), (Bytes{kAck, kAck}));
    EXPECT_EQ(d.Exchange(AddressFrame(0x84, 0x400001, Bytes(245, 0x00)), 1), Bytes{kAck});
    EXPECT_EQ(d.Exchange(ReadFrame(kScratch, 255), 261).size(), 261u);
    const Bytes stack = d.Read(low, 0x1000);
    const auto used = std::find_if(stack.begin(), stack.end(), [](std::uint8_t b) { return b != 0xA5; });
    const std::size_t depth = static_cast<std::size_t>(stack.end() - used);
    RecordProperty("stack_bytes", static_cast<int>(depth));
    EXPECT_GT(depth, 260u);   // main's frame buffer at least
    EXPECT_LT(depth, 1024u);  // far inside the 4 KiB kept free
    EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
}

// ---- start-up ------------------------------------------------------------------

TEST(DaemonStart, AnswersOnChannelBWhenTheMonitorUsesIt) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.channel = sim::Channel::B;
    DaemonBoard d(o);
    ASSERT_TRUE(d.Ok()) << d.Error();
    ASSERT_TRUE(d.StartDaemon());
    EXPECT_NE(d.Word(0x806), 0x0C00);
    EXPECT_EQ(d.Read(0x4A0000, 4), (Bytes{0x00, 0x00, 0x00, 0x01}));  // PORT
    EXPECT_TRUE(d.Alive());
    EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
}

TEST(DaemonStart, SetsOnlyChannelBsSpeedThereAndBothOnABreak) {
    sim::BoardOptions o = DaemonBoard::DefaultOptions();
    o.channel = sim::Channel::B;
    DaemonBoard d(o);
    ASSERT_TRUE(d.Ok()) << d.Error();
    ASSERT_TRUE(d.StartDaemon());
    const std::uint8_t channelA = d.Board().DuartClockSelect(sim::Channel::A);
    EXPECT_EQ(d.Exchange(Frame(0x86, Bytes{0x0C}), 1), Bytes{kAck});
    EXPECT_EQ(d.Board().DuartClockSelect(sim::Channel::B), 0xCC);
    EXPECT_EQ(d.Board().DuartClockSelect(sim::Channel::A), channelA);
    d.SetHostFormat(sim::k38400_8N1);
    EXPECT_TRUE(d.Alive());

    // Channel A away from 9600 too, so that the break has both to reset:
    // move.b #$CC,$00000C03 ; rts
    const Bytes setCsra = {0x13, 0xFC, 0x00, 0xCC, 0x00, 0x00, 0x0C, 0x03, 0x4E, 0x75};
    EXPECT_EQ(d.Exchange(AddressFrame(0x81, kScratch, setCsra), 1), Bytes{kAck});
    EXPECT_EQ(d.Exchange(AddressFrame(0x82, kScratch), 1), Bytes{kAck});
    EXPECT_TRUE(d.Alive());
    EXPECT_EQ(d.Board().DuartClockSelect(sim::Channel::A), 0xCC);

    d.Board().HostBreak(true);
    d.Board().RunFor(DaemonBoard::Millis(300));
    d.Board().HostBreak(false);
    EXPECT_EQ(d.Exchange({}, 0, DaemonBoard::Millis(500)), Bytes{});
    EXPECT_EQ(d.Board().DuartClockSelect(sim::Channel::A), 0xBB);
    EXPECT_EQ(d.Board().DuartClockSelect(sim::Channel::B), 0xBB);
    d.SetHostFormat(sim::k9600_8N1);
    EXPECT_TRUE(d.Alive());
    EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
}

TEST(DaemonStart, AnyConsoleWordBut0C00MeansChannelB) {
    for (std::uint16_t word : {std::uint16_t{0x0C00}, std::uint16_t{0x0C10}, std::uint16_t{0x0000}}) {
        DaemonBoard d;
        ASSERT_TRUE(d.Ok()) << d.Error();
        ASSERT_TRUE(d.StartDaemon());
        // set_port runs again on the daemon's own restart at its entry.
        d.WriteWord(0x806, word);
        EXPECT_EQ(d.Exchange(AddressFrame(0x82, 0x490000), 1), Bytes{kAck});
        d.Board().RunFor(DaemonBoard::Millis(50));
        const std::uint8_t expected = word == 0x0C00 ? 0 : 1;
        EXPECT_EQ(d.Read(0x4A0000, 4), (Bytes{0x00, 0x00, 0x00, expected})) << std::hex << word;
        EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
    }
}

TEST(DaemonStart, RunsAfterTheLoadersDownloadThroughTheMonitor) {
    DaemonBoard d;
    ASSERT_TRUE(d.Ok()) << d.Error();
    ASSERT_TRUE(d.DownloadAndStart());
    for (const ImageRecord& r : ImageRecords()) ASSERT_EQ(d.Read(r.address, static_cast<std::uint32_t>(r.data.size())), r.data);
    EXPECT_EQ(d.Exchange(Frame(0x86, Bytes{0x0C}), 1), Bytes{kAck});
    d.SetHostFormat(sim::k38400_8N1);
    EXPECT_TRUE(d.Alive());
    EXPECT_TRUE(d.Faults().empty()) << d.FaultText();
}

}  // namespace
}  // namespace daemontest
