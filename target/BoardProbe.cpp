#include "BoardProbe.h"

#include <array>
#include <chrono>

#include "CommPort.h"
#include "PortInUse.h"
#include "PortNames.h"
#include "TimerT.h"
#include "VesperilIO.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttempts = 2;
constexpr auto kAnswerWait = std::chrono::milliseconds(200);
// After the open, as the connect sequence's probe pauses too: an adapter
// just opened may put a glitch on the line. It is also far more than the
// daemon's 3 ms of quiet before it takes an ENQ.
constexpr std::uint32_t kSettleMs = 50;
// Time for a UART to settle at the new speed.
constexpr std::uint32_t kSpeedChangeMs = 20;

// Sends bytes up to kAttempts times; true at the first ACK among the replies.
bool Asked(std::span<const std::uint8_t> bytes) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        CommPurgeInput();
        if (CommWrite(bytes) != 0) return false;
        const auto deadline = Clock::now() + kAnswerWait;
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            if (CommWaitInput(static_cast<std::int32_t>(left)) == 0) continue;
            std::array<std::uint8_t, kCommReadMax> reply{};
            const int n = CommRead(reply);
            for (int i = 0; i < n; ++i)
                if (reply[static_cast<std::size_t>(i)] == VesperilIO::kAck) return true;
        }
    }
    return false;
}

}  // namespace

ProbeResultT ProbeBoard(const std::string& device) {
    const auto start = Clock::now();
    ProbeResultT r;
    r.device = device;
    auto finish = [&](ProbeAnswerT answer) {
        r.answer = answer;
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return r;
    };
    if (std::string held = PortInUse(device); !held.empty()) {
        r.detail = std::move(held);
        return finish(ProbeAnswerT::InUse);
    }
    if (CommOpen(device.c_str(), 38400, 0, 8, 0) != 0) {
        r.detail = CommOpenError();
        // Windows refuses a held port at the exclusive open, and says so.
        const bool held = r.detail.find("another program") != std::string::npos;
        return finish(held ? ProbeAnswerT::InUse : ProbeAnswerT::CannotOpen);
    }
    SleepMs(kSettleMs);
    ProbeAnswerT answer = ProbeAnswerT::None;
    static constexpr std::array<std::uint8_t, 1> kEnq{VesperilIO::kPing[0]};
    if (Asked(kEnq)) {
        answer = ProbeAnswerT::Daemon;
    } else if (CommConfigure(9600, 0, 8, 0) == 0) {
        SleepMs(kSpeedChangeMs);
        if (Asked(VesperilIO::kPing)) answer = ProbeAnswerT::Monitor;
    }
    CommClose();
    return finish(answer);
}

std::vector<std::string> ProbeCandidates() { return ListSerialDevices(); }

int OnlyBoard(std::span<const ProbeResultT> results) {
    int found = kProbeNoBoard;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const ProbeAnswerT a = results[i].answer;
        if (a != ProbeAnswerT::Monitor && a != ProbeAnswerT::Daemon) continue;
        if (found != kProbeNoBoard) return kProbeSeveralBoards;
        found = static_cast<int>(i);
    }
    return found;
}

const char* ProbeAnswerText(ProbeAnswerT answer) {
    switch (answer) {
        case ProbeAnswerT::Monitor: return "boot monitor at 9600 baud";
        case ProbeAnswerT::Daemon: return "daemon at 38400 baud";
        case ProbeAnswerT::None: return "no answer";
        case ProbeAnswerT::InUse: return "in use, skipped";
        case ProbeAnswerT::CannotOpen: return "cannot be opened";
    }
    return "";
}

const char* ProbeAnswerName(ProbeAnswerT answer) {
    switch (answer) {
        case ProbeAnswerT::Monitor: return "monitor";
        case ProbeAnswerT::Daemon: return "daemon";
        case ProbeAnswerT::None: return "none";
        case ProbeAnswerT::InUse: return "in-use";
        case ProbeAnswerT::CannotOpen: return "cannot-open";
    }
    return "";
}
