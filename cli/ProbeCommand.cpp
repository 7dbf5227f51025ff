// ports --probe and --port auto: which serial port a board answers on. The
// ports are asked one at a time, and only on these requests; a port another
// program holds is named and left alone.
#include <cstdio>

#include "BoardProbe.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "PortNames.h"
#include "Session.h"

namespace {

// "COM3" for the third port present (Linux) or the port's own name
// (Windows); "-" for a device named on the command line.
std::string RowName(const std::string& device, const std::vector<std::string>& present) {
#ifdef _WIN32
    (void)present;
    return ComRow(device) >= 0 ? "COM" + std::to_string(ComRow(device) + 1) : "-";
#else
    for (std::size_t i = 0; i < present.size() && i < static_cast<std::size_t>(kPortCount); ++i)
        if (present[i] == device) return "COM" + std::to_string(i + 1);
    return "-";
#endif
}

// Asks each device in turn, a line and an event per device as it is done.
std::vector<ProbeResultT> AskAll(const std::vector<std::string>& devices, Reporter& r) {
    const std::vector<std::string> present = ProbeCandidates();
    std::vector<ProbeResultT> results;
    for (const std::string& device : devices) {
        ProbeResultT p = ProbeBoard(device);
        const std::string row = RowName(device, present);
        char line[512];
        std::snprintf(line, sizeof line, "%-6s %-19s %s%s%s", row.c_str(), device.c_str(), ProbeAnswerText(p.answer),
                      p.detail.empty() ? "" : ": ", p.detail.c_str());
        r.Info(line);
        r.RawJson(json::Object()
                      .Str("event", "probe")
                      .Str("name", row)
                      .Str("device", device)
                      .Str("answer", ProbeAnswerName(p.answer))
                      .Str("detail", p.detail)
                      .Num("seconds", p.seconds)
                      .Text());
        results.push_back(std::move(p));
    }
    return results;
}

std::string Found(const ProbeResultT& p) { return p.device + " (" + ProbeAnswerText(p.answer) + ")"; }

// The ports that answered, or were skipped, for the closing lines.
std::string Listed(const std::vector<ProbeResultT>& results, bool answered) {
    std::string text;
    for (const ProbeResultT& p : results) {
        const bool board = p.answer == ProbeAnswerT::Monitor || p.answer == ProbeAnswerT::Daemon;
        const bool skipped = p.answer == ProbeAnswerT::InUse || p.answer == ProbeAnswerT::CannotOpen;
        if (answered ? board : skipped) text += (text.empty() ? "" : ", ") + (answered ? Found(p) : p.device);
    }
    return text;
}

}  // namespace

int ProbeCommand(const Options& o, Reporter& r) {
    const std::vector<std::string> devices = o.ports.empty() ? ProbeCandidates() : o.ports;
    r.Info("Asking " + std::to_string(devices.size()) + (devices.size() == 1 ? " port" : " ports") +
           ", one at a time: an ENQ at 38400 baud, then a ping at 9600");
    const std::vector<ProbeResultT> results = AskAll(devices, r);
    int boards = 0;
    for (const ProbeResultT& p : results) boards += p.answer == ProbeAnswerT::Monitor || p.answer == ProbeAnswerT::Daemon;
    std::string summary = boards == 0 ? "no board answered" : "board found: " + Listed(results, true);
    if (const std::string skipped = Listed(results, false); !skipped.empty()) summary += "; skipped: " + skipped;
    r.Result("ports", exitcode::kOk, summary,
             json::Object().Int("asked", static_cast<long long>(devices.size())).Int("boards", boards));
    return exitcode::kOk;
}

int ResolveAutoPort(Options& o, Reporter& r) {
    bool automatic = false;
    for (const std::string& p : o.ports) automatic = automatic || p == "auto";
    if (!automatic) return exitcode::kOk;
    if (o.ports.size() != 1) {
        r.Error("--port auto stands alone: it picks the one port where a board answers");
        return exitcode::kUsage;
    }
    const std::vector<std::string> devices = ProbeCandidates();
    if (devices.empty()) {
        r.Error("--port auto: no serial port is present");
        return exitcode::kNoConnection;
    }
    r.Info("Looking for the board on " + std::to_string(devices.size()) + (devices.size() == 1 ? " port" : " ports"));
    const std::vector<ProbeResultT> results = AskAll(devices, r);
    const std::string skipped = Listed(results, false);
    const int only = OnlyBoard(results);
    if (only == kProbeSeveralBoards) {
        r.Error("--port auto: boards answer on " + Listed(results, true) + "; name one with --port");
        return exitcode::kUsage;
    }
    if (only == kProbeNoBoard) {
        r.Error("--port auto: no board answered" + (skipped.empty() ? "" : " (skipped: " + skipped + ")"));
        return exitcode::kNoConnection;
    }
    const ProbeResultT& board = results[static_cast<std::size_t>(only)];
    r.Info("Board found on " + Found(board));
    o.ports = {board.device};
    return exitcode::kOk;
}
