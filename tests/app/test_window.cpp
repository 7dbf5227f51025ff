// The operator's window driven as an operator would, on the offscreen
// platform: the in-process simulated board with the real daemon, a scripted
// board for the rarer answers, and the real program for "Exit".
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>

#include "../srec/SrecTestUtil.h"
#include "../target/ScriptedPeer.h"
#include "FlashMemT.h"
#include "InProcessBoard.h"
#include "PortNames.h"
#include "StatusTexts.h"
#include "TForm1.h"
#include "TForm4.h"
#include "TForm5.h"
#include "Target.h"
#include "TormaneMain.h"
#include "Tormane.h"

namespace {

const char* gSelf = nullptr;  // this program, for the child run

constexpr int kWaitMs = 60000;

class Window : public ::testing::Test {
protected:
    Window() {
        CommandLine.clear();
        daemonRunning = false;
        UnbindAllPorts();
        ResetTargetConfiguration();
    }
    ~Window() override {
        if (form5) {
            EXPECT_TRUE(QTest::qWaitFor([] { return Form5->WorkersIdle(); }, kWaitMs));
        }
        Form5 = nullptr;
        form5.reset();
        Form4 = nullptr;
        form4.reset();
        Form1 = nullptr;
        form1.reset();
        TargetFlash.reset();
        TargetLink.reset();
        daemonRunning = false;
        board.reset();
        UnbindAllPorts();
    }

    void SimulatedBoard(const sim::SimulatedBoardOptions& options = {}) {
        std::string error;
        board = sim::InProcessBoard::Start(options, "test:board", &error);
        ASSERT_TRUE(board) << error;
        BindPort(0, "test:board");
    }

    // The three windows, as the program makes them; the file dialog answers
    // with `chosen` (nothing: cancelled) and counts its showings.
    void MakeWindows() {
        form1 = std::make_unique<TForm1>();
        form4 = std::make_unique<TForm4>();
        form5 = std::make_unique<TForm5>();
        Form1 = form1.get();
        Form4 = form4.get();
        Form5 = form5.get();
        Form5->OpenDialog1 = [this](QWidget*) {
            ++dialogs;
            return chosen;
        };
        QObject::connect(Form5->Memo1, &QTextEdit::textChanged,
                         [this] { statuses.push_back(Form5->Status().toStdString()); });
        QObject::connect(Form5->ProgressBar1, &QProgressBar::valueChanged,
                         [this](int v) { progress.emplace_back(v, Form5->ProgressBar1->maximum()); });
    }

    bool WaitForStatus(const std::string& text) {
        return QTest::qWaitFor([&] { return Form5->Status().toStdString() == text; }, kWaitMs);
    }
    bool WaitIdle() {
        return QTest::qWaitFor([] { return Form5->WorkersIdle() && !Form5->Timer1->isActive(); }, kWaitMs);
    }
    std::vector<bool> LampsGreen() const {
        std::vector<bool> out;
        for (auto* s : Form5->Shapes) out.push_back(s->Color() == clGreen);
        return out;
    }
    std::size_t Count(const std::string& status) const {
        return static_cast<std::size_t>(std::count(statuses.begin(), statuses.end(), status));
    }
    void ExpectInOrder(const std::vector<std::string>& wanted) const {
        auto at = statuses.begin();
        for (const auto& w : wanted) {
            at = std::find(at, statuses.end(), w);
            ASSERT_NE(at, statuses.end()) << "missing or out of order: \"" << w << "\"";
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

    ScratchDir dir;
    std::unique_ptr<sim::InProcessBoard> board;
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TForm4> form4;
    std::unique_ptr<TForm5> form5;
    std::optional<QString> chosen;
    int dialogs = 0;
    std::vector<std::string> statuses;
    std::vector<std::pair<int, int>> progress;  // value, maximum
};

TEST_F(Window, StartRunsTheWholeSequenceAndTheFlashHoldsTheFile) {
    SimulatedBoard();
    MakeWindows();
    const std::string rom = RandomRom(300);  // progress moves every 100 records
    chosen = QString::fromStdString(rom);
    Form1->Button1Click();
    ASSERT_TRUE(Form5->isVisible());
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadCompleted)) << Form5->Status().toStdString();
    ASSERT_TRUE(WaitIdle());

