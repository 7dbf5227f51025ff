// The opt-in speed-ups against the simulated board running the real daemon:
// what they leave in the flash, and what they put on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <random>
#include <utility>

#include "Board.h"
#include "BoardMemory.h"
#include "DaemonDownload.h"
#include "DaemonImage.h"
#include "FastOptions.h"
#include "FirstLoader.h"
#include "FlashMemT.h"
#include "PortNames.h"
#include "RomUpload.h"
#include "SectorErase.h"
#include "SxFile.h"
#include "board_map.h"
#include "Target.h"
#include "VirtualLineAttachment.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSize = kFlashEnd - kFlashBase;

// S3 records of up to 16 bytes holding bytes at address.
std::string Records(std::uint32_t address, const Bytes& bytes) {
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, bytes.size() - at);
        const std::uint32_t a = address + static_cast<std::uint32_t>(at);
        char line[64];
        unsigned sum = static_cast<unsigned>(n + 5) + (a >> 24) + ((a >> 16) & 0xFF) + ((a >> 8) & 0xFF) + (a & 0xFF);
        std::snprintf(line, sizeof line, "S3%02X%08X", static_cast<unsigned>(n + 5), static_cast<unsigned>(a));
        text += line;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(line, sizeof line, "%02X", bytes[at + i]);
            text += line;
            sum += bytes[at + i];
        }
        std::snprintf(line, sizeof line, "%02X\n", ~sum & 0xFFu);
        text += line;
    }
    return text;
}

// A program frame seen on the line: its address and payload size.
struct ProgramFrame {
    std::uint32_t address;
    std::size_t payload;
};

class FastSequence : public ::testing::Test {
protected:
    // A fresh board (the one before, if any, goes with its link).
    void Board(const sim::BoardOptions& options = {}) {
        Drop();
        expected.assign(kSize, 0xFF);
        std::string error;
        board = sim::Board::Create(options, &error);
        ASSERT_TRUE(board) << error;
        const std::string name = "fast-board-" + std::to_string(serial++);
        attachment = sim::VirtualLineAttachment::Open(*board, name, &error);
        ASSERT_TRUE(attachment) << error;
        BindPort(0, name);
        SelectedPort = 0;
        board->Start();
    }
    ~FastSequence() override { Drop(); }
    void Drop() {
        ResetTargetState();
        if (board) board->Stop();
        attachment.reset();
        board.reset();
        UnbindAllPorts();
    }
    // Old contents written straight into the flash, and expected to stay.
    void Preset(std::uint32_t address, const Bytes& bytes) {
        ASSERT_TRUE(board->WriteMemory(address, bytes));
        std::copy(bytes.begin(), bytes.end(), expected.begin() + (address - kFlashBase));
    }
    // Data of the file: random, or a run of value.
    std::string Data(std::uint32_t address, std::size_t count, int value = -1) {
        Bytes d(count);
        for (auto& b : d) b = value < 0 ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(value);
        std::copy(d.begin(), d.end(), expected.begin() + (address - kFlashBase));
        return Records(address, d);
    }
    // The sequence up to the end of the upload; the first failing step's
    // result, or 0.
    int Program(const std::string& text, const FastOptionsT& fast) {
        const RomImageT image = ParseRomImage(text);
        ResetTargetConfiguration();
        LoadTargetConfiguration();
        if (const int c = Connect(fast); c != 1) return 1000 + c;
        if (const int d = DownloadDaemon(quiet, fast.monitorFirst); d != 0) return 2000 + d;
        if (const int e = fast.sectorErase ? EraseTouchedSectors(image) : EraseFlash(); e != 0) return 3000 + e;
        return UploadRomImageFast(image, fast, quiet);
    }
    // The bytes where the flash differs from what is expected.
    std::size_t Wrong() const {
        const auto flash = board->FlashContents();
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < kSize; ++i) wrong += flash[i] != expected[i];
        return wrong;
    }
    std::vector<ProgramFrame> ProgramFrames() const {
        Bytes sent;
        for (const auto& e : board->LineTrace())
            if (e.toBoard && !e.isBreak) sent.push_back(e.byte);
        std::vector<ProgramFrame> frames;
        for (std::size_t i = 0; i + 4 <= sent.size();) {
            if (sent[i] != 0x02 || sent[i + 1] != 0x00) {
                ++i;
                continue;
            }
            const std::size_t len = sent[i + 3];
            if (sent[i + 2] == 0x84 && len >= 4 && i + 8 <= sent.size())
                frames.push_back({(std::uint32_t{sent[i + 4]} << 24) | (std::uint32_t{sent[i + 5]} << 16) |
                                      (std::uint32_t{sent[i + 6]} << 8) | sent[i + 7],
                                  len - 4});
            i += len + 6;
        }
        return frames;
    }

    static inline int serial = 0;
    NoProgressT quiet;
    std::mt19937 rng{7};
    Bytes expected = Bytes(kSize, 0xFF);
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::VirtualLineAttachment> attachment;
};

