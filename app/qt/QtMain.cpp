// The program entry with Qt: options, the three windows and the message loop.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "FlashMemT.h"
#include "InProcessBoard.h"
#include "PortNames.h"
#include "QtSurface.h"
#include "SimulatedBoardOptions.h"
#include "Target.h"
#include "TormaneMain.h"
#include "Tormane.h"

namespace {

constexpr const char* kSimulatedLine = "zelmo:simulated-board";

}  // namespace

int TormaneMain(int argc, char** argv, const std::function<void()>& afterShow) {
    WindowOptionsT options;
    bool simulate = false;
    sim::SimulatedBoardOptions simOptions;
    // The simulated board exists where Unicorn does: in this front end.
    const auto simulation = [&](CLI::App& cli) {
        auto* flag = cli.add_flag("--simulate", simulate, "bind COM1 to a simulated board in this process");
        if (auto* device = cli.get_option_no_throw("--device"); device != nullptr) device->excludes(flag);
        sim::AddSimulatedBoardOptions(cli, simOptions, flag);
    };
    bool stop = false;
    // Help and version need no display.
    if (const std::vector<std::string> args(argv + 1, argv + argc); HelpOrVersionAsked(args))
        return ParseWindowOptions(args, options, &stop, simulation);

    QApplication app(argc, argv);  // takes the toolkit's own options out
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList qargs = QCoreApplication::arguments();
    std::vector<std::string> words;
    for (qsizetype i = 1; i < qargs.size(); ++i) words.push_back(qargs[i].toStdString());
    if (const int code = ParseWindowOptions(words, options, &stop, simulation); stop) return code;
    CommandLine = JoinCommandLine(options.rest);

    std::unique_ptr<sim::InProcessBoard> board;
    if (simulate) {
        std::string error;
        board = sim::InProcessBoard::Start(simOptions, kSimulatedLine, &error);
        if (!board) {
            std::fprintf(stderr, "zelmo: cannot build the simulated board: %s\n", error.c_str());
            return 1;
        }
        BindPort(0, kSimulatedLine);
    } else if (!options.device.empty()) {
        BindPort(0, options.device);
    }

    try {
        auto windows = std::make_unique<QtWindowsT>();
        windows->form1->show();
        if (afterShow) afterShow();
        QApplication::exec();
        // Never returns when "Exit" left a worker in the middle of a step.
        EndAroundAbandonedWorkers(*Form5);
        windows.reset();  // runs the steps of "Exit" once more
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Zelmo"), QString::fromLocal8Bit(e.what()));
    }
    TargetFlash.reset();
    TargetLink.reset();
    if (board) board->Finish();
    return 0;
}