    ExpectInOrder({status::kInitializing, status::kConnecting, status::kLoadingDaemon, status::kDaemonRunning, " ",
                   status::kErasing, status::kErased, "Loading " + rom, status::kLoadCompleted});
    EXPECT_EQ(dialogs, 1);  // opened by the timer, once
    EXPECT_EQ(LampsGreen(), std::vector<bool>(6, true));
    EXPECT_FALSE(Form5->Button1->isEnabled());
    EXPECT_FALSE(Form5->Button5->isEnabled());
    EXPECT_FALSE(Form5->Button3->isEnabled());
    // The daemon's range starts one step in and is filled; the upload's range
    // is the file's line count, one step in after the erase set it to 0.
    const auto first160 = std::find_if(progress.begin(), progress.end(), [](auto p) { return p.second == 160; });
    ASSERT_NE(first160, progress.end());
    EXPECT_EQ(first160->first, 1);
    EXPECT_TRUE(std::count(progress.begin(), progress.end(), std::pair{160, 160}));
    const int lines = 302;  // 300 records, the S5 count and the S7 end
    EXPECT_TRUE(std::count(progress.begin(), progress.end(), std::pair{1, lines}));
    EXPECT_TRUE(std::count(progress.begin(), progress.end(), std::pair{99, lines}));
    EXPECT_EQ(progress.back(), (std::pair{lines, lines}));
    ExpectFlashHolds(rom);
}

TEST_F(Window, ThreeFailedConnectSequencesEndInTheFatalDialog) {
    ScriptedPeer silent;  // nothing answers; its clock runs every wait at once
    MakeWindows();
    Form1->Button1Click();
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kConnectFailed));
    ASSERT_TRUE(WaitIdle());
    for (int retry = 0; retry < 2; ++retry) {
        ASSERT_TRUE(Form5->Button3->isEnabled());
        Form5->Button3Click();
        EXPECT_FALSE(Form5->Button3->isEnabled());
        ASSERT_TRUE(Form5->Button2->isEnabled());
        Form5->Button2Click();  // runs on this thread
        EXPECT_FALSE(Form5->Button2->isEnabled());
        EXPECT_EQ(Form5->Status().toStdString(), status::kConnectFailed);
    }
    EXPECT_EQ(Count(status::kConnecting), 3u);
    EXPECT_FALSE(Form4->isVisible());
    Form5->Button3Click();
    EXPECT_TRUE(Form4->isVisible());
    EXPECT_FALSE(Form5->isEnabled());
    EXPECT_FALSE(Form5->Button3->isEnabled());
    EXPECT_FALSE(Form5->Button2->isEnabled());
    EXPECT_FALSE(Form5->Button1->isEnabled());
    EXPECT_EQ(Form4->Memo1->toPlainText().toStdString(),
              " FATAL ERROR !!!\nTormane excesses number of attempts allowed.\n"
              " Please re-cycle power on the targer,\n and restart Tormane again.\n");
    EXPECT_FALSE(Form1->Closed());
    Form4->Button1Click();  // "Continue"
    EXPECT_TRUE(Form1->Closed());
}

TEST_F(Window, ABoardWhoseDaemonAlreadyRunsLightsOnlyTheConnectionLamp) {
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
    EXPECT_EQ(LampsGreen(), (std::vector<bool>{true, false, false, false, false, false}));
    EXPECT_FALSE(Form5->Timer1->isActive());
    EXPECT_FALSE(Form5->Button2->isEnabled());
    EXPECT_FALSE(Form5->Button3->isEnabled());
    EXPECT_EQ(dialogs, 0);
}

TEST_F(Window, PortChoiceAndTheCommandLine) {
    MakeWindows();
    Form1->RadioButton15Click();
    EXPECT_EQ(SelectedPort, 14);
    EXPECT_EQ(Form5->Label7->text().toStdString(), "\\\\.\\COM15");
    EXPECT_FALSE(Form5->isVisible());  // no command line: nothing confirms

    for (const char* line : {"1", "2"}) {
        CommandLine = line;
        form1 = std::make_unique<TForm1>();
        Form1 = form1.get();
        Form1->show();
        ASSERT_TRUE(QTest::qWaitFor([] { return Form5->isVisible(); }, kWaitMs)) << line;
        EXPECT_EQ(SelectedPort, line[0] - '1');
        EXPECT_EQ(Form5->Label7->text().toStdString(), std::string("COM") + line);
        // Shrunk out of sight, not hidden: it stays the program's main window.
        EXPECT_FALSE(Form1->isHidden());
        EXPECT_EQ(Form1->size(), QSize(0, 0));
        Form5->hide();
    }

    CommandLine = "5";
    form1 = std::make_unique<TForm1>();
    Form1 = form1.get();
    Form1->show();
    QTest::qWait(50);
    EXPECT_FALSE(Form5->isVisible());
    Form1->RadioButton2Click();  // the operator's own choice does not confirm
    EXPECT_FALSE(Form5->isVisible());
    Form1->Button1Click();
    EXPECT_TRUE(Form5->isVisible());
    EXPECT_FALSE(Form1->isHidden());
    EXPECT_EQ(SelectedPort, 1);

    // Before any bring-up, "Restart Receiver" does nothing visible.
    const auto before = statuses;
    Form5->Button6Click();
    EXPECT_EQ(statuses, before);
}

