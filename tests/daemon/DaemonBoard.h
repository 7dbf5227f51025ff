#pragma once
// The committed daemon image running on the simulated board, with the host's
// end of the line: build request frames, send them, collect what comes back.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Board.h"

namespace daemontest {

inline constexpr std::uint8_t kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06, kNak = 0x15;
inline constexpr std::uint32_t kFlashBase = 0x400000, kFlashEnd = 0x480000;
inline constexpr std::uint32_t kLastPage = 0x470000, kSerialArea = 0x47F000;
inline constexpr std::uint32_t kSaveBuffer = 0x480000;
inline constexpr std::uint32_t kStackTop = 0x4A0000;
// RAM the tests use freely: above the daemon's data words.
inline constexpr std::uint32_t kScratch = 0x4B0000;

using Bytes = std::vector<std::uint8_t>;

// STX 00 CMD LEN DATA CK ETX.
Bytes Frame(std::uint8_t cmd, std::span<const std::uint8_t> data);
// A request whose data start with a 32-bit big-endian address.
Bytes AddressFrame(std::uint8_t cmd, std::uint32_t address, std::span<const std::uint8_t> payload = {});
Bytes ReadFrame(std::uint32_t address, std::uint8_t count);
// The data reply the daemon should send for `data`.
Bytes DataReply(std::span<const std::uint8_t> data);

// The image's S3 records as (address, bytes), parsed from the embedded text.
struct ImageRecord {
    std::uint32_t address = 0;
    Bytes data;
};
std::vector<ImageRecord> ImageRecords();
// A routine's address from the image's symbol map (0 when it has none).
std::uint32_t DaemonSymbol(const std::string& name);

class DaemonBoard {
public:
    static sim::BoardOptions DefaultOptions();
    explicit DaemonBoard(const sim::BoardOptions& options = DefaultOptions());

    sim::Board& Board() { return *board_; }
    bool Ok() const { return board_ != nullptr; }
    const std::string& Error() const { return error_; }

    // Puts the image into RAM directly and has the boot monitor call it, as
    // the loader's run request does. True when the monitor acknowledged.
    bool StartDaemon();
    // Stores the image through the boot monitor with 0x81 frames, in the
    // loader's blocks, then starts it. True when every frame was acknowledged.
    bool DownloadAndStart();

    // Sends bytes at the host's current speed, then runs until `expect`
    // characters came back (or `limit` passed), and `settle` more to catch any
    // surplus. Returns every character received meanwhile.
    Bytes Exchange(std::span<const std::uint8_t> bytes, std::size_t expect, sim::Picos limit = Millis(3000),
                   sim::Picos settle = Millis(20));
    // Sends and runs for `wait`; returns what came back (tests expect nothing).
    // A whole frame is dealt with at once; one cut short needs the daemon's
    // byte time-out (kReceiverTimeout) before it is dropped.
    Bytes SendExpectingSilence(std::span<const std::uint8_t> bytes, sim::Picos wait = Millis(100));
    // True when one ENQ is answered by exactly one ACK.
    bool Alive();

    // Host line speed, both directions.
    void SetHostFormat(const sim::LineFormat& format);
    const sim::LineFormat& HostFormat() const { return format_; }

    Bytes Read(std::uint32_t address, std::uint32_t length) const { return board_->ReadMemory(address, length); }
    std::uint16_t Word(std::uint32_t address) const;
    void Write(std::uint32_t address, std::span<const std::uint8_t> bytes) { board_->WriteMemory(address, bytes); }
    void WriteWord(std::uint32_t address, std::uint16_t value);
    // Fills [from, to) of the flash array with a recognisable pattern.
    void FillFlash(std::uint32_t from, std::uint32_t to, std::uint8_t seed);

    // A broken daemon for the board to catch: replaces the first `find` at or
    // after `from` (within `span` bytes) with `replace`. True when found.
    bool Patch(std::uint32_t from, std::uint32_t span, const Bytes& find, const Bytes& replace);

    std::vector<sim::BoardFault> Faults() const { return board_->Faults(); }
    std::string FaultText() const;

    static constexpr sim::Picos Millis(std::uint64_t ms) { return ms * sim::kPicosPerMilli; }
    // The daemon's wait for the next byte of a frame (99,999 polls) at the
    // board's 16.78 MHz clock lasts between 0.6 and 0.8 s: this is past it.
    static constexpr sim::Picos kReceiverTimeout = 1000 * sim::kPicosPerMilli;
    static constexpr sim::Picos Micros(std::uint64_t us) { return us * sim::kPicosPerMicro; }

private:
    std::unique_ptr<sim::Board> board_;
    std::string error_;
    sim::LineFormat format_ = sim::k9600_8N1;
    std::vector<sim::WireChar> received_;
};

}  // namespace daemontest