FastOptionsT All() { return {true, true, true, true, true}; }

TEST_F(FastSequence, SectorEraseKeepsUntouchedSectorsAndTheSerialNumber) {
    Board();
    Bytes serialNumber(0x1000);
    for (std::size_t i = 0; i < serialNumber.size(); ++i) serialNumber[i] = static_cast<std::uint8_t>(i * 5 + 3);
    Preset(kSerialNumberStart, serialNumber);
    Preset(0x406000, Bytes(0x100, 0x12));  // sector 2, untouched
    Preset(0x420000, Bytes(0x100, 0x34));  // sector 5, untouched
    ASSERT_TRUE(board->WriteMemory(0x404800, Bytes(0x40, 0x00)));  // sector 1, touched: erased
    const std::string text = Data(0x400100, 0x300) + Data(0x404000, 0x200) + Data(0x430000, 0x100);
    EXPECT_EQ(ParseRomImage(text).sectors, (1u << 0) | (1u << 1) | (1u << 6));
    EXPECT_EQ(Program(text, All()), 0);
    EXPECT_EQ(Wrong(), 0u);
    EXPECT_EQ(board->FlashCounters().sectorErases, 3u);
    EXPECT_EQ(board->FlashCounters().chipErases, 0u);
}

TEST_F(FastSequence, FileInTheTopSectorKeepsTheSerialNumberAsTheChipEraseDoes) {
    // A serial number whose first word is blank: the whole area is still
    // kept. Old data below the area in the top sector goes.
    Board();
    Bytes serialNumber(0x1000, 0xFF);
    std::fill(serialNumber.begin() + 0x10, serialNumber.begin() + 0x30, 0x42);
    serialNumber.back() = 0x00;
    Preset(kSerialNumberStart, serialNumber);
    ASSERT_TRUE(board->WriteMemory(0x471000, Bytes(0x20, 0x00)));
    const std::string text = Data(0x470000, 0x400) + Data(0x47EF00, 0x100);
    EXPECT_EQ(Program(text, All()), 0);
    EXPECT_EQ(Wrong(), 0u);
    EXPECT_EQ(board->FlashCounters().sectorErases, 1u);
    EXPECT_EQ(SerialNumberRescueFile(), "");

    // A word of the area that will not program back: the erase fails, and
    // the area waits on the host's disk.
    Board();
    Preset(kSerialNumberStart, serialNumber);
    board->FailFlashWord(kSerialNumberStart + 0x10);
    EXPECT_NE(Program(text, All()), 0);
    const std::string rescue = SerialNumberRescueFile();
    ASSERT_NE(rescue, "");
    SXFILE_T saved(rescue.c_str(), kModeIn);
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    Bytes back;
    while (saved.ReadRecord(address, length, data.data()) == 0)
        if (length > 0) back.insert(back.end(), data.begin(), data.begin() + length);
    EXPECT_EQ(back, serialNumber);
    std::filesystem::remove(rescue);

    // A blank area is not programmed back: only the file's words are.
    Board();
    const std::string top = Data(0x470000, 0x200);
    EXPECT_EQ(Program(top, All()), 0);
    EXPECT_EQ(Wrong(), 0u);
    EXPECT_EQ(board->FlashCounters().programs, 0x100u);
}

