#pragma once
// The link to the board: framed commands, one-byte answers, and the memory
// primitives everything else is built on. The boot monitor (9600 baud) and
// the daemon (38400 baud) speak the same framing.
//
// Frame, both directions: STX 00 CMD LEN data[LEN] CK ETX, where CK is
// (CMD + LEN + data) mod 256. Multi-byte values are big-endian. ACK and NAK
// are single bytes; the ping is four raw bytes answered with one ACK.
#include <array>
#include <cstdint>
#include <span>

#include "SerialIO.h"

// Reverses a run of bytes in place (host order to board order for one unit).
void ReverseBytes(std::span<std::uint8_t> bytes);

class VesperilIO : public SerialIO {
public:
    static constexpr std::uint8_t kStx = 0x02;
    static constexpr std::uint8_t kEtx = 0x03;
    static constexpr std::uint8_t kAck = 0x06;
    static constexpr std::uint8_t kNak = 0x15;
    static constexpr std::array<std::uint8_t, 4> kPing{0x05, 0x0A, 0x14, 0x28};

    static constexpr std::uint8_t kCmdReadMemory = 0x80;
    static constexpr std::uint8_t kCmdWriteMemory = 0x81;
    static constexpr std::uint8_t kCmdRunAt = 0x82;
    static constexpr std::uint8_t kCmdErasePage = 0x83;
    static constexpr std::uint8_t kCmdProgramFlash = 0x84;
    static constexpr std::uint8_t kCmdBaudControl = 0x86;
    static constexpr std::uint8_t kCmdGoToMonitor = 0x87;
    static constexpr std::uint8_t kCmdSendVersion = 0x89;
    static constexpr std::uint8_t kCmdEraseSerialNumber = 0x8A;
    static constexpr std::uint8_t kCmdEraseChip = 0x8F;
    static constexpr std::uint8_t kReplyData = 0x92;
    static constexpr std::uint8_t kSpeedCode9600 = 0x0B;
    static constexpr std::uint8_t kSpeedCode38400 = 0x0C;

    static constexpr std::size_t kFrameSize = 260;
    static constexpr std::size_t kWriteChunk = 245;
    static constexpr std::size_t kReadChunk = 128;
    static constexpr std::int32_t kNoAnswer = 300;
    static constexpr int kAttempts = 5;

    using FrameBuffer = std::array<std::uint8_t, kFrameSize>;

    // Opens row portIndex of PortNames as SerialIO does.
    VesperilIO(std::int32_t index, std::uint32_t base, std::uint32_t scratch);
    ~VesperilIO() override = default;

    // Completes and sends the frame whose CMD, LEN and data stand at offsets
    // 2, 3 and 4. Returns the bytes written; 0 when the write failed or the
    // buffer has no room for LEN + 6 bytes.
    int SendFrame(std::span<std::uint8_t> buffer);
    int SendFrame() { return SendFrame(frame); }
    // 0 when a frame with a good checksum and ETX, and with CMD equal to
    // expected (0: any), stands in buffer; -1 when the time-out ran out first.
    int ReceiveFrame(std::span<std::uint8_t, kFrameSize> buffer, std::uint8_t expected, std::uint16_t seconds);
    bool WaitAck(std::uint16_t tenths);
    bool Ping(std::uint16_t tenths);
    bool IsAlive();
    // The speed when the board answers there (line set to 8N1), else 300.
    std::int32_t Probe(std::int32_t speed);
    int SetHostSpeed(std::int32_t speed);
    int SetTargetSpeed(std::int32_t speed);
    // Whether the last SetTargetSpeed saw the board's ACK.
    bool SpeedChangeAcknowledged() const { return speedAcked; }

    // Stores source at address in frames of up to 245 bytes, each unit of
    // width bits (8, 16, 32) in board order. 0, or -1 when a frame stayed
    // unacknowledged after five sends.
    // chunk: the most bytes one frame carries (at most 250).
    int WriteBlock(std::uint32_t address, std::span<const std::uint8_t> source, int width,
                   std::uint8_t command, std::size_t chunk = kWriteChunk);
    int WriteMemory(std::uint32_t address, std::span<const std::uint8_t> source, int width);
    int ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> source, int width,
                     std::size_t chunk = kWriteChunk);
    // Fills destination from board memory in chunks of up to 128 bytes; 0, or
    // -1 when a chunk failed five times.
    int ReadMemory(std::uint32_t address, std::span<std::uint8_t> destination);
    int RunAt(std::uint32_t address);
    // Writes a 16-bit register with a 16-bit access, through a small routine
    // stored at scratchAddress and run there.
    int WriteRegisterWord(std::uint32_t registerAddress, std::uint16_t value);

    // Bring-up's register writes: a chip select's mask then base register,
    // a control word, and a region register pair (option word, then base
    // word, high halves first). Each returns the first failing result, else 0.
    int WriteChipSelect(int index, std::uint32_t base, std::uint32_t mask);
    int WriteControlWord(int index, std::uint16_t value);
    int WriteRegionEntry(int index, std::uint32_t baseWord, std::uint32_t optionWord);

    // Off: a frame's first send goes out at once, without the 10 ms pause;
    // every resend still pauses and purges first.
    void SetIdlePause(bool on) { idlePause = on; }

    FrameBuffer& Frame() { return frame; }
    std::uint32_t ModuleBase() const { return moduleBase; }
    std::uint32_t ScratchAddress() const { return scratchAddress; }

private:
    // CMD, LEN and the big-endian address into frame; returns offset of the
    // next data byte.
    std::size_t BeginFrame(std::uint8_t command, std::uint8_t length, std::uint32_t address);
    // Five sends of frame, each followed by up to five WaitAck (2).
    bool SendUntilAcknowledged();
    bool ReadOneByte(std::uint8_t& byte);

    FrameBuffer frame{};
    std::uint32_t moduleBase;
    std::uint32_t scratchAddress;
    bool idlePause = true;
    bool speedAcked = false;
};
