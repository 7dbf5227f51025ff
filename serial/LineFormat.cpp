#include "LineFormat.h"

bool LineFormat::Valid() const {
    return baud > 0 && dataBits >= 5 && dataBits <= 8 && parity <= 4 && stopBits <= 2;
}

unsigned LineFormat::HalfBitsPerChar() const {
    const unsigned stopHalves = stopBits == 0 ? 2U : stopBits == 1 ? 3U : 4U;
    return 2U * (1U + dataBits + (parity != 0 ? 1U : 0U)) + stopHalves;
}

std::chrono::microseconds LineFormat::CharTime() const {
    if (baud == 0) return std::chrono::microseconds(0);
    const std::uint64_t halves = HalfBitsPerChar();
    const std::uint64_t twiceBaud = 2ULL * baud;
    return std::chrono::microseconds((halves * 1'000'000ULL + twiceBaud - 1) / twiceBaud);
}
