#include <gtest/gtest.h>

#include <random>

#include "../common/BringUpWrites.h"
#include "../srec/SrecTestUtil.h"
#include "Board.h"
#include "BoardMemory.h"
#include "CommPort.h"
#include "DaemonDownload.h"
#include "FlashMemT.h"
#include "PortNames.h"
#include "RomUpload.h"
#include "Target.h"
#include "VirtualLine.h"
#include "VirtualLineAttachment.h"

namespace {

constexpr std::uint32_t kSerialArea = 0x47F000;
constexpr std::size_t kFlashSize = 0x80000;

struct Outcome {
    int connect = 0, download = 0, erase = 0, upload = 0;
};

class EndToEnd : public ::testing::Test {
protected:
    void Board(sim::BoardOptions options = {}) {
        std::string error;
        board = sim::Board::Create(options, &error);
        ASSERT_TRUE(board) << error;
        const std::string name = "e2e-board-" + std::to_string(serial++);
        attachment = sim::VirtualLineAttachment::Open(*board, name, &error);
        ASSERT_TRUE(attachment) << error;
        BindPort(0, name);
        SelectedPort = 0;
        board->Start();
    }
    ~EndToEnd() override {
        ResetTargetState();
        if (board) board->Stop();
        attachment.reset();
        UnbindAllPorts();
    }
    Outcome Sequence(const std::string& rom) {
        Outcome o;
        ResetTargetConfiguration();
        LoadTargetConfiguration();
        o.connect = Connect();
        if (o.connect != 1 && o.connect != 2) return o;
        if (o.connect == 1) o.download = DownloadDaemon(quiet);
        if (o.download != 0 && o.download != 1) return o;
        o.erase = EraseFlash();
        if (o.erase != 0) return o;
        o.upload = LoadRomFile(rom.c_str(), quiet);
        return o;
    }
    // A ROM of random data in records of `size` bytes, per range [from, to).
    std::string Rom(const std::string& name, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges,
                    int size, char type = '3') {
        const auto path = dir.Path(name);
        SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
        for (const auto& [from, to] : ranges) {
            for (std::uint32_t a = from; a < to; a += static_cast<std::uint32_t>(size)) {
                const auto n = std::min<std::uint32_t>(static_cast<std::uint32_t>(size), to - a);
                std::vector<std::uint8_t> d(n);
                for (auto& b : d) {
                    b = static_cast<std::uint8_t>(rng());
                    expected[a - sim::kFlashBase + static_cast<std::uint32_t>(&b - d.data())] = b;
                }
                f.WriteRecord(a, static_cast<std::uint8_t>(n), d.data(), type);
            }
        }
        f.WriteRecord(0, 0, nullptr, type == '2' ? '8' : '7');
        return path;
    }
    void ExpectFlashIsTheFile() {
        const auto flash = board->FlashContents();
        ASSERT_EQ(flash.size(), kFlashSize);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < kFlashSize; ++i) wrong += flash[i] != expected[i];
        EXPECT_EQ(wrong, 0u);
    }

    static inline int serial = 0;
    NoProgressT quiet;
    ScratchDir dir;
    std::mt19937 rng{2024};
    std::vector<std::uint8_t> expected = std::vector<std::uint8_t>(kFlashSize, 0xFF);
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::VirtualLineAttachment> attachment;
};

TEST_F(EndToEnd, FreshBoardIsProgrammedByteForByte) {
    Board();
    const auto rom = Rom("a.s", {{0x400000, 0x404000}, {0x420010, 0x420810}, {0x47E800, 0x47F000}}, 16);
    const Outcome o = Sequence(rom);
    EXPECT_EQ(o.connect, 1);
    EXPECT_EQ(o.download, 0);
    EXPECT_EQ(o.erase, 0);
    EXPECT_EQ(o.upload, 0);
    ExpectFlashIsTheFile();
    EXPECT_TRUE(board->Faults().empty());

    // The memory-interface writes, in order, as bring-up must make them.
    std::vector<RegisterStep> log;
    for (const auto& w : board->RegisterLog()) log.push_back({w.address, w.width, w.value});
    EXPECT_EQ(log, std::vector<RegisterStep>(kBringUpWrites.begin(), kBringUpWrites.end()));
}

