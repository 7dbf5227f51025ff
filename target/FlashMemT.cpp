#include "FlashMemT.h"

#include <array>

#include "CommPort.h"
#include "TargetState.h"
#include "TimerT.h"
#include "VesperilIO.h"

int FlashMemT::MapStatus(bool received, std::uint8_t byte) {
    if (!received) return kStatusNone;
    if (byte == VesperilIO::kAck) return kStatusAck;
    if (byte == VesperilIO::kNak) return kStatusNak;
    return kStatusOther;
}

int FlashMemT::ReadStatus(std::int32_t tenthsPerRead, int reads) {
    link.SetTimeout(tenthsPerRead);
    std::uint8_t byte = 0;
    bool received = false;
    for (int i = 0; i < reads && !received; ++i) received = link.Read(std::span(&byte, 1)) == 1;
    link.SetTimeout(10);
    lastStatus = MapStatus(received, byte);
    return lastStatus;
}

bool FlashMemT::BusyAnswers() {
    if (busyAnswers < 0) {
        const int version = link.DaemonVersion();
        busyAnswers = version == LINK_VERSION_BUSY_ANSWER ? 1 : 0;
        versionSilent = version == VesperilIO::kVersionSilent;
        // Whatever else an unknown daemon sent must not pass for the
        // erase's acknowledgement.
        link.PurgeInput();
    }
    return busyAnswers == 1;
}

int FlashMemT::AwaitStatus(std::uint16_t silenceTenths) {
    // Never asks here: a request sent while the board erases would be lost,
    // and its answer's wait could swallow the status. Each erase asks first.
    const int b = link.WaitEraseStatus(kEraseStatusTenths, busyAnswers == 1, silenceTenths);
    link.SetTimeout(10);
    lastSilence = link.BusySilence() ? SilenceT::StoppedAnswering : SilenceT::Timeout;
    lastStatus = MapStatus(b >= 0, static_cast<std::uint8_t>(b));
    return lastStatus;
}

int FlashMemT::WaitEraseEnd() { return AwaitStatus(kLastPageSilenceTenths); }

int FlashMemT::EraseChip() {
    lastSector = 0;
    lastStatus = kStatusNone;
    lastSilence = SilenceT::Timeout;
    const bool busy = BusyAnswers();
    VesperilIO::FrameBuffer f{};
    f[VesperilIO::kCmdAt] = VesperilIO::kCmdEraseChip;
    f[VesperilIO::kLenAt] = 0;
    link.SendFrame(f);
    bool acked = link.WaitAck(20);
    for (int i = 0; i < 6 && !acked && CommLineFailed() == 0; ++i) {
        WaitTenths(10);
        link.SendFrame(f);
        acked = link.WaitAck(5);
    }
    // The daemon sends its status byte once the erase is done. Waiting for
    // it (rather than sleeping a fixed time and then polling) neither
    // misreports a slow erase as silence nor makes a quick one wait.
    if (acked) return AwaitStatus(kBusySilenceTenths);
    // A port that failed will bring no status byte either.
    if (CommLineFailed() != 0) return lastStatus = kStatusNone;
    if (busy || versionSilent) {
        // Never acknowledged, by a daemon that answers while it erases: SYN
        // means it is erasing (its ACK was lost), ACK that it is idle (the
        // request never reached it), nothing that the line is dead. A line
        // that was already silent to the version request before it is taken
        // for dead the same way: any daemon answers that request when idle.
        const int answer = link.AskBusy(static_cast<std::uint16_t>(VesperilIO::kAliveTenths));
        if (answer == VesperilIO::kSyn) return AwaitStatus(kBusySilenceTenths);
        lastSilence = answer < 0 ? SilenceT::NoAnswer : SilenceT::NotTaken;
        return lastStatus = kStatusNone;
    }
    // Never acknowledged: most likely no daemon is listening, so the long
    // wait would only delay the failure. A lost acknowledgement still gets
    // the pause an erase takes, then one look for its status byte.
    WaitTenths(kUnackedPauseTenths);
    return ReadStatus(0, 1);
}

int FlashMemT::EraseSector(std::uint32_t address) {
    lastSector = address;
    lastSilence = SilenceT::Timeout;
    VesperilIO::FrameBuffer f{};
    f[VesperilIO::kCmdAt] = VesperilIO::kCmdErasePage;
    f[VesperilIO::kLenAt] = LINK_ADDRESS_BYTES;
    for (std::size_t i = 0; i < LINK_ADDRESS_BYTES; ++i)
        f[VesperilIO::kDataAt + i] = static_cast<std::uint8_t>(address >> (8 * (LINK_ADDRESS_BYTES - 1 - i)));
    const bool busy = BusyAnswers();
    link.SendFrame(f);
    return busy ? AwaitStatus(kBusySilenceTenths) : ReadStatus(100, 10);
}

int FlashMemT::EraseSerialNumber() {
    lastSector = 0;
    BusyAnswers();  // before the request: WaitEraseEnd waits as the answer allows
    VesperilIO::FrameBuffer f{};
    f[VesperilIO::kCmdAt] = VesperilIO::kCmdEraseSerialNumber;
    f[VesperilIO::kLenAt] = 0;
    link.SendFrame(f);
    return ReadStatus(100, 10);
}

int EraseFlash() {
    // Without a daemon nothing goes on the line, so the link is not needed:
    // a step running meanwhile is not disturbed and does not make this busy.
    if (!daemonRunning) return erase_result::kNoDaemon;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetFlash) return erase_result::kNoDaemon;
    CommPurgeInput();
    return TargetFlash->EraseChip() == erase_status::kAck ? erase_result::kErased : erase_result::kFailed;
}
