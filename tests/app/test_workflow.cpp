// The window's workflow, toolkit-free, driven as an operator would against
// a surface that records what it paints: the in-process simulated board with
// the real daemon, and a scripted board for the rarer answers.
#include <gtest/gtest.h>

#include <random>

#include "../srec/SrecTestUtil.h"
#include "../target/ScriptedPeer.h"
#include "FakeSurface.h"
#include "FlashMemT.h"
#include "InProcessBoard.h"
#include "PortNames.h"
#include "StatusTexts.h"
#include "TForm1.h"
#include "TForm4.h"
#include "TForm5.h"
#include "TargetState.h"
#include "Tormane.h"

namespace {

class Workflow : public ::testing::Test {
protected:
    Workflow() {
        CommandLine.clear();
        ResetTargetState();
        UnbindAllPorts();
    }
    ~Workflow() override {
        if (form5) {
            EXPECT_TRUE(s.WaitFor([] { return Form5->WorkersIdle(); }));
        }
        Form5 = nullptr;
        form5.reset();
        Form4 = nullptr;
        Form1 = nullptr;
        form4.reset();
        form1.reset();
        ResetTargetState();
        board.reset();
        UnbindAllPorts();
    }

    void SimulatedBoard(const sim::SimulatedBoardOptions& options = {}) {
        std::string error;
        board = sim::InProcessBoard::Start(options, "test:board", &error);
        ASSERT_TRUE(board) << error;
        BindPort(0, "test:board");
    }
    // The three windows' workflows, as the program makes them.
    void MakeWindows() {
        form1 = std::make_unique<TForm1>(s);
        form4 = std::make_unique<TForm4>(s);
        form5 = std::make_unique<TForm5>(s);
        Form1 = form1.get();
        Form4 = form4.get();
        Form5 = form5.get();
        s.Form5Flow = Form5;
    }
    bool WaitForStatus(const std::string& text) {
        return s.WaitFor([&] { return s.Status() == text; });
    }
    bool WaitIdle() {
        return s.WaitFor([&] { return Form5->WorkersIdle() && !s.TimerArmed(); });
    }
    std::size_t Count(const std::string& status) const {
        return static_cast<std::size_t>(std::count(s.statuses.begin(), s.statuses.end(), status));
    }
    void ExpectInOrder(const std::vector<std::string>& wanted) const {
        auto at = s.statuses.begin();
        for (const auto& w : wanted) {
            at = std::find(at, s.statuses.end(), w);
            ASSERT_NE(at, s.statuses.end()) << "missing or out of order: \"" << w << "\"";
        }
    }
    // Every data byte of the file stands in the simulated flash.
    void ExpectFlashHolds(const std::string& path) {
        SXFILE_T rom(path.c_str(), kModeIn | kModeNoCreate);
        std::size_t checked = 0;
        for (const auto& rec : ReadAllRecords(rom)) {
            const auto got = board->board().ReadMemory(rec.address, static_cast<std::uint32_t>(rec.data.size()));
            ASSERT_EQ(got, rec.data) << "at 0x" << std::hex << rec.address;
            checked += rec.data.size();
        }
        EXPECT_GT(checked, 0u);
    }
    // A ROM of `records` 16-byte records of random data from 0x400000.
    std::string RandomRom(int records) {
        const std::string path = dir.Path("random.s37");
        SXFILE_T out(path.c_str(), kModeOut | kModeTrunc);
        std::mt19937 random(7);
        for (int i = 0; i < records; ++i) {
            std::array<std::uint8_t, 16> data{};
            for (auto& b : data) b = static_cast<std::uint8_t>(random());
            out.WriteRecord(0x400000u + 16u * static_cast<std::uint32_t>(i), 16, data.data(), '3');
        }
        out.WriteRecord(0x400000, 0, nullptr, '7');
        return path;
    }

