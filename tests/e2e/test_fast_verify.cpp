// Verify by CRCs computed on the simulated board by the stored applet.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "../srec/SrecTestUtil.h"
#include "Board.h"
#include "CommPort.h"
#include "DaemonDownload.h"
#include "DaemonImage.h"
#include "FastVerify.h"
#include "FlashMemT.h"
#include "LoadSequence.h"
#include "PortNames.h"
#include "RomUpload.h"
#include "Target.h"
#include "VirtualLineAttachment.h"
#include "crc_applet.h"

namespace {

std::string S3Line(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> body{static_cast<std::uint8_t>(data.size() + 5)};
    for (int shift = 24; shift >= 0; shift -= 8) body.push_back(static_cast<std::uint8_t>(address >> shift));
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (const auto b : body) sum += b;
    body.push_back(static_cast<std::uint8_t>(~sum));
    std::string line = "S3";
    char hex[3];
    for (const auto b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line + "\n";
}

class FastVerify : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        board = sim::Board::Create({}, &error);
        ASSERT_TRUE(board) << error;
        const std::string name = "fast-verify-" + std::to_string(serial++);
        attachment = sim::VirtualLineAttachment::Open(*board, name, &error);
        ASSERT_TRUE(attachment) << error;
        BindPort(0, name);
        SelectedPort = 0;
        board->Start();
        // The file: whole blocks, a run ending inside a block, one starting
        // inside a block, and a block with a hole.
        text = RomText({{0x404000, 0x404410}, {0x404480, 0x404500}, {0x470010, 0x470040}, {0x470080, 0x470100}});
        const std::string path = dir.Write("f.s", text);
        ResetTargetConfiguration();
        LoadTargetConfiguration();
        ASSERT_EQ(Connect(), 1);
        NoProgressT quiet;
        ASSERT_EQ(DownloadDaemon(quiet), 0);
        ASSERT_EQ(EraseFlash(), 0);
        ASSERT_EQ(LoadRomFile(path.c_str(), quiet), 0);
        image = ReadRomImage(path.c_str());
    }
    ~FastVerify() override {
        ResetTargetState();
        if (board) board->Stop();
        attachment.reset();
        UnbindAllPorts();
    }
    std::string RomText(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) {
        std::string t;
        for (const auto& [from, to] : ranges) {
            for (std::uint32_t a = from; a < to; a += 16) {
                std::vector<std::uint8_t> d(std::min<std::uint32_t>(16, to - a));
                for (std::size_t i = 0; i < d.size(); ++i) {
                    d[i] = static_cast<std::uint8_t>(rng());
                    expected[a + i - sim::kFlashBase] = d[i];
                }
                t += S3Line(a, d);
            }
        }
        return t + "S70500000000FA\n";
    }
    std::uint8_t Expected(std::uint32_t a) const { return expected[a - sim::kFlashBase]; }
    // The daemon still answers: a ping, and a read of its own first bytes.
    void ExpectDaemonAnswers() {
        EXPECT_TRUE(TargetLink->IsAlive());
        std::vector<std::uint8_t> head(8);
        ASSERT_EQ(ReadBoard(daemonLoadAddress, head, {}), 0);
        EXPECT_EQ(head, board->ReadMemory(daemonLoadAddress, 8));
        EXPECT_TRUE(board->Faults().empty());
    }

    static inline int serial = 0;
    ScratchDir dir;
    std::mt19937 rng{7};
    std::vector<std::uint8_t> expected = std::vector<std::uint8_t>(0x80000, 0xFF);
    std::string text;
    RomImageT image;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::VirtualLineAttachment> attachment;
};

constexpr unsigned long kFileBytes = 0x410 + 0x80 + 0x30 + 0x80;

TEST(Crc32, IsZlibsCrc32) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0xCBF43926u);
    // Going on from an earlier result is the CRC of the whole.
    const auto* p = reinterpret_cast<const std::uint8_t*>(check.data());
    EXPECT_EQ(Crc32(std::span(p + 4, 5), Crc32(std::span(p, 4))), 0xCBF43926u);
}

