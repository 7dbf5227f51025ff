#pragma once
// The serial wire between the board's DUART and the host, modelled at bit level:
// each transmitter lays down character frames (or a break) at its own speed,
// and each receiver samples the line at its own speed. Equal settings give the
// characters back; a speed or format mismatch garbles or loses them the way a
// real UART would.
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace sim {

// Simulated time in picoseconds: one time base for CPU clocks, bit times and
// flash operation times.
using Picos = std::uint64_t;
inline constexpr Picos kPicosPerSecond = 1'000'000'000'000ULL;
inline constexpr Picos kPicosPerMilli = 1'000'000'000ULL;
inline constexpr Picos kPicosPerMicro = 1'000'000ULL;
inline constexpr Picos kForever = ~Picos{0};

enum class Parity : std::uint8_t { None, Even, Odd, Mark, Space };

struct LineFormat {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;  // 5..8
    Parity parity = Parity::None;
    std::uint8_t stopBits = 1;  // 1 or 2

    bool operator==(const LineFormat&) const = default;
    Picos BitTime() const { return baud == 0 ? kForever : kPicosPerSecond / baud; }
    // Start bit, data bits, parity bit, stop bits.
    unsigned FrameBits() const {
        return 1u + dataBits + (parity == Parity::None ? 0u : 1u) + stopBits;
    }
};

inline constexpr LineFormat k9600_8N1{9600, 8, Parity::None, 1};
inline constexpr LineFormat k38400_8N1{38400, 8, Parity::None, 1};

// One character as a receiver assembled it.
struct WireChar {
    std::uint8_t byte = 0;
    bool framingError = false;
    bool parityError = false;
    bool isBreak = false;  // all-zero frame, stop bit included
    Picos time = 0;        // when the receiver had it (middle of the stop bit)
};

// What one transmitter has put on the line, in time order.
class WireLine {
public:
    // Lays one character frame on the line, starting no earlier than `earliest`
    // and no earlier than the end of what is already there. Returns its end.
    // `badStop` / `badParity` lay a character whose stop bit is space or
    // whose parity is wrong (a character that a line already decoded so).
    Picos PutChar(std::uint8_t byte, const LineFormat& format, Picos earliest, bool badStop = false,
                  bool badParity = false);
    // The transmitter's clock changes at `at` to `bitTime`: the rest of a
    // character still on the line (from the current bit's remaining fraction
    // on) goes out at the new rate. Returns the end of what is on the line.
    Picos Retime(Picos at, Picos bitTime);
    // Holds the line at space (0) from `at` until BreakOff.
    void BreakOn(Picos at);
    void BreakOff(Picos at);
    bool InBreak() const { return breakOpen_; }
    // End of the last frame or break laid down (0 when idle since the start).
    Picos End() const;
    // Level of the line at time t: true = mark (1, idle), false = space.
    bool Level(Picos t) const;
    // First time >= t at which the line changes to `level`, if known.
    std::optional<Picos> NextChange(Picos t, bool level) const;
    // Forgets activity that ended before t.
    void Prune(Picos t);
    bool Empty() const { return segments_.empty(); }

private:
    struct Segment {
        Picos start = 0;
        Picos end = 0;      // kForever for an open break
        Picos bitTime = 0;  // 0 for a break
        std::uint16_t bits = 0;  // LSB first: start bit, data, parity, stop bits
        std::uint8_t nbits = 0;
        Picos phase = 0;    // part of bit 0 already sent before `start` (a retimed rest)
    };
    static bool SegLevel(const Segment& s, Picos t);
    std::deque<Segment> segments_;
    bool breakOpen_ = false;
    Picos lastEnd_ = 0;
};

// A UART receiver's sampling of a WireLine.
class LineDecoder {
public:
    // Assembles every character whose stop bit lies at or before `now`.
    void Decode(const WireLine& line, const LineFormat& format, Picos now, std::vector<WireChar>& out);
    // Earliest time at which Decode could produce the next character, if known.
    std::optional<Picos> NextCompletion(const WireLine& line, const LineFormat& format) const;
    // Where the receiver hunts from; activity before this is no longer needed.
    Picos SearchFrom() const { return searchFrom_; }
    void Reset(Picos at) { searchFrom_ = at; }

private:
    std::optional<Picos> FindStart(const WireLine& line, Picos from) const;
    Picos searchFrom_ = 0;
};

}  // namespace sim