    FakeSurfaceT s;
    ScratchDir dir;
    std::unique_ptr<sim::InProcessBoard> board;
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TForm4> form4;
    std::unique_ptr<TForm5> form5;
};

TEST_F(Workflow, StartRunsTheWholeSequenceAndTheFlashHoldsTheFile) {
    SimulatedBoard();
    MakeWindows();
    const std::string rom = RandomRom(300);  // progress moves every 100 records
    s.chosen = rom;
    Form1->Button1Click();
    ASSERT_TRUE(s.mainShown);
    EXPECT_TRUE(s.portDialogHidden);
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadCompleted)) << s.Status();
    ASSERT_TRUE(WaitIdle());

    ExpectInOrder({status::kInitializing, status::kConnecting, status::kLoadingDaemon, status::kDaemonRunning, " ",
                   status::kErasing, status::kErased, "Loading " + rom, status::kLoadCompleted});
    EXPECT_EQ(s.dialogs, 1);  // opened by the timer, once
    EXPECT_EQ(s.lamps, (std::array<bool, 6>{true, true, true, true, true, true}));
    EXPECT_EQ(Form5->Lamps, s.lamps);
    EXPECT_FALSE(s.Enabled(ButtonT::Start));
    EXPECT_FALSE(s.Enabled(ButtonT::RomFile));
    EXPECT_FALSE(s.Enabled(ButtonT::Reset));
    EXPECT_TRUE(s.reason.empty());
    // The daemon's range starts one step in and is filled; the upload's range
    // is the file's line count, one step in after the erase set it to 0.
    const auto& p = s.progress;
    const auto first160 = std::find_if(p.begin(), p.end(), [](auto v) { return v.second == 160; });
    ASSERT_NE(first160, p.end());
    EXPECT_EQ(first160->first, 1);
    EXPECT_TRUE(std::count(p.begin(), p.end(), std::pair{160, 160}));
    const int lines = 302;  // 300 records, the S5 count and the S7 end
    EXPECT_TRUE(std::count(p.begin(), p.end(), std::pair{1, lines}));
    EXPECT_TRUE(std::count(p.begin(), p.end(), std::pair{99, lines}));
    EXPECT_EQ(p.back(), (std::pair{lines, lines}));
    ExpectFlashHolds(rom);
}

TEST_F(Workflow, ThreeFailedConnectSequencesEndInTheFatalDialog) {
    ScriptedPeer silent;  // nothing answers; its clock runs every wait at once
    MakeWindows();
    Form1->Button1Click();
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kConnectFailed));
    ASSERT_TRUE(WaitIdle());
    EXPECT_NE(s.reason.find("answered neither"), std::string::npos) << s.reason;
    for (int retry = 0; retry < 2; ++retry) {
        ASSERT_TRUE(s.Enabled(ButtonT::Reset));
        Form5->Button3Click();
        EXPECT_FALSE(s.Enabled(ButtonT::Reset));
        ASSERT_TRUE(s.Enabled(ButtonT::Connect));
        Form5->Button2Click();  // runs on this thread
        EXPECT_FALSE(s.Enabled(ButtonT::Connect));
        EXPECT_EQ(s.Status(), status::kConnectFailed);
    }
    EXPECT_EQ(Count(status::kConnecting), 3u);
    EXPECT_FALSE(s.fatalShown);
    Form5->Button3Click();
    EXPECT_TRUE(s.fatalShown);
    EXPECT_FALSE(s.mainEnabled);
    EXPECT_FALSE(Form5->Enabled());
    for (ButtonT b : {ButtonT::Start, ButtonT::Connect, ButtonT::Reset}) EXPECT_FALSE(s.Enabled(b));
    EXPECT_FALSE(Form1->Closed());
    Form4->Button1Click();  // "Continue"
    EXPECT_TRUE(Form1->Closed());
    EXPECT_TRUE(s.ended);
}

TEST_F(Workflow, ABoardWhoseDaemonAlreadyRunsLightsOnlyTheConnectionLamp) {
    ScriptedPeer peer;
    const std::vector<std::uint8_t> attention{0x10, 0x1E, 0x54, 0x10, 0x03};
    peer.AckEverything();
    peer.AnswerGarbage([&](const std::vector<std::uint8_t>& last) {
        if (last == attention) {
            peer.Line().Send(std::vector<std::uint8_t>{'*', '*'});
            peer.Line().SetFormat({38400, 8, 0, 0});
        }
        return std::vector<std::uint8_t>{};
    });
    MakeWindows();
    Form1->Button1Click();
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kDaemonAlreadyRunning));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(s.lamps, (std::array<bool, 6>{true, false, false, false, false, false}));
    EXPECT_FALSE(s.TimerArmed());
    EXPECT_FALSE(s.Enabled(ButtonT::Connect));
    EXPECT_FALSE(s.Enabled(ButtonT::Reset));
    EXPECT_EQ(s.dialogs, 0);
}

