#include "Session.h"

#include "CommPort.h"
#include "ExitCodes.h"
#include "LoadSequence.h"
#include "Numbers.h"
#include "PortNames.h"
#include "StatusTexts.h"
#include "Target.h"
#if ZELMO_CLI_SIMULATED_BOARD
#include "InProcessBoard.h"

namespace {
constexpr const char* kSimulatedLine = "zelmo-cli:simulated-board";
}
#endif

int ComRow(const std::string& name) {
    const bool com = name.size() >= 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0);
    const std::string number = com ? name.substr(3) : name;
    // Plain decimal only: "0x5" or "05" is not a row.
    if (number.empty() || number[0] < '1' || number[0] > '9') return -1;
    std::uint32_t n = 0;
    if (number.find_first_not_of("0123456789") != std::string::npos || !ParseNumber(number, n) || n > kPortCount)
        return -1;
    return static_cast<int>(n) - 1;
}

Session::~Session() { Close(); }

int Session::Open() {
#if ZELMO_CLI_SIMULATED_BOARD
    if (options_.simulate) {
        std::string error;
        board_ = sim::InProcessBoard::Start(options_.sim, kSimulatedLine, &error);
        if (!board_) {
            reporter_.Error("cannot build the simulated board: " + error);
            return exitcode::kOther;
        }
        BindPort(0, kSimulatedLine);
        reporter_.Info(std::string("Simulated board on channel ") + (options_.sim.channelB ? "B" : "A") +
                       (options_.sim.application ? ", with its application running" : ""));
        SelectedPort = 0;
        return exitcode::kOk;
    }
#endif
    // COM1 to COM20 pick a row and its device by the automatic rule; any
    // other name is a device of its own.
    const std::string& port = options_.ports.front();
    const int row = ComRow(port);
    if (row < 0) BindPort(0, port);
    SelectedPort = static_cast<std::uint8_t>(row < 0 ? 0 : row);
    reporter_.Verbose("Port " + port + " reaches " + PortDevice(SelectedPort));
    return exitcode::kOk;
}

int Session::Connect(ConsoleView& view) {
    reporter_.Status(status::kInitializing);
    ResetTargetConfiguration();
    LoadTargetConfiguration();
    CommPreferLowLatency(options_.lowLatency);
    const ConnectOutcomeT connected = RunConnectSequence(view, options_.fast);
    if (connected == ConnectOutcomeT::DaemonStarted || connected == ConnectOutcomeT::DaemonAlreadyRunning) {
        if (options_.lowLatency)
            reporter_.Verbose(CommLowLatency() != 0 ? "Low-latency mode: on"
                                                    : "Low-latency mode: the port's driver does not offer it");
        return exitcode::kOk;
    }
    // The status text stays the operator's; the system's reason follows.
    if (const std::string why = CommOpenError(); !why.empty()) {
        reporter_.Error(why);
        return exitcode::kPortOpen;
    }
    return view.Connected() ? exitcode::kDaemonLoad : exitcode::kNoConnection;
}

int Session::Close() {
    if (closed_) return exitcode::kOk;
    closed_ = true;
    // The link closes the port before the board behind it goes away.
    ResetTargetState();
    int result = exitcode::kOk;
#if ZELMO_CLI_SIMULATED_BOARD
    if (board_ && board_->Finish() != 0) result = exitcode::kOther;
    board_.reset();
#endif
    UnbindAllPorts();
    return result;
}