TEST_F(FastVerify, NamesTheBlockOfAFlippedWordAndIgnoresBytesOutsideTheFile) {
    // Bytes the file does not hold, inside blocks it touches and elsewhere.
    const std::uint8_t junk[2] = {0x12, 0x34};
    ASSERT_TRUE(board->WriteMemory(0x404440, junk));
    ASSERT_TRUE(board->WriteMemory(0x470050, junk));
    ASSERT_TRUE(board->WriteMemory(0x420000, junk));
    FastVerifyResultT f = FastVerifyRom(image, {});
    EXPECT_EQ(f.applet, 0);
    EXPECT_FALSE(f.readBack);
    EXPECT_EQ(f.verify.result, 0);
    EXPECT_EQ(f.verify.compared, kFileBytes);
    EXPECT_EQ(f.verify.differing, 0u);
    EXPECT_TRUE(f.differingBlocks.empty());
    ExpectDaemonAnswers();

    // Changed behind the loader's back: a word that only an erase restores,
    // and, in the holed block, a word that lost bits it should have kept.
    const std::uint8_t flipped[2] = {static_cast<std::uint8_t>(~Expected(0x404202)),
                                     static_cast<std::uint8_t>(~Expected(0x404203))};
    ASSERT_TRUE(board->WriteMemory(0x404202, flipped));
    const std::uint8_t blank[2] = {0xFF, 0xFF};
    ASSERT_TRUE(board->WriteMemory(0x4700F0, blank));
    f = FastVerifyRom(image, {});
    EXPECT_FALSE(f.readBack);
    EXPECT_EQ(f.verify.result, 0);
    EXPECT_EQ(f.verify.compared, kFileBytes);
    EXPECT_EQ(f.differingBlocks, (std::vector<std::uint32_t>{0x404200, 0x470000}));
    const unsigned long blankDiffers = (Expected(0x4700F0) != 0xFF ? 1U : 0U) + (Expected(0x4700F1) != 0xFF ? 1U : 0U);
    EXPECT_EQ(f.verify.differing, 2u + blankDiffers);
    EXPECT_EQ(f.verify.firstAddress, 0x404202u);
    EXPECT_EQ(f.verify.expected, Expected(0x404202));
    EXPECT_EQ(f.verify.found, flipped[0]);
    ExpectDaemonAnswers();

    // Repair programs the blank word; the flipped one needs an erase.
    FastVerifyOptionsT repair;
    repair.repair = true;
    f = FastVerifyRom(image, {}, repair);
    EXPECT_EQ(f.repaired, 1u);
    EXPECT_EQ(f.differingBlocks, std::vector<std::uint32_t>{0x404200});
    EXPECT_EQ(f.verify.differing, 2u);
    EXPECT_EQ(board->ReadMemory(0x4700F0, 2), (std::vector<std::uint8_t>{Expected(0x4700F0), Expected(0x4700F1)}));
    ExpectDaemonAnswers();
}

TEST_F(FastVerify, FallsBackToTheReadBackWhenTheAppletDoesNotAnswer) {
    const std::uint8_t flipped[2] = {static_cast<std::uint8_t>(~Expected(0x404480)), Expected(0x404481)};
    ASSERT_TRUE(board->WriteMemory(0x404480, flipped));
    // An applet that returns at once and sends nothing, linked for this daemon.
    std::vector<std::uint8_t> mute(crcApplet, crcApplet + 4);
    mute.insert(mute.end(), {0x4E, 0x75});  // rts
    FastVerifyOptionsT o;
    o.applet = mute;
    FastVerifyResultT f = FastVerifyRom(image, {}, o);
    EXPECT_EQ(f.applet, kAppletSilent);
    EXPECT_TRUE(f.readBack);
    EXPECT_EQ(f.verify.result, 0);
    EXPECT_EQ(f.verify.compared, kFileBytes);
    EXPECT_EQ(f.verify.differing, 1u);
    EXPECT_EQ(f.verify.firstAddress, 0x404480u);
    ExpectDaemonAnswers();

    // One linked for another daemon is never called.
    std::vector<std::uint8_t> other(crcApplet, crcApplet + crcAppletSize);
    other[3] ^= 0x10;
    o.applet = other;
    f = FastVerifyRom(image, {}, o);
    EXPECT_EQ(f.applet, kAppletOtherDaemon);
    EXPECT_TRUE(f.readBack);
    EXPECT_EQ(f.verify.differing, 1u);
    EXPECT_EQ(board->ReadMemory(CRC_APPLET_BASE + 4, 2), (std::vector<std::uint8_t>{0x4E, 0x75}));
}

}  // namespace

namespace {

// Statuses in order; after the upload, before the check, a word of the flash
// changes as a damaged frame whose sum still held would leave it.
class DamagingView final : public SequenceViewT {
public:
    explicit DamagingView(sim::Board& board) : board_(board) {}
    void SetStatus(const std::string& text) override { statuses.push_back(text); }
    void SetLamp(LampT) override {}
    void ShowProgress(unsigned, unsigned) override {}
    void HideProgress() override {}
    void DisableStart() override {}
    void EnableReset() override {}
    void DaemonReady() override {}
    void UploadSucceeded() override {}
    void SetProgress(int) override {}
    void FillProgress() override {}
    void ToggleUploadLamp() override {}
    void EnableRestart() override {}
    void StepTimed(const char* step, double) override {
        if (damage && std::string(step) == "upload") board_.WriteMemory(0x404300, std::array<std::uint8_t, 1>{0x00});
    }
    void Reason(const std::string& text) override { reason = text; }
    bool damage = false;
    std::vector<std::string> statuses;
    std::string reason;

private:
    sim::Board& board_;
};

}  // namespace

TEST_F(FastVerify, TheUploadSequenceSaysDoneOnlyWhenTheFlashHoldsTheFile) {
    const RomImageT& rom = image;
    DamagingView good(*board);
    EXPECT_EQ(RunUploadSequence(good, "f.s", rom), UploadOutcomeT::Completed);
    EXPECT_EQ(good.statuses.back(), "Load file completed ...");

    DamagingView damaged(*board);
    damaged.damage = Expected(0x404300) != 0x00;
    ASSERT_TRUE(damaged.damage);
    EXPECT_EQ(RunUploadSequence(damaged, "f.s", rom), UploadOutcomeT::Failed);
    EXPECT_EQ(damaged.statuses.back(), "Load ROM file ERROR...");
    EXPECT_EQ(damaged.reason, "the flash does not hold the file: 1 byte differs, the first at 0x404300");
}
