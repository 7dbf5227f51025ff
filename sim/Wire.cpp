#include "Wire.h"

#include <algorithm>

namespace sim {

Picos WireLine::End() const { return lastEnd_; }

Picos WireLine::PutChar(std::uint8_t byte, const LineFormat& format, Picos earliest, bool badStop,
                        bool badParity) {
    Segment s;
    s.bitTime = format.BitTime();
    s.start = std::max(earliest, End());
    if (breakOpen_ || s.bitTime == kForever) return s.start;  // no clock, or the line is held at space
    // A transmitter leaving a break idles at mark for a bit before its next start bit.
    if (!segments_.empty() && segments_.back().bitTime == 0) {
        s.start = std::max(s.start, segments_.back().end + s.bitTime);
    }
    unsigned bits = 0;  // start bit 0 at position 0
    unsigned pos = 1;
    const unsigned data = byte & ((1u << format.dataBits) - 1u);
    bits |= data << pos;
    pos += format.dataBits;
    if (format.parity != Parity::None) {
        const unsigned ones = static_cast<unsigned>(__builtin_popcount(data));
        unsigned p = 0;
        switch (format.parity) {
            case Parity::Even: p = ones & 1u; break;
            case Parity::Odd: p = (ones & 1u) ^ 1u; break;
            case Parity::Mark: p = 1; break;
            default: p = 0; break;
        }
        if (badParity) p ^= 1u;
        bits |= p << pos;
        ++pos;
    }
    for (unsigned i = 0; i < format.stopBits; ++i) {
        if (!(badStop && i == 0)) bits |= 1u << pos;
        ++pos;
    }
    s.bits = static_cast<std::uint16_t>(bits);
    s.nbits = static_cast<std::uint8_t>(pos);
    s.end = s.start + s.bitTime * pos;
    segments_.push_back(s);
    lastEnd_ = s.end;
    return s.end;
}

Picos WireLine::Retime(Picos at, Picos bitTime) {
    if (segments_.empty() || bitTime == kForever) return End();
    Segment& s = segments_.back();
    if (s.bitTime == 0 || s.bitTime == bitTime || at < s.start || at >= s.end) return End();
    const Picos into = at - s.start + s.phase;
    const Picos bit = into / s.bitTime;
    Segment rest;
    rest.start = at;
    rest.bitTime = bitTime;
    rest.bits = static_cast<std::uint16_t>(s.bits >> bit);
    rest.nbits = static_cast<std::uint8_t>(s.nbits - bit);
    // The bit under way keeps the fraction it has already spent.
    const Picos done = into - bit * s.bitTime;
    rest.phase = static_cast<Picos>(static_cast<long double>(done) * bitTime / s.bitTime);
    rest.end = rest.start + rest.nbits * bitTime - rest.phase;
    s.end = at;
    segments_.push_back(rest);
    lastEnd_ = rest.end;
    return rest.end;
}

void WireLine::BreakOn(Picos at) {
    if (breakOpen_) return;
    Segment s;
    s.start = std::max(at, End());
    s.end = kForever;
    segments_.push_back(s);
    breakOpen_ = true;
    lastEnd_ = kForever;
}

void WireLine::BreakOff(Picos at) {
    if (!breakOpen_) return;
    Segment& s = segments_.back();
    s.end = std::max(at, s.start);
    breakOpen_ = false;
    lastEnd_ = s.end;
}

bool WireLine::SegLevel(const Segment& s, Picos t) {
    if (s.bitTime == 0) return false;  // break
    const Picos idx = (t - s.start + s.phase) / s.bitTime;
    if (idx >= s.nbits) return true;
    return ((s.bits >> idx) & 1u) != 0;
}

bool WireLine::Level(Picos t) const {
    for (const Segment& s : segments_) {
        if (t < s.start) return true;
        if (t < s.end) return SegLevel(s, t);
    }
    return true;
}

std::optional<Picos> WireLine::NextChange(Picos t, bool level) const {
    Picos cur = t;
    for (const Segment& s : segments_) {
        if (s.end <= cur) continue;
        if (s.start > cur) {
            if (level) return cur;  // idle gap before this segment
            cur = s.start;
        }
        if (s.bitTime == 0) {
            if (!level) return cur;
            if (s.end == kForever) return std::nullopt;
            cur = s.end;
            continue;
        }
        for (Picos i = (cur - s.start + s.phase) / s.bitTime; i < s.nbits; ++i) {
            const bool bit = ((s.bits >> i) & 1u) != 0;
            if (bit == level) return std::max(cur, s.start + i * s.bitTime - std::min(s.phase, i * s.bitTime));
        }
        cur = s.end;
    }
    if (level) return cur;  // idle after the last segment
    return std::nullopt;
}

void WireLine::Prune(Picos t) {
    while (!segments_.empty() && segments_.front().end != kForever && segments_.front().end < t) {
        segments_.pop_front();
    }
}

std::optional<Picos> LineDecoder::FindStart(const WireLine& line, Picos from) const {
    Picos t = from;
    // The level just before `from` decides whether a space at `from` is an edge.
    const bool markBefore = from == 0 || line.Level(from - 1);
    if (!markBefore || !line.Level(t)) {
        if (markBefore) return t;
        // A receiver needs mark before it can see a start bit.
        const auto mark = line.NextChange(t, true);
        if (!mark) return std::nullopt;
        t = *mark;
    }
    return line.NextChange(t, false);
}

void LineDecoder::Decode(const WireLine& line, const LineFormat& format, Picos now,
                         std::vector<WireChar>& out) {
    const Picos tr = format.BitTime();
    if (tr == kForever) return;
    const unsigned parityBits = format.parity == Parity::None ? 0u : 1u;
    const unsigned stopIdx = 1u + format.dataBits + parityBits;
    for (;;) {
        const auto start = FindStart(line, searchFrom_);
        if (!start) return;
        const Picos e = *start;
        const Picos mid = e + tr / 2;
        if (mid > now) return;
        if (line.Level(mid)) {  // a glitch, not a start bit
            searchFrom_ = mid;
            continue;
        }
        const Picos completion = e + tr * stopIdx + tr / 2;
        if (completion > now) return;
        unsigned data = 0;
        for (unsigned i = 0; i < format.dataBits; ++i) {
            if (line.Level(e + tr * (1u + i) + tr / 2)) data |= 1u << i;
        }
        bool parityOk = true;
        bool parityBit = false;
        if (parityBits != 0) {
            parityBit = line.Level(e + tr * (1u + format.dataBits) + tr / 2);
            const bool odd = (__builtin_popcount(data) & 1) != 0;
            switch (format.parity) {
                case Parity::Even: parityOk = parityBit == odd; break;
                case Parity::Odd: parityOk = parityBit != odd; break;
                case Parity::Mark: parityOk = parityBit; break;
                default: parityOk = !parityBit; break;
            }
        }
        const bool stop = line.Level(completion);
        WireChar c;
        c.byte = static_cast<std::uint8_t>(data);
        c.time = completion;
        c.isBreak = !stop && data == 0 && !parityBit;
        c.framingError = !stop;
        c.parityError = !parityOk && !c.isBreak;
        out.push_back(c);
        searchFrom_ = completion;
    }
}

std::optional<Picos> LineDecoder::NextCompletion(const WireLine& line, const LineFormat& format) const {
    const Picos tr = format.BitTime();
    if (tr == kForever) return std::nullopt;
    const auto start = FindStart(line, searchFrom_);
    if (!start) return std::nullopt;
    const unsigned stopIdx = 1u + format.dataBits + (format.parity == Parity::None ? 0u : 1u);
    return *start + tr * stopIdx + tr / 2;
}

}  // namespace sim