TEST_F(Window, ACancelledDialogChangesNothing) {
    SimulatedBoard();
    MakeWindows();
    Form5->Button5Click();  // chosen is empty: cancelled
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(Form5->Status().toStdString(), " ");
    EXPECT_TRUE(RomFileName.empty());
    EXPECT_EQ(LampsGreen(), std::vector<bool>(6, false));
    EXPECT_TRUE(Form5->WorkersIdle());
    EXPECT_FALSE(UploadThread);
}

TEST_F(Window, AFileChosenFirstIsUploadedAfterTheAutomaticStart) {
    // A command line other than "1" or "2": the first file choice starts the
    // upload (no daemon yet) and then clicks "Start" by itself.
    SimulatedBoard();
    CommandLine = "5";
    MakeWindows();
    chosen = QString::fromStdString(ZELMO_EXAMPLE_ROM);
    Form5->Button5Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadCompleted)) << Form5->Status().toStdString();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Form5->AutoStarted);
    EXPECT_EQ(dialogs, 1);  // the timer uploaded the chosen file without asking
    ExpectInOrder({status::kEraseNoDaemon, status::kDaemonRunning, status::kErased, status::kLoadCompleted});
    EXPECT_EQ(Count(status::kConnecting), 1u);
    EXPECT_TRUE(Form5->Button3->isEnabled());  // from the first, refused upload
    ExpectFlashHolds(ZELMO_EXAMPLE_ROM);
}

TEST_F(Window, AFileChoiceWhileConnectingIsRefusedAndABadFileErasesNothing) {
    // A board paced to real time, whose flash already holds the example ROM.
    sim::SimulatedBoardOptions options;
    options.realTime = true;
    options.flashImage = ZELMO_EXAMPLE_ROM;
    SimulatedBoard(options);
    MakeWindows();
    const std::string bad = dir.Write("bad.rom", "S1130000000102030405060708090A0B0C0D0E0F74\n");  // below the flash
    chosen = QString::fromStdString(bad);
    Form5->Button1Click();
    ASSERT_TRUE(WaitForStatus(status::kLoadingDaemon));
    ASSERT_TRUE(QTest::qWaitFor([] { return Form5->ConnectionLamp; }, kWaitMs));
    const auto lampsBefore = LampsGreen();
    Form5->Button5Click();  // the connect worker holds the link
    ASSERT_TRUE(WaitForStatus(status::kBusy));
    EXPECT_FALSE(Form5->Button3->isEnabled());
    auto lamps = LampsGreen();
    lamps[2] = false;  // the file's own lamp is the choice's
    EXPECT_EQ(lamps, lampsBefore);

    // The connect goes on; its timer uploads the chosen file, which is
    // refused before the erase.
    ASSERT_TRUE(WaitForStatus(status::kLoadFailed));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Count(status::kErasing), 0u);
    EXPECT_TRUE(Form5->Button3->isEnabled());
    EXPECT_FALSE(Form5->ErasedLamp);
    ExpectFlashHolds(ZELMO_EXAMPLE_ROM);
}

TEST(WindowProgram, ExitDuringTheEraseEndsTheProgramAtOnce) {
    // The real program in a process of its own: Start, then "Exit" while the
    // flash erases with the data sheet's typical time (several seconds).
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::execl(gSelf, gSelf, "--exit-during-erase", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* child = ::fdopen(out[0], "r");
    char line[256] = {};
    bool clicked = false;
    while (std::fgets(line, sizeof line, child) != nullptr)
        if (std::string(line).rfind("exit clicked", 0) == 0) {
            clicked = true;
            break;
        }
    const auto at = std::chrono::steady_clock::now();
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - at).count();
    std::fclose(child);
    ASSERT_TRUE(clicked);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The erase had seconds to go; the program did not wait for it.
    EXPECT_LT(seconds, 2.0);
}

// The child of the test above: the program itself, driven from inside.
int ExitDuringErase() {
    char name[] = "zelmo";
    char simulate[] = "--simulate";
    char typical[] = "--sim-typical-timing";
    char* argv[] = {name, simulate, typical, nullptr};
    int argc = 3;
    return TormaneMain(argc, argv, [] {
        Form1->Button1Click();
        Form5->OpenDialog1 = [](QWidget*) { return std::optional<QString>(QString::fromStdString(ZELMO_EXAMPLE_ROM)); };
        Form5->Button1Click();
        auto* poll = new QTimer(Form5);
        QObject::connect(poll, &QTimer::timeout, [] {
            if (Form5->Status().toStdString() != status::kErasing) return;
            std::printf("exit clicked\n");
            std::fflush(stdout);
            Form5->Button4Click();
        });
        poll->start(20);
    });
}

}  // namespace

int main(int argc, char** argv) {
    gSelf = argv[0];
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && std::string(argv[1]) == "--exit-during-erase") return ExitDuringErase();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
