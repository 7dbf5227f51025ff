// The Qt front end on the offscreen platform: that it paints what the shared
// workflow says, from the workers' threads too, with the layout and keys an
// operator meets; and the real program for "Exit".
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>

#include "FlashMemT.h"
#include "InProcessBoard.h"
#include "PortNames.h"
#include "QtLayout.h"
#include "QtSurface.h"
#include "StatusTexts.h"
#include "TargetState.h"
#include "TormaneMain.h"
#include "Tormane.h"

namespace {

const char* gSelf = nullptr;  // this program, for the child run
constexpr int kWaitMs = 60000;

class QtWindow : public ::testing::Test {
protected:
    QtWindow() {
        CommandLine.clear();
        ResetTargetState();
        UnbindAllPorts();
        windows = std::make_unique<QtWindowsT>();
    }
    ~QtWindow() override {
        EXPECT_TRUE(QTest::qWaitFor([] { return Form5->WorkersIdle(); }, kWaitMs));
        windows.reset();
        ResetTargetState();
        board.reset();
        UnbindAllPorts();
    }
    std::unique_ptr<QtWindowsT> windows;
    std::unique_ptr<sim::InProcessBoard> board;
};

TEST_F(QtWindow, PaintsTheWorkersReportsAsTheWorkflowSaysThem) {
    std::string error;
    board = sim::InProcessBoard::Start({}, "test:board", &error);
    ASSERT_TRUE(board) << error;
    BindPort(0, "test:board");
    QtForm5& w = *windows->form5;
    w.OpenDialog1 = [](QWidget*) { return std::optional<std::string>(ZELMO_EXAMPLE_ROM); };
    Form1->Button1Click();
    ASSERT_TRUE(w.isVisible());
    QTest::mouseClick(w.Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Status() == status::kLoadCompleted && Form5->WorkersIdle(); },
                                kWaitMs))
        << w.Status();
    for (const LampShape* lamp : w.Shapes) EXPECT_EQ(lamp->Color(), kLampOn);
    EXPECT_EQ(w.ProgressBar1->value(), w.ProgressBar1->maximum());
    EXPECT_FALSE(w.Button1->isEnabled());
    EXPECT_FALSE(w.Button5->isEnabled());
    EXPECT_TRUE(w.LabelReason->text().isEmpty());
}

TEST_F(QtWindow, LayoutAndKeysAsAnOperatorMeetsThem) {
    QtForm5& w = *windows->form5;
    // The table's 120 dpi on this screen; Panel1 fills the client area.
    EXPECT_EQ(w.size(), QSize(MainPx(714), MainPx(421)));
    EXPECT_EQ(w.Panel1->geometry(), w.rect());
    // Every port's name shows whole; so does the 15-pixel caption.
    Form1->RadioButtonClick(20);
    EXPECT_EQ(w.Label7->text().toStdString(), "\\\\.\\COM20");
    EXPECT_LE(w.Label7->fontMetrics().horizontalAdvance(w.Label7->text()), w.Label7->width());
    EXPECT_LT(w.Button6->fontMetrics().horizontalAdvance(w.Button6->text()), w.Button6->width() - 4);

    // The port dialog opens on "OK", and Return presses it.
    QtForm1& d = *windows->form1;
    d.show();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    EXPECT_EQ(d.focusWidget(), d.Button1);
    QTest::keyClick(d.Button1, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.isVisible(); }, kWaitMs));

    // A reason shows beside the status, without hovering.
    windows->surface->SetStatus(status::kLoadFailed, "line 1001: bad checksum; nothing was erased");
    EXPECT_TRUE(w.LabelReason->isVisible());
    EXPECT_EQ(w.LabelReason->text().toStdString(), "line 1001: bad checksum; nothing was erased");

    // The fatal dialog: Tab leaves the message for "Continue".
    QtForm4& f = *windows->form4;
    windows->surface->ShowFatalDialog();
    EXPECT_FALSE(w.isEnabled());
    f.Memo1->setFocus();
    const QString before = f.Memo1->toPlainText();
    QTest::keyClick(f.Memo1, Qt::Key_Tab);
    EXPECT_EQ(f.focusWidget(), f.Button1);
    EXPECT_EQ(f.Memo1->toPlainText(), before);
    EXPECT_TRUE(f.windowTitle().isEmpty());
    QTest::keyClick(f.Button1, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([] { return Form1->Closed(); }, kWaitMs));
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
        QtForm5* w = QtWindows->form5.get();
        w->OpenDialog1 = [](QWidget*) { return std::optional<std::string>(ZELMO_EXAMPLE_ROM); };
        Form5->Button1Click();
        auto* poll = new QTimer(w);
        QObject::connect(poll, &QTimer::timeout, [] {
            if (Form5->Status() != status::kErasing) return;
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
