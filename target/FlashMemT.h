#pragma once
// Flash commands to the running daemon: erase the chip (keeping the
// serial-number area), erase one sector, erase the serial-number area.
#include <cstdint>

#include "Results.h"
#include "de_flash_limits.h"

class VesperilIO;

class FlashMemT {
public:
    explicit FlashMemT(VesperilIO& linkTo) : link(linkTo) {}
    FlashMemT(const FlashMemT&) = delete;
    FlashMemT& operator=(const FlashMemT&) = delete;
    virtual ~FlashMemT() = default;

    // Status results (erase_status): 0 ACK, 78 NAK, 65 another byte, -100
    // no status byte.
    static constexpr int kStatusAck = erase_status::kAck;
    static constexpr int kStatusNak = erase_status::kNak;
    static constexpr int kStatusOther = erase_status::kOther;
    static constexpr int kStatusNone = erase_status::kNone;

    int EraseChip();
    int EraseSector(std::uint32_t address);
    int EraseSerialNumber();
    // The status byte that ends an erase whose request was taken first
    // (the serial-number erase answers once on taking it, once when done).
    int WaitEraseEnd();

    // Whether the daemon answers ENQ with SYN while it erases (its version
    // says so); asked once per link. A board that does is given up on after
    // kBusySilenceTenths without a byte, instead of after the longest erase.
    bool BusyAnswers();
    // Silence that ends an erase on such a board: a few unanswered asks.
    // Programming the serial-number area back after a chip erase (0.6 s at
    // the slowest word) fits in it.
    static constexpr std::uint16_t kBusySilenceTenths = 40;
    // The last page (30 KiB) programmed back after the serial-number erase
    // takes up to 9.2 s at the slowest word, answering nothing.
    static constexpr std::uint16_t kLastPageSilenceTenths = 120;

    // Longest wait for the chip erase's status byte, in tenths: the daemon
    // answers when the erase is done, or gives up a little earlier than this.
    static constexpr std::uint16_t kEraseStatusTenths = LOADER_ERASE_WAIT_MS / 100u;
    // Pause before the one look for a status byte when no acknowledgement
    // came: with the unanswered sends, about 31 s in all.
    static constexpr std::uint16_t kUnackedPauseTenths = 200;

    // The last erase's status (as the functions above return it), and the
    // sector it was for (0 for the chip or the serial-number area).
    int LastStatus() const { return lastStatus; }
    // Why no status came (LastStatus kStatusNone).
    enum class SilenceT { Timeout, StoppedAnswering, NotTaken, NoAnswer };
    SilenceT LastSilence() const { return lastSilence; }
    std::uint32_t LastSector() const { return lastSector; }

    VesperilIO& link;

private:
    int lastStatus = kStatusAck;
    std::uint32_t lastSector = 0;
    SilenceT lastSilence = SilenceT::Timeout;
    int busyAnswers = -1;  // unknown until asked
    bool versionSilent = false;  // not a byte came back when it was asked
    static int MapStatus(bool received, std::uint8_t byte);
    int ReadStatus(std::int32_t tenthsPerRead, int reads);
    // The status that ends an erase the board is busy with, waiting as
    // BusyAnswers allows.
    int AwaitStatus(std::uint16_t silenceTenths);
};

// Erases the whole flash through the daemon. erase_result: kErased;
// kNoDaemon (nothing sent); kFailed (the daemon reported failure or no
// status came); or kLinkBusy.
int EraseFlash();
