#pragma once
// MC68681 dual UART, register-level, from the chip's public data sheet: two
// channels with mode registers, clock select, command register, a receiver
// FIFO of three characters behind the shift register (overrun when a fourth
// complete character is followed by a fifth), a transmitter holding register
// in front of the shift register, and received-break handling. The host end of
// each channel is a WireLine pair, sampled at bit level. The counter/timer in
// timer mode is a clock source for the channels (clock-select code 0xD): its
// square wave is the source / (2 * preload), and the data sheet's minimum
// preload is 2, so a smaller preload gives no clock at all.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "Wire.h"

namespace sim {

class Mc68681 {
public:
    // Status register bits.
    static constexpr std::uint8_t kRxRdy = 0x01;
    static constexpr std::uint8_t kFFull = 0x02;
    static constexpr std::uint8_t kTxRdy = 0x04;
    static constexpr std::uint8_t kTxEmt = 0x08;
    static constexpr std::uint8_t kOverrun = 0x10;
    static constexpr std::uint8_t kParityError = 0x20;
    static constexpr std::uint8_t kFramingError = 0x40;
    static constexpr std::uint8_t kReceivedBreak = 0x80;

    // Register indexes (0..15), as the chip decodes RS1..RS4.
    enum Reg : unsigned {
        kMRA = 0, kSRA_CSRA = 1, kCRA = 2, kRBA_TBA = 3, kIPCR_ACR = 4, kISR_IMR = 5,
        kCUR_CTUR = 6, kCLR_CTLR = 7, kMRB = 8, kSRB_CSRB = 9, kCRB = 10, kRBB_TBB = 11,
        kIVR = 12, kIP_OPCR = 13, kStart_SOPR = 14, kStop_ROPR = 15,
    };

    Mc68681();

    // Hardware reset: both channels disabled, MR pointers at MR1, ACR 0.
    void Reset(Picos now);
    std::uint8_t Read(unsigned reg, Picos now);
    void Write(unsigned reg, std::uint8_t value, Picos now);
    // Status register of a channel without side effects (for wait detection).
    std::uint8_t PeekStatus(unsigned channel, Picos now);

    // Brings both channels up to `now`: completes received and sent characters.
    void Advance(Picos now);
    // Earliest future time at which a register could change by itself.
    std::optional<Picos> NextEvent() const;

    // Host end of a channel.
    // Returns when the character's start bit goes on the wire.
    Picos HostSend(unsigned channel, std::uint8_t byte, const LineFormat& format, Picos now, bool badStop = false,
                   bool badParity = false);
    void HostBreakFor(unsigned channel, Picos duration, Picos now);
    void HostBreak(unsigned channel, bool on, Picos now);
    // The format at which the host's own receiver samples what the board sends.
    void SetHostFormat(unsigned channel, const LineFormat& format) { ch_[channel & 1].hostFormat = format; }
    // The host's receiver takes whatever format the channel transmits with:
    // for a line that does its own decoding further on.
    void SetHostFollowsChannel(unsigned channel, bool on) { ch_[channel & 1].hostFollows = on; }
    // Called for every character the host's receiver assembles, in time order.
    std::function<void(unsigned channel, const WireChar&)> toHost;
    // Called for every character the board's receiver assembles (before FIFO handling).
    std::function<void(unsigned channel, const WireChar&)> onReceived;

    // The line format at which a channel's receiver and transmitter run now.
    LineFormat RxFormat(unsigned channel) const;
    LineFormat TxFormat(unsigned channel) const;
    std::uint8_t ClockSelect(unsigned channel) const { return ch_[channel & 1].csr; }
    // Baud rate of a clock-select code under the current ACR set; 0 when the
    // code needs a clock this board does not supply (external inputs, a
    // counter/timer that is not a running timer with a preload of 2 or more).
    std::uint32_t BaudOf(unsigned code) const;
    // The counter/timer's square-wave frequency in Hz; 0 when it gives none.
    std::uint32_t TimerHz() const;

    static constexpr std::uint32_t kCrystalHz = 3'686'400;  // X1
    static constexpr std::uint16_t kMinTimerPreload = 2;

private:
    struct RxEntry {
        std::uint8_t byte = 0;
        std::uint8_t status = 0;  // PE, FE, RB bits
    };
    struct Channel {
        std::array<std::uint8_t, 2> mr{0, 0};
        unsigned mrPointer = 0;
        std::uint8_t csr = 0;
        bool rxEnabled = false;
        bool txEnabled = false;
        bool overrun = false;
        std::deque<RxEntry> fifo;           // up to three characters
        std::optional<RxEntry> shiftHeld;   // a fourth, waiting in the shift register
        std::uint8_t lastRead = 0;
        std::optional<std::uint8_t> holding;  // transmitter holding register
        Picos shiftEnd = 0;                 // transmitter shift register busy until
        bool shifting = false;
        std::optional<std::uint8_t> stalled;  // in the shift register, no clock to send it
        bool breakOut = false;              // start-break command in force
        WireLine hostToBoard;
        WireLine boardToHost;
        LineDecoder rxDecoder;              // the chip's receiver
        LineDecoder hostDecoder;            // the host's receiver
        LineFormat hostFormat = k9600_8N1;
        bool hostFollows = false;
    };

    void Command(unsigned channel, std::uint8_t value, Picos now);
    void Receive(unsigned channel, const WireChar& c);
    void StartShift(Channel& c, Picos at);
    void Retime(Channel& c, Picos now);
    std::uint8_t Status(const Channel& c) const;
    std::uint8_t PopRx(Channel& c);
    static LineFormat FormatOf(const Channel& c, std::uint32_t baud);

    std::array<Channel, 2> ch_;
    std::uint8_t acr_ = 0;
    std::uint8_t imr_ = 0;
    std::uint8_t ivr_ = 0x0F;
    std::uint8_t opcr_ = 0;
    std::uint8_t op_ = 0;
    std::uint8_t ctur_ = 0;
    std::uint8_t ctlr_ = 0;
    // Counter/timer: running since a start-counter command, with the preload
    // in force (a new preload takes over at the next half period, which at
    // these rates is well under a microsecond: at once here).
    bool ctRunning_ = false;
    std::uint16_t ctPreload_ = 0;
    Picos ctReadyFrom_ = kForever;  // counter-ready (ISR bit 3) set from then on
    void RetimeAll(Picos now);
    Picos TimerCycle() const;
    std::vector<WireChar> scratch_;
};

}  // namespace sim
