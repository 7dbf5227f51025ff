#pragma once
// The link to the board: framed commands, one-byte answers, and the memory
// primitives everything else is built on. The boot monitor (9600 baud) and
// the daemon (38400 baud) speak the same framing; its bytes, codes and
// limits are those of link_protocol.h, shared with the board's programs.
#include <array>
#include <cstdint>
#include <span>

#include "SerialIO.h"
#include "link_protocol.h"

// Reverses a run of bytes in place (host order to board order for one unit).
void ReverseBytes(std::span<std::uint8_t> bytes);

class VesperilIO : public SerialIO {
public:
    static constexpr std::uint8_t kStx = LINK_STX;
    static constexpr std::uint8_t kEtx = LINK_ETX;
    static constexpr std::uint8_t kAck = LINK_ACK;
    static constexpr std::uint8_t kNak = LINK_NAK;
    static constexpr std::uint8_t kSyn = LINK_SYN;
    static constexpr std::array<std::uint8_t, LINK_PING_BYTES> kPing{LINK_PING_0, LINK_PING_1, LINK_PING_2,
                                                                    LINK_PING_3};

    static constexpr std::uint8_t kCmdReadMemory = LINK_CMD_READ_MEMORY;
    static constexpr std::uint8_t kCmdWriteMemory = LINK_CMD_WRITE_MEMORY;
    static constexpr std::uint8_t kCmdRunAt = LINK_CMD_RUN_AT;
    static constexpr std::uint8_t kCmdErasePage = LINK_CMD_ERASE_SECTOR;
    static constexpr std::uint8_t kCmdProgramFlash = LINK_CMD_PROGRAM_FLASH;
    static constexpr std::uint8_t kCmdBaudControl = LINK_CMD_BAUD_CONTROL;
    static constexpr std::uint8_t kCmdGoToMonitor = LINK_CMD_GO_TO_MONITOR;
    static constexpr std::uint8_t kCmdSendVersion = LINK_CMD_SEND_VERSION;
    static constexpr std::uint8_t kCmdEraseSerialNumber = LINK_CMD_ERASE_SERIAL;
    static constexpr std::uint8_t kCmdEraseChip = LINK_CMD_ERASE_CHIP;
    static constexpr std::uint8_t kReplyData = LINK_REPLY_DATA;
    static constexpr std::uint8_t kSpeedCode9600 = LINK_SPEED_9600;
    static constexpr std::uint8_t kSpeedCode38400 = LINK_SPEED_38400;

    // Where CMD, LEN and the data stand in a frame buffer.
    static constexpr std::size_t kCmdAt = LINK_FRAME_CMD_AT;
    static constexpr std::size_t kLenAt = LINK_FRAME_LEN_AT;
    static constexpr std::size_t kDataAt = LINK_FRAME_DATA_AT;
    static constexpr std::size_t kFrameSize = LINK_FRAME_BUFFER;
    static constexpr std::size_t kWriteChunk = LINK_WRITE_CHUNK;
    static constexpr std::size_t kReadChunk = LINK_READ_CHUNK;
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
    int ReceiveFrameWithin(std::span<std::uint8_t, kFrameSize> buffer, std::uint8_t expected, std::uint16_t tenths);
    bool WaitAck(std::uint16_t tenths);
    bool Ping(std::uint16_t tenths);
    bool IsAlive();
    // Pings (0.2 s each) until one is answered or tenths have passed.
    bool AnswersWithin(int tenths);
    // How long a silent board gets to answer a ping before it is taken for
    // gone: a drop-out shorter than this is ridden out.
    static constexpr int kAliveTenths = 30;
    // The daemon's version byte (0x89); -1 when no good reply came within
    // half a second (a daemon that never answers 0x89 costs that), and
    // kVersionSilent when not a byte came back.
    int DaemonVersion();
    static constexpr int kVersionSilent = -2;
    // One ENQ: kSyn when the board is busy erasing, kAck when it is idle,
    // another byte as it came, -1 when nothing came within tenths.
    int AskBusy(std::uint16_t tenths);
    // Waits for the byte that ends an erase (its status). A board that
    // answers ENQ with SYN while it erases (busyAnswers) is asked every
    // kBusyAskTenths and given up on after silenceTenths without a byte;
    // any board after limitTenths. The byte, or -1 (BusySilence says
    // whether the board had stopped answering).
    int WaitEraseStatus(std::uint16_t limitTenths, bool busyAnswers, std::uint16_t silenceTenths);
    bool BusySilence() const { return busySilence; }
    static constexpr std::uint16_t kBusyAskTenths = 10;