TEST_F(FastSequence, FullFramesCarryTheLargestPayloadAndBlankBlocksAreLeftOut) {
    Board();
    // Two runs (the second starting at an odd address) around a blank one.
    const std::string text = Data(0x400000, 0x7D0) + Data(0x4007D0, 0x3E8, 0xFF) + Data(0x400BB8, 0x200) +
                             Data(0x410001, 0x301);
    FastOptionsT fast;
    fast.fullFrames = true;
    fast.skipBlank = true;
    EXPECT_EQ(Program(text, fast), 0);
    EXPECT_EQ(Wrong(), 0u);
    const auto frames = ProgramFrames();
    std::vector<ProgramFrame> want;
    auto run = [&](std::uint32_t from, std::size_t count) {
        for (std::size_t at = 0; at < count; at += kFullFramePayload)
            want.push_back({from + static_cast<std::uint32_t>(at), std::min(kFullFramePayload, count - at)});
    };
    // 0x7D0 + 0x3E8 + 0x200 bytes run on: the four blank frames (0x3E8 =
    // 4 x 250, from frame 8 on) are not sent.
    run(0x400000, 0x7D0 + 0x3E8 + 0x200);
    want.erase(want.begin() + 8, want.begin() + 12);
    run(0x410001, 0x301);
    ASSERT_EQ(frames.size(), want.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].address, want[i].address) << i;
        EXPECT_EQ(frames[i].payload, want[i].payload) << i;
    }
}

TEST_F(FastSequence, NoPauseWithLineFaultsNeverProgramsWrongData) {
    // Lost characters and flipped bits, both ways, during the upload: a run
    // may fail, but one that reports success has left exactly the file.
    int succeeded = 0;
    std::size_t resent = 0;
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        Board();
        const std::string text = Data(0x400000, 0x800);
        FastOptionsT fast;
        fast.noPause = true;
        fast.fullFrames = true;
        fast.monitorFirst = true;
        ResetTargetConfiguration();
        LoadTargetConfiguration();
        ASSERT_EQ(Connect(fast), 1);
        ASSERT_EQ(DownloadDaemon(quiet, true), 0);
        ASSERT_EQ(EraseFlash(), 0);
        sim::LineFaults faults;
        faults.dropRate = 0.001;
        faults.flipRate = 0.001;
        faults.seed = seed;
        board->SetLineFaults(faults);
        if (UploadRomImageFast(ParseRomImage(text), fast, quiet) != 0) continue;
        ++succeeded;
        EXPECT_EQ(Wrong(), 0u) << "seed " << seed;
        resent += ProgramFrames().size() - (0x800 + kFullFramePayload - 1) / kFullFramePayload;
    }
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(resent, 0u);  // the faults reached the frames
}

// Progress that hands its first report (a block of the daemon stored) to a
// test, which may change the line's faults there.
class OnFirstBlock final : public ProgressT {
public:
    explicit OnFirstBlock(std::function<void()> f) : first(std::move(f)) {}
    void SetProgress(int) override {
        if (first) std::exchange(first, nullptr)();
    }
    void FillProgress() override {}
    void ToggleUploadLamp() override {}
    void EnableRestart() override {}

private:
    std::function<void()> first;
};

// The daemon image's bytes as stored, from its first record on.
Bytes DaemonBytes() {
    Bytes bytes;
    const char* at = daemonImage;
    std::array<std::uint8_t, kImageRecordMax> data{};
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    while (NextImageRecord(at, data, address, length) == 1) bytes.insert(bytes.end(), data.begin(), data.begin() + length);
    return bytes;
}

