#pragma once
// Speed and character format of one end of a serial line, as the port layer
// takes it: what a system port is configured with and what each end of a
// virtual line decodes with.
#include <chrono>
#include <cstdint>

struct LineFormat {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;  // 5 to 8
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two

    friend bool operator==(const LineFormat&, const LineFormat&) = default;

    // True when every field is in range and the speed is not 0.
    bool Valid() const;
    // One character on the wire in half bit times: start, data, parity, stop.
    unsigned HalfBitsPerChar() const;
    // One character on the wire at this format's speed.
    std::chrono::microseconds CharTime() const;
};