    // The speed when the board answers there (line set to 8N1), else 300.
    std::int32_t Probe(std::int32_t speed);
    int SetHostSpeed(std::int32_t speed);
    int SetTargetSpeed(std::int32_t speed);
    // Whether the last SetTargetSpeed saw the board's ACK.
    bool SpeedChangeAcknowledged() const { return speedAcked; }

    // Stores source at address in frames of up to kWriteChunk bytes, each
    // unit of width bits (8, 16, 32) in board order. link_result: 0, or -1
    // when a frame stayed unacknowledged after five sends.
    // chunk: the most bytes one frame carries (at most LINK_FULL_FRAME_PAYLOAD).
    int WriteBlock(std::uint32_t address, std::span<const std::uint8_t> source, int width,
                   std::uint8_t command, std::size_t chunk = kWriteChunk);
    int WriteMemory(std::uint32_t address, std::span<const std::uint8_t> source, int width);
    int ProgramFlash(std::uint32_t address, std::span<const std::uint8_t> source, int width,
                     std::size_t chunk = kWriteChunk);
    // Fills destination from board memory in chunks of up to kReadChunk
    // bytes; 0, or -1 when a chunk failed five times.
    int ReadMemory(std::uint32_t address, std::span<std::uint8_t> destination);
    int RunAt(std::uint32_t address);
    // Writes a 16-bit register with a 16-bit access, through a small routine
    // stored at scratchAddress and run there.
    int WriteRegisterWord(std::uint32_t registerAddress, std::uint16_t value);
    // One or two 16-bit register writes, in order, by one routine of the
    // same 18 bytes at scratchAddress: half the boot monitor's round trips.
    struct RegisterWordT {
        std::uint32_t address = 0;
        std::uint16_t value = 0;
    };
    int WriteRegisterWords(std::span<const RegisterWordT> writes);
    // A region register pair's four 16-bit writes, in the order
    // WriteRegionEntry makes them.
    static std::array<RegisterWordT, 4> RegionEntryWords(int index, std::uint32_t baseWord, std::uint32_t optionWord);

    // Bring-up's register writes: a chip select's mask then base register,
    // a control word, and a region register pair (option word, then base
    // word, high halves first). Each returns the first failing result, else 0.
    int WriteChipSelect(int index, std::uint32_t base, std::uint32_t mask);
    int WriteControlWord(int index, std::uint16_t value);
    int WriteRegionEntry(int index, std::uint32_t baseWord, std::uint32_t optionWord);

    // Where the last WriteBlock that failed stopped: the frame's addresses
    // [from, to), and whether the board refused it (NAK) rather than left
    // it unanswered.
    std::uint32_t FailedFrom() const { return failedFrom; }
    std::uint32_t FailedTo() const { return failedTo; }
    bool FailedRefused() const { return failedRefused; }

    // On: a request whose whole wait passed without a single byte from the
    // board is not sent again (a dead line stays dead; a noisy one still
    // gets every resend). SilentLastTime says whether the last request
    // ended so.
    void SetGiveUpWhenSilent(bool on) { giveUpWhenSilent = on; }
    bool SilentLastTime() const { return silentLastTime; }

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
    // Five sends of frame, each followed by up to five waits of 0.2 s for
    // its ACK; a NAK ends the waits for that send at once.
    bool SendUntilAcknowledged();
    // kAck or kNak as it comes, -1 when neither came within tenths.
    int WaitAnswer(std::uint16_t tenths);
    bool ReadOneByte(std::uint8_t& byte);

    FrameBuffer frame{};
    std::uint32_t moduleBase;
    std::uint32_t scratchAddress;
    bool idlePause = true;
    bool speedAcked = false;
    bool busySilence = false;
    bool afterRun = false;        // the last request was a run request
    bool settleAfterRun = false;  // a frame right after one was lost: pause after each
    static constexpr std::uint32_t kRunSettleMs = 30;
    bool refused = false;  // the last SendUntilAcknowledged saw a NAK
    bool giveUpWhenSilent = false;
    bool silentLastTime = false;
    bool heard = false;  // a byte came since the last send
    std::uint32_t failedFrom = 0, failedTo = 0;
    bool failedRefused = false;
};
