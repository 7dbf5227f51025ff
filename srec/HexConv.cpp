#include "HexConv.h"

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    return static_cast<std::uint8_t>(c - 'a' + 10);
}

namespace {
template <typename T>
void HexToValue(const char* text, std::uint8_t n, T& value) {
    value = 0;
    if (n > sizeof(T)) return;  // too wide for the destination: nothing is read
    for (unsigned i = 0; i < 2u * n; ++i) {
        const char c = text[i];
        if (!IsHexDigit(c)) {
            value = 0;
            return;
        }
        value = static_cast<T>((value << 4) | HexDigitValue(c));
    }
}
}  // namespace

void HexToByte(const char* text, std::uint8_t n, std::uint8_t& value) { HexToValue(text, n, value); }
void HexToLong(const char* text, std::uint8_t n, std::uint32_t& value) { HexToValue(text, n, value); }
