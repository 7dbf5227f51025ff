#include "SerialIO.h"

#include <algorithm>

#include "CommPort.h"
#include "PortNames.h"
#include "TimerT.h"

namespace {
std::uint8_t Code(std::int16_t v) { return static_cast<std::uint8_t>(v); }
}  // namespace

SerialIO::SerialIO(std::int32_t index) : portIndex(index) {
    Open(CommSettings{});
    readTimeout = 0;
}

SerialIO::~SerialIO() { CommClose(); }

int SerialIO::Open(CommSettings s) {
    settings = s;
    // Rows outside the table name no device.
    if (portIndex < 0 || portIndex >= kPortCount) return 1;
    return CommOpen(PortNames[portIndex], s.baudRate, Code(s.parity), Code(s.byteSize), Code(s.stopBits));
}

int SerialIO::Configure(CommSettings s) {
    settings = s;
    return CommConfigure(static_cast<std::uint32_t>(s.baudRate), Code(s.parity), Code(s.byteSize),
                         Code(s.stopBits));
}

int SerialIO::GetSettings(CommSettings& s) const {
    s = settings;
    return 0;
}

void SerialIO::SetTimeout(std::int32_t tenths) { readTimeout = tenths; }

std::int8_t SerialIO::ReadByte(std::uint8_t& byte) {
    return CommRead(std::span(&byte, 1)) == 1 ? std::int8_t{0} : kNothingWaiting;
}

void SerialIO::WaitForInput(TimerT& timer) {
    const std::uint32_t ms = timer.RemainingMs();
    if (ms > 0) timer.Clock().Pass(ms, &CommWaitInput);
}

std::uint16_t SerialIO::Read(std::span<std::uint8_t> buffer) {
    const std::size_t n = std::min<std::size_t>(buffer.size(), UINT16_MAX);
    TimerT timer;
    timer.Start(static_cast<std::uint16_t>(readTimeout & 0xFFFF));
    for (std::size_t i = 0; i < n; ++i) {
        while (ReadByte(buffer[i]) != 0) {
            // A failed port gives nothing more: no use waiting it out.
            if (timer.Expired() != 0 || CommLineFailed() != 0) return static_cast<std::uint16_t>(i);
            WaitForInput(timer);
        }
    }
    timer.Clear();
    return static_cast<std::uint16_t>(n);
}

std::uint16_t SerialIO::Write(std::span<const std::uint8_t> data) {
    if (data.size() > static_cast<std::size_t>(kCommWriteMax)) return 0;
    return CommWrite(data) == 0 ? static_cast<std::uint16_t>(data.size()) : std::uint16_t{0};
}

int SerialIO::PurgeInput() { return CommPurgeInput(); }

int SerialIO::SendBreak(std::int16_t ms) { return CommBreak(ms); }