TEST_F(EndToEnd, ApplicationHandsOverAndS2RecordsOf32BytesWithAGap) {
    sim::BoardOptions o;
    o.application = true;
    Board(o);
    const auto rom = Rom("b.s", {{0x410000, 0x412000}, {0x430000, 0x430100}}, 32, '2');
    const Outcome r = Sequence(rom);
    EXPECT_EQ(r.connect, 1);
    EXPECT_EQ(r.upload, 0);
    ExpectFlashIsTheFile();
}

TEST_F(EndToEnd, SerialNumberSurvivesAndTheFileMayEndBelowIt) {
    sim::BoardOptions o;
    o.channel = sim::Channel::B;  // the console on channel B changes nothing
    Board(o);
    std::vector<std::uint8_t> serialArea(0x1000);
    for (std::size_t i = 0; i < serialArea.size(); ++i) serialArea[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_TRUE(board->WriteMemory(kSerialArea, serialArea));
    std::copy(serialArea.begin(), serialArea.end(), expected.begin() + (kSerialArea - sim::kFlashBase));
    // Old contents elsewhere are erased.
    ASSERT_TRUE(board->WriteMemory(0x440000, std::vector<std::uint8_t>(64, 0x00)));
    const auto rom = Rom("c.s", {{0x47EF00, 0x47F000}}, 16);
    const Outcome r = Sequence(rom);
    EXPECT_EQ(r.connect, 1);
    EXPECT_EQ(r.upload, 0);
    ExpectFlashIsTheFile();
}

TEST_F(EndToEnd, RestartRunsTheExampleRom) {
    Board();
    const Outcome o = Sequence(ZELMO_EXAMPLE_ROM);
    ASSERT_EQ(o.upload, 0);
    ASSERT_TRUE(RestartReceiver(kRestartAddress));
    std::string seen;
    std::array<std::uint8_t, 256> buf{};
    for (int i = 0; i < 100 && seen.find("running.") == std::string::npos; ++i) {
        CommWaitInput(50);
        const int n = CommRead(buf);
        seen.append(buf.begin(), buf.begin() + n);
    }
    EXPECT_NE(seen.find("Hello from Zelmo! The new ROM is running."), std::string::npos) << seen;
}

TEST_F(EndToEnd, DaemonFoundAgainInTheSameRunAndInANewOne) {
    Board();
    ASSERT_EQ(Sequence(Rom("d.s", {{0x400000, 0x400100}}, 16)).upload, 0);
    board->ClearRegisterLog();
    // Same run: the break brings the daemon back to 9600, where it answers;
    // it is known to run, so nothing is written or loaded again.
    EXPECT_EQ(Connect(), 1);
    EXPECT_EQ(DownloadDaemon(quiet), 1);
    EXPECT_TRUE(board->RegisterLog().empty());
    EXPECT_EQ(EraseFlash(), 0);
    // A new run of the program knows nothing: it sets the board up again
    // and loads the daemon over the one that answers.
    daemonRunning = false;
    const Outcome o = Sequence(Rom("e.s", {{0x400000, 0x400100}}, 16));
    EXPECT_EQ(o.connect, 1);
    EXPECT_EQ(o.download, 0);
    EXPECT_EQ(o.upload, 0);
    // The daemon stores byte by byte, so only the 16-bit writes of the
    // register-write routine keep their form: all nineteen of them.
    std::size_t wordWrites = 0;
    for (const auto& w : board->RegisterLog()) wordWrites += w.width == 16;
    EXPECT_EQ(wordWrites, 19u);
}

TEST_F(EndToEnd, FailuresEachGiveTheirResult) {
    Board();
    // A file that cannot be opened, and a corrupt one: the board is untouched.
    const auto good = Rom("f.s", {{0x400000, 0x400400}}, 16);
    EXPECT_EQ(Sequence(dir.Path("missing.s")).upload, -151);
    const auto corrupt = dir.Write("g.s", "S3090040040001020304FF\n" + ReadAll(good));
    EXPECT_EQ(ReadRomImage(corrupt.c_str()).result, kRomBadRecord);
    EXPECT_EQ(LoadRomFile(corrupt.c_str(), quiet), -1);

    // A flash word that will not program: five NAKs, then -1.
    board->FailFlashWord(0x400204);
    EXPECT_EQ(EraseFlash(), 0);
    EXPECT_EQ(LoadRomFile(good.c_str(), quiet), -1);
    board->ClearFlashFaults();

    // A sector that will not erase.
    board->FailFlashSector(3);
    EXPECT_EQ(TargetFlash->EraseChip(), FlashMemT::kStatusNak);
    EXPECT_EQ(EraseFlash(), -104);
}

TEST_F(EndToEnd, VerifyFindsAFlippedWordAndEraseTakesOnlyWhatItNames) {
    Board();
    const auto rom = Rom("v.s", {{0x404000, 0x404400}, {0x404480, 0x404500}, {0x470000, 0x470100}}, 16);
    ASSERT_EQ(Sequence(rom).upload, 0);
    const RomImageT image = ReadRomImage(rom.c_str());
    // The plan is the upload's own gathering: blocks cover the file exactly.
    const UploadPlanT plan = PlanUpload(image);
    std::size_t planned = 0;
    for (const auto& b : plan.blocks) planned += b.count;
    EXPECT_EQ(planned, 0x400u + 0x80u + 0x100u);
    EXPECT_GE(plan.frames, plan.blocks.size());

    unsigned long lastDone = 0, lastTotal = 0;
    VerifyResultT v = VerifyRom(image, [&](std::uint32_t done, std::uint32_t total) {
        EXPECT_GE(done, lastDone);
        lastDone = done;
        lastTotal = total;
    });
    EXPECT_EQ(v.result, 0);
    EXPECT_EQ(v.differing, 0u);
    EXPECT_EQ(v.compared, 0x580u);
    EXPECT_EQ(lastDone, lastTotal);

    // A word that did not stick, after programming.
    const std::uint8_t flipped[2] = {static_cast<std::uint8_t>(~expected[0x4202]),
                                     static_cast<std::uint8_t>(~expected[0x4203])};
    ASSERT_TRUE(board->WriteMemory(0x404202, flipped));
    v = VerifyRom(image, {});
    EXPECT_EQ(v.result, 0);
    EXPECT_EQ(v.differing, 2u);
    EXPECT_EQ(v.firstAddress, 0x404202u);
    EXPECT_EQ(v.expected, expected[0x4202]);
    EXPECT_EQ(v.found, flipped[0]);

    // Read-back of a run that does not start on a chunk (the flipped word in it).
    expected[0x4202] = flipped[0];
    expected[0x4203] = flipped[1];
    std::vector<std::uint8_t> bytes(300);
    ASSERT_EQ(ReadBoard(0x404101, bytes, {}), 0);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin() + 0x4101));

    // One sector, by an odd address inside it; the serial-number area.
    ASSERT_TRUE(board->WriteMemory(kSerialArea, std::vector<std::uint8_t>(16, 0x5A)));
    EXPECT_EQ(EraseFlashSector(0x405FFF), 0);
    EXPECT_EQ(EraseFlashSector(0x480000), kNotInFlash);
    EXPECT_EQ(EraseSerialNumberArea(), 0);
    const auto flash = board->FlashContents();
    EXPECT_EQ(std::count(flash.begin() + 0x4000, flash.begin() + 0x6000, 0xFF), 0x2000);
    EXPECT_EQ(std::count(flash.begin() + 0x7F000, flash.end(), 0xFF), 0x1000);
    // The rest of the top sector stays.
    EXPECT_TRUE(std::equal(flash.begin() + 0x70000, flash.begin() + 0x70100, expected.begin() + 0x70000));
}

TEST_F(EndToEnd, SilentLineFailsToConnect) {
    VirtualLineT line("e2e-silent");
    BindPort(0, "e2e-silent");
    SelectedPort = 0;
    ResetTargetConfiguration();
    LoadTargetConfiguration();
    EXPECT_EQ(Connect(), -1);
    EXPECT_FALSE(daemonRunning);
}

}  // namespace
