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
    int WaitEraseEnd() { return ReadStatus(kEraseStatusTenths, 1); }

    // Longest wait for the chip erase's status byte, in tenths: the daemon
    // answers when the erase is done, or gives up a little earlier than this.
    static constexpr std::uint16_t kEraseStatusTenths = LOADER_ERASE_WAIT_MS / 100u;
    // Pause before the one look for a status byte when no acknowledgement
    // came: with the unanswered sends, about 31 s in all.
    static constexpr std::uint16_t kUnackedPauseTenths = 200;

    VesperilIO& link;

private:
    static int MapStatus(bool received, std::uint8_t byte);
    int ReadStatus(std::int32_t tenthsPerRead, int reads);
};

// Erases the whole flash through the daemon. erase_result: kErased;
// kNoDaemon (nothing sent); kFailed (the daemon reported failure or no
// status came); or kLinkBusy.
int EraseFlash();
