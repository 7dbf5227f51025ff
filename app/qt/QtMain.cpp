// The program entry: options, the three windows and the message loop.
#include "Tormane.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include <CLI/CLI.hpp>

#include "CommPort.h"
#include "FlashMemT.h"
#include "PortNames.h"
#include "SimulatedBoardOptions.h"
#include "TForm1.h"
#include "TForm4.h"
#include "TForm5.h"
#include "Target.h"
#include "TormaneMain.h"

std::string CommandLine;
TForm1* Form1 = nullptr;
TForm4* Form4 = nullptr;
TForm5* Form5 = nullptr;

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

QFont FormFont(int pixels) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    return f;
}

namespace {

constexpr const char* kSimulatedLine = "zelmo:simulated-board";
constexpr const char* kVersion = "zelmo 2.05";

struct AppOptions {
    std::string device;
    bool simulate = false;
    sim::SimulatedBoardOptions sim;
    std::vector<std::string> rest;  // what is left is the command line
};

// Our own options come out of the argument list; the rest is the command
// line the windows look at. 0 to go on, else the exit code.
int ParseOptions(const std::vector<std::string>& args, AppOptions& o, bool* stop) {
    CLI::App cli{"zelmo: the operator's window for programming the flash of a CPU32 board over RS-232.\n"
                 "Arguments left after the options form the command line: one starting with 1 or 2\n"
                 "chooses COM1 or COM2 at once; any command line starts the sequence after the first\n"
                 "file choice.",
                 "zelmo"};
    cli.allow_extras();
    cli.set_version_flag("--version", kVersion);
    auto* device = cli.add_option("--device", o.device, "bind COM1 to this serial device or pseudo-terminal");
    auto* simulate = cli.add_flag("--simulate", o.simulate, "bind COM1 to a simulated board in this process");
    device->excludes(simulate);
    sim::AddSimulatedBoardOptions(cli, o.sim, simulate);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        cli.parse(reversed);
    } catch (const CLI::ParseError& e) {
        *stop = true;
        return cli.exit(e);
    }
    o.rest = cli.remaining();
    // A mistyped option must not pass for the command line.
    for (const auto& word : o.rest)
        if (word.rfind("--", 0) == 0) {
            std::fprintf(stderr, "zelmo: unknown option %s (see zelmo --help)\n", word.c_str());
            *stop = true;
            return 2;
        }
    *stop = false;
    return 0;
}

bool HelpAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "--version") return true;
    }
    return false;
}

std::string Join(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
    return line;
}

}  // namespace

int TormaneMain(int argc, char** argv, const std::function<void()>& afterShow) {
    AppOptions options;
    bool stop = false;
    // Help and version need no display.
    if (HelpAsked(argc, argv)) return ParseOptions({argv + 1, argv + argc}, options, &stop);

    QApplication app(argc, argv);  // takes the toolkit's own options out
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QCoreApplication::arguments();
    std::vector<std::string> words;
    for (qsizetype i = 1; i < args.size(); ++i) words.push_back(args[i].toStdString());
    if (const int code = ParseOptions(words, options, &stop); stop) return code;
    CommandLine = Join(options.rest);

    std::unique_ptr<sim::InProcessBoard> board;
    if (options.simulate) {
        std::string error;
        board = sim::InProcessBoard::Start(options.sim, kSimulatedLine, &error);
        if (!board) {
            std::fprintf(stderr, "zelmo: cannot build the simulated board: %s\n", error.c_str());
            return 1;
        }
        BindPort(0, kSimulatedLine);
    } else if (!options.device.empty()) {
        BindPort(0, options.device);
    }

    bool abandoned = false;
    try {
        // The first window made is the program's main window.
        auto form1 = std::make_unique<TForm1>();
        auto form4 = std::make_unique<TForm4>();
        auto form5 = std::make_unique<TForm5>();
        Form1 = form1.get();
        Form4 = form4.get();
        Form5 = form5.get();
        Form1->show();
        if (afterShow) afterShow();
        QApplication::exec();
        abandoned = !Form5->WorkersIdle();
        if (!abandoned) {
            Form5 = nullptr;
            form5.reset();  // runs the steps of "Exit" once more
            Form4 = nullptr;
            Form1 = nullptr;
        }
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Zelmo"), QString::fromLocal8Bit(e.what()));
    }
    if (abandoned) {
        // A worker is still in the middle of a step: end around it. The
        // port is released so that the next program can open it.
        std::fflush(nullptr);
        CommClose();
        std::_Exit(0);
    }
    TargetFlash.reset();
    TargetLink.reset();
    if (board) board->Finish();
    return 0;
}