class FirstLoader : public FastSequence {
protected:
    // Bring-up, then the daemon through the first-step loader with progress;
    // the daemon download's result.
    int ConnectThroughLoader(ProgressT& progress) {
        ResetTargetConfiguration();
        LoadTargetConfiguration();
        fast.monitorFirst = true;
        fast.firstLoader = true;
        if (Connect(fast) != 1) return -1;
        return DownloadDaemonFirstLoader(progress, true, &report);
    }
    // The rest of a run: the file in the flash, and the daemon's code in RAM
    // as the image has it.
    void ExpectProgrammed() {
        const std::string text = Data(0x400000, 0x600);
        const RomImageT image = ParseRomImage(text);
        ASSERT_EQ(EraseTouchedSectors(image), 0);
        ASSERT_EQ(UploadRomImageFast(image, fast, quiet), 0);
        EXPECT_EQ(Wrong(), 0u);
        const Bytes daemon = DaemonBytes();
        EXPECT_EQ(board->ReadMemory(BOARD_DAEMON_BASE, static_cast<std::uint32_t>(daemon.size())), daemon);
        EXPECT_EQ(board->DuartClockSelect(sim::Channel::A), 0xCC);  // 38,400 both ways
    }
    // Store frames (0x81) sent to address, resends included.
    std::size_t StoresAt(std::uint32_t address) const {
        Bytes sent;
        for (const auto& e : board->LineTrace())
            if (e.toBoard && !e.isBreak) sent.push_back(e.byte);
        std::size_t n = 0;
        for (std::size_t i = 0; i + 8 <= sent.size(); ++i)
            n += sent[i] == 0x02 && sent[i + 1] == 0x00 && sent[i + 2] == 0x81 &&
                 ((std::uint32_t{sent[i + 4]} << 24) | (std::uint32_t{sent[i + 5]} << 16) |
                  (std::uint32_t{sent[i + 6]} << 8) | sent[i + 7]) == address;
        return n;
    }
    // From the STX to the ETX of the first store frame sent to address.
    sim::Picos StoreTime(std::uint32_t address) const {
        std::vector<sim::TraceEntry> sent;
        for (const auto& e : board->LineTrace())
            if (e.toBoard && !e.isBreak) sent.push_back(e);
        for (std::size_t i = 0; i + 8 <= sent.size(); ++i) {
            const std::uint32_t at = (std::uint32_t{sent[i + 4].byte} << 24) | (std::uint32_t{sent[i + 5].byte} << 16) |
                                     (std::uint32_t{sent[i + 6].byte} << 8) | sent[i + 7].byte;
            const std::size_t end = i + sent[i + 3].byte + 5;
            if (sent[i].byte == 0x02 && sent[i + 2].byte == 0x81 && at == address && end < sent.size())
                return sent[end].time - sent[i].time;
        }
        return ~sim::Picos{0};
    }
    std::size_t HostCharacters() const {
        const auto trace = board->LineTrace();
        return static_cast<std::size_t>(std::count_if(trace.begin(), trace.end(), [](const sim::TraceEntry& e) {
            return e.toBoard && !e.isBreak;
        }));
    }

    FastOptionsT fast;
    FirstLoaderReportT report;
};

TEST_F(FirstLoader, StoresTheDaemonAtTheNewSpeedAndTheRunProgramsTheFile) {
    Board();
    EXPECT_EQ(ConnectThroughLoader(quiet), download_result::kStarted);
    EXPECT_FALSE(report.fellBack);
    // The daemon's first store frame (some 240 bytes) took about 65 ms on
    // the line, not the 250 ms it takes at 9600.
    EXPECT_LT(StoreTime(BOARD_DAEMON_BASE), 100 * sim::kPicosPerMilli);
    ExpectProgrammed();
}

TEST_F(FirstLoader, SilentAtTheNewSpeedFallsBackToTheMonitorAt9600) {
    // A line that carries nothing above 9600 until the ordinary download has
    // stored its first block: the loader is never heard at 38,400.
    Board();
    sim::LineFaults slow;
    slow.maxBaud = 9600;
    OnFirstBlock lift([&] { board->SetLineFaults({}); });
    board->SetLineFaults(slow);
    EXPECT_EQ(ConnectThroughLoader(lift), download_result::kStarted);
    EXPECT_TRUE(report.fellBack);
    EXPECT_EQ(report.stepFailed, kFirstLoaderSpeed);
    ExpectProgrammed();
}

TEST_F(FirstLoader, ADamagedStoreFrameIsSentAgain) {
    // A few characters lost inside the second store frame of the daemon:
    // the loader drops the frame, the host sends it again, and the daemon
    // runs whole without a fall-back.
    Board();
    OnFirstBlock damage([&] {
        sim::LineFaults gap;
        gap.silenceAfter = HostCharacters() + 40;
        gap.silenceMs = 2;
        board->SetLineFaults(gap);
    });
    EXPECT_EQ(ConnectThroughLoader(damage), download_result::kStarted);
    EXPECT_FALSE(report.fellBack);
    const Bytes daemon = DaemonBytes();
    std::size_t resent = 0;
    for (std::uint32_t at = BOARD_DAEMON_BASE; at < BOARD_DAEMON_BASE + daemon.size(); ++at)
        resent += StoresAt(at) > 1;
    EXPECT_EQ(resent, 1u);
    ExpectProgrammed();
}

}  // namespace
