#pragma once
// Finding the board: asks serial devices one at a time, and only when asked,
// whether a board answers. A running daemon answers a lone ENQ at 38400 baud
// with ACK; the boot monitor answers the ping at 9600 with ACK.
//
// The ENQ goes first: a character sent at 9600 can hold the line low for
// longer than a whole character at 38400, which a daemon there takes for a
// break and answers by going back to 9600. An ENQ at 38400 reaches a
// monitor at 9600 as one garbled character, which it drops.
//
// Each device is checked for another holder first (PortInUse) and skipped,
// with nothing opened for longer than that look and nothing sent, when one
// holds it. Otherwise it is opened exclusively through the process-wide port,
// asked, and closed again: no port may be open in the process meanwhile.
#include <span>
#include <string>
#include <vector>

enum class ProbeAnswerT { Monitor, Daemon, None, InUse, CannotOpen };

struct ProbeResultT {
    std::string device;
    ProbeAnswerT answer = ProbeAnswerT::None;
    std::string detail;  // why the device is in use or cannot be opened
    double seconds = 0;  // time spent on the device
};

// Asks one device (a path, a pseudo-terminal, or a Windows port's name such
// as "COM3"). A silent device costs about 0.9 s: two ENQs at 38400 and two
// pings at 9600, each given 200 ms for its ACK.
ProbeResultT ProbeBoard(const std::string& device);

// The serial devices present, in the order `ports` lists them: what
// `ports --probe` and `--port auto` ask when no device is named.
std::vector<std::string> ProbeCandidates();

// The index in results of the one device whose board answered, or one of
// these when none or several did.
inline constexpr int kProbeNoBoard = -1;
inline constexpr int kProbeSeveralBoards = -2;
int OnlyBoard(std::span<const ProbeResultT> results);

// For people: "boot monitor at 9600 baud", "no answer", ...
const char* ProbeAnswerText(ProbeAnswerT answer);
// For JSON: monitor, daemon, none, in-use, cannot-open.
const char* ProbeAnswerName(ProbeAnswerT answer);
