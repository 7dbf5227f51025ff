#pragma once
// Frames and exchanges for driving the simulated board from tests.
#include <cstdint>
#include <vector>

#include "Board.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
inline constexpr std::uint8_t kAck = 0x06;

inline Bytes Frame(std::uint8_t cmd, const Bytes& data) {
    Bytes f{0x02, 0x00, cmd, static_cast<std::uint8_t>(data.size())};
    unsigned sum = cmd + static_cast<unsigned>(data.size());
    for (std::uint8_t b : data) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>(sum));
    f.push_back(0x03);
    return f;
}

inline Bytes Address(std::uint32_t a) {
    return {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
            static_cast<std::uint8_t>(a)};
}

inline Bytes WithAddress(std::uint32_t address, const Bytes& bytes) {
    Bytes d = Address(address);
    d.resize(4 + bytes.size());
    std::copy(bytes.begin(), bytes.end(), d.begin() + 4);
    return d;
}

inline Bytes Store(std::uint32_t address, const Bytes& bytes) { return Frame(0x81, WithAddress(address, bytes)); }
inline Bytes RunAt(std::uint32_t address) { return Frame(0x82, Address(address)); }

// The register-write routine: value, movea.l #reg,a0, movea.l #scratch,a1, move.w (a1),(a0), rts.
inline Bytes Routine(std::uint32_t reg, std::uint16_t value, std::uint32_t scratch = 0x810) {
    Bytes r{static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value), 0x20, 0x7C};
    for (std::uint8_t b : Address(reg)) r.push_back(b);
    r.push_back(0x22);
    r.push_back(0x7C);
    for (std::uint8_t b : Address(scratch)) r.push_back(b);
    r.insert(r.end(), {0x30, 0x91, 0x4E, 0x75});
    return r;
}

// Sends bytes at `format` and runs the board (on the calling thread) until
// `expect` characters came back or `limit` of board time passed. With expect
// 0 it runs the whole limit. Returns what came back.
inline Bytes Exchange(sim::Board& b, const Bytes& send, std::size_t expect,
                      sim::Picos limit = 2000 * sim::kPicosPerMilli, const sim::LineFormat& format = sim::k9600_8N1) {
    b.HostSend(send, format);
    Bytes got;
    b.RunUntil(
        [&] {
            for (const auto& c : b.TakeHostReceived()) got.push_back(c.byte);
            return got.size() >= expect && expect != 0;
        },
        limit);
    return got;
}

}  // namespace simtest
