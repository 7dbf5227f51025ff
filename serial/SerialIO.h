#pragma once
// A serial port user: remembers its port row and line settings and reads
// with a time-out. All instances share the one process-wide port.
#include <cstdint>
#include <span>

class TimerT;

// Line settings; a 16-byte record copied by value.
struct CommSettings {
    std::int32_t nominalBaud = 38400;  // kept equal to baudRate; not given to the device
    std::int32_t baudRate = 38400;
    std::int16_t parity = 1;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::int16_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    std::int16_t byteSize = 8;
    std::uint16_t reserved = 0;
};
static_assert(sizeof(CommSettings) == 16);

class SerialIO {
public:
    static constexpr std::int8_t kNothingWaiting = -101;

    // Opens row portIndex of PortNames with the default settings; a failed
    // open is not reported (the port then behaves as closed).
    explicit SerialIO(std::int32_t portIndex);
    SerialIO(const SerialIO&) = delete;
    SerialIO& operator=(const SerialIO&) = delete;
    virtual ~SerialIO();  // closes the process-wide port

    int Open(CommSettings settings);
    int Configure(CommSettings settings);
    int GetSettings(CommSettings& settings) const;
    void SetTimeout(std::int32_t tenths);

    // 0 and the byte when one was waiting; kNothingWaiting at once otherwise.
    std::int8_t ReadByte(std::uint8_t& byte);
    // Fills buffer (at most 65535 bytes) unless the read time-out, which
    // bounds the whole call, passes first or the port fails
    // (CommLineFailed); returns the number stored.
    std::uint16_t Read(std::span<std::uint8_t> buffer);
    // The full count, or 0 when the write failed or exceeded 32767 bytes.
    std::uint16_t Write(std::span<const std::uint8_t> data);
    int PurgeInput();
    int SendBreak(std::int16_t ms);

    std::int32_t ReadTimeout() const { return readTimeout; }
    std::int32_t PortIndex() const { return portIndex; }

protected:
    // Blocks in the OS until input is waiting or the timer expires.
    static void WaitForInput(TimerT& timer);

    CommSettings settings;
    std::int32_t readTimeout = 0;  // tenths of a second; low 16 bits used
    std::int32_t portIndex;
};