TEST_F(Workflow, PortChoiceAndTheCommandLine) {
    MakeWindows();
    Form1->RadioButtonClick(15);
    EXPECT_EQ(SelectedPort, 14);
    EXPECT_EQ(s.portLabel, "\\\\.\\COM15");
    EXPECT_FALSE(s.mainShown);  // no command line: nothing confirms

    for (const char* line : {"1", "2"}) {
        CommandLine = line;
        s.mainShown = false;
        form1 = std::make_unique<TForm1>(s);
        Form1 = form1.get();
        EXPECT_EQ(SelectedPort, 0);
        Form1->FormActivate();
        ASSERT_TRUE(s.mainShown) << line;
        EXPECT_EQ(SelectedPort, line[0] - '1');
        EXPECT_EQ(s.portLabel, std::string("COM") + line);
        // Shrunk out of sight, not hidden: it stays the program's main window.
        EXPECT_TRUE(s.portDialogShrunk);
    }

    CommandLine = "5";
    s.mainShown = false;
    Form1->FormActivate();
    EXPECT_FALSE(s.mainShown);
    Form1->RadioButtonClick(2);  // the operator's own choice does not confirm
    EXPECT_FALSE(s.mainShown);
    Form1->Button1Click();
    EXPECT_TRUE(s.mainShown);
    EXPECT_EQ(SelectedPort, 1);

    // Before any bring-up, "Restart Receiver" does nothing visible.
    const auto before = s.statuses;
    Form5->Button6Click();
    EXPECT_EQ(s.statuses, before);
}

TEST_F(Workflow, ACancelledDialogChangesNothing) {
    SimulatedBoard();
    MakeWindows();
    Form5->Button5Click();  // s.chosen is empty: cancelled
    EXPECT_EQ(s.dialogs, 1);
    EXPECT_EQ(s.Status(), " ");
    EXPECT_TRUE(RomFileName.empty());
    EXPECT_EQ(s.lamps, (std::array<bool, 6>{}));
    EXPECT_TRUE(Form5->WorkersIdle());
}

TEST_F(Workflow, AFileChosenFirstIsUploadedAfterTheAutomaticStart) {
    // A command line other than "1" or "2": the first file choice tries the
    // upload (no daemon yet) and then clicks "Start" by itself.
    SimulatedBoard();
    CommandLine = "5";
    MakeWindows();
    s.chosen = ZELMO_EXAMPLE_ROM;
    Form5->Button5Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadCompleted)) << s.Status();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Form5->AutoStarted);
    EXPECT_EQ(s.dialogs, 1);  // the timer uploaded the chosen file without asking
    // The refusal comes first and the connect sequence's texts follow it.
    ExpectInOrder({" ", status::kEraseNoDaemon, status::kInitializing, status::kConnecting, status::kDaemonRunning,
                   status::kErased, status::kLoadCompleted});
    EXPECT_EQ(Count(status::kConnecting), 1u);
    EXPECT_TRUE(s.Enabled(ButtonT::Reset));  // from the first, refused upload
    ExpectFlashHolds(ZELMO_EXAMPLE_ROM);
}

TEST_F(Workflow, AFileChoiceWhileConnectingIsRefusedAndABadFileErasesNothing) {
    // A board paced to real time, whose flash already holds the example ROM.
    sim::SimulatedBoardOptions options;
    options.realTime = true;
    options.flashImage = ZELMO_EXAMPLE_ROM;
    SimulatedBoard(options);
    MakeWindows();
    const std::string bad = dir.Write("bad.rom", "S1130000000102030405060708090A0B0C0D0E0F74\n");  // below the flash
    s.chosen = bad;
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadingDaemon));
    ASSERT_TRUE(s.WaitFor([] { return Form5->ConnectionLamp; }));
    auto lampsBefore = s.lamps;
    Form5->Button5Click();  // the connect worker holds the link
    ASSERT_TRUE(WaitForStatus(status::kBusy));
    EXPECT_FALSE(s.Enabled(ButtonT::Reset));
    lampsBefore[2] = true;  // the file's own lamp is the choice's
    EXPECT_EQ(s.lamps, lampsBefore);

    // The connect goes on; its timer uploads the chosen file, which is
    // refused before the erase, with the reason beside the status.
    ASSERT_TRUE(WaitForStatus(status::kLoadFailed));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Count(status::kErasing), 0u);
    EXPECT_NE(s.reason.find("line 1"), std::string::npos) << s.reason;
    EXPECT_NE(s.reason.find("nothing was erased"), std::string::npos) << s.reason;
    EXPECT_TRUE(s.Enabled(ButtonT::Reset));
    EXPECT_FALSE(Form5->ErasedLamp);
    ExpectFlashHolds(ZELMO_EXAMPLE_ROM);
}

TEST_F(Workflow, AWordThatWillNotProgramIsSaidBesideTheStatus) {
    sim::SimulatedBoardOptions options;
    options.failWords = {0x400010};  // never programs
    SimulatedBoard(options);
    MakeWindows();
    s.chosen = RandomRom(4);
    Form1->Button1Click();
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadFailed)) << s.Status();
    ASSERT_TRUE(WaitIdle());
    EXPECT_NE(s.reason.find("erased"), std::string::npos) << s.reason;
    EXPECT_TRUE(s.Enabled(ButtonT::Reset));
    EXPECT_TRUE(Form5->ErasedLamp);
    EXPECT_FALSE(Form5->CompletedLamp);
}

}  // namespace
