#pragma once
// Fixed-width hex text to numbers, as used by the S-record files.
#include <cstdint>

// Reads exactly 2*n characters (n <= 1); a non-hex character yields 0.
void HexToByte(const char* text, std::uint8_t n, std::uint8_t& value);
// Reads exactly 2*n characters (n <= 4); a non-hex character yields 0.
void HexToLong(const char* text, std::uint8_t n, std::uint32_t& value);

// True for '0'-'9', 'A'-'F', 'a'-'f' (the C locale's isxdigit, without its
// undefined behaviour on negative chars).
bool IsHexDigit(char c);
// Value of a hex digit; callers check IsHexDigit first.
std::uint8_t HexDigitValue(char c);

// Upper-case hex digits, the only case this program writes.
inline constexpr char kHexDigits[] = "0123456789ABCDEF";
