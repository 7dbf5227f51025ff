// The boot monitor and board application stand-ins: what the board does
// with console characters while no downloaded code runs.
#include "BoardImpl.h"

namespace sim {

void Board::Impl::FlushOut() {
    const unsigned base = console * 8;
    while (!out.empty() && (duart.Read(base + Mc68681::kSRA_CSRA, now) & Mc68681::kTxRdy) != 0) {
        duart.Write(base + Mc68681::kRBA_TBA, out.front(), now);
        out.pop_front();
    }
}

void Board::Impl::MonitorByte(std::uint8_t b, std::uint8_t status) {
    if (status & Mc68681::kReceivedBreak) {
        ResetMonitor();
        return;
    }
    if (rx != Rx::Hunt) frameDeadline = now + kMonitorFrameTimeout;
    switch (rx) {
        case Rx::Hunt:
            if (b == kEnq) {
                out.push_back(kAck);  // the ping's first byte, or a plain ENQ
            } else if (b == kStx) {
                rx = Rx::Zero;
                frameDeadline = now + kMonitorFrameTimeout;
            }
            break;
        case Rx::Zero: rx = Rx::Cmd; break;
        case Rx::Cmd:
            cmd = b;
            rx = Rx::Len;
            break;
        case Rx::Len:
            len = b;
            sum = static_cast<unsigned>(cmd) + len;
            data.clear();
            rx = len == 0 ? Rx::Ck : Rx::Data;
            break;
        case Rx::Data:
            data.push_back(b);
            sum += b;
            if (data.size() == len) rx = Rx::Ck;
            break;
        case Rx::Ck:
            ck = b;
            rx = Rx::Etx;
            break;
        case Rx::Etx: {
            rx = Rx::Hunt;
            frameDeadline = kForever;
            if (b != kEtx || (sum & 0xFFu) != ck) break;  // damaged: no answer
            if (len < 4) break;
            const std::uint32_t address = BigEndian(data.data(), 4);
            if (cmd == LINK_CMD_WRITE_MEMORY) {
                if (MonitorStore(address, data.data() + 4, static_cast<std::uint32_t>(data.size() - 4))) {
                    out.push_back(kAck);
                }
            } else if (cmd == LINK_CMD_RUN_AT) {
                out.push_back(kAck);
                pendingCall = address;
            }
            break;
        }
    }
}

void Board::Impl::AppByte(std::uint8_t b, std::uint8_t status) {
    if (status & Mc68681::kReceivedBreak) {
        appBreakSeen = true;
        appArmed = false;
        appLast.clear();
        return;
    }
    if (!appBreakSeen) return;  // the application's own traffic: not modelled
    appLast.push_back(b);
    if (appLast.size() > 5) appLast.pop_front();
    if (appLast.size() < 5) return;
    // The break message's middle byte is not examined.
    if (appLast[0] == LINK_DLE && appLast[1] == LINK_BREAK_MESSAGE_CODE && appLast[3] == LINK_DLE &&
        appLast[4] == LINK_ETX) {
        appArmed = true;  // the break message
        appLast.clear();
        return;
    }
    if (appArmed && std::equal(appLast.begin(), appLast.end(), kAttention.begin())) {
        out.push_back('*');
        out.push_back('*');
        mode = BoardMode::Monitor;
        ResetMonitor();
    }
}

void Board::Impl::HostStep() {
    const unsigned base = console * 8;
    if (mode == BoardMode::Monitor && rx != Rx::Hunt && now >= frameDeadline) ResetMonitor();
    for (;;) {
        const std::uint8_t sr = duart.Read(base + Mc68681::kSRA_CSRA, now);
        if ((sr & Mc68681::kRxRdy) == 0) break;
        const std::uint8_t b = duart.Read(base + Mc68681::kRBA_TBA, now);
        if (mode == BoardMode::Application) {
            AppByte(b, sr);
        } else {
            MonitorByte(b, sr);
            if (pendingCall) break;
        }
    }
    FlushOut();
    if (pendingCall && out.empty()) {
        const std::uint32_t a = *pendingCall;
        pendingCall.reset();
        StartCall(a);
    }
}

}  // namespace sim
