#pragma once
// Numbers as zelmo-cli reads them from its command line and writes them for
// its user.
#include <cstdint>
#include <string>

// An address or length as written on the command line: decimal, or hex
// with 0x. False when it is not a number or does not fit 32 bits.
bool ParseNumber(const std::string& text, std::uint32_t& value);

// "0x" and at least digits upper-case hex digits: board addresses take 6
// ("0x400420"), bytes 2.
std::string Hex(std::uint32_t value, int digits = 6);
