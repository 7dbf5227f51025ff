#pragma once
// One S-record decoded from its text: the only place that reads a record's
// characters. The line reader (SXFILE_T) and the reader of records written
// back to back (the daemon image) both go through it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct SxRecordT {
    char type = 0;              // '0' to '9'
    std::uint32_t address = 0;  // for the types with an address field
    std::uint8_t length = 0;    // data bytes
    std::array<std::uint8_t, 252> data{};  // S1 with count 255 holds the most
};

// Address bytes of a record type: 2 for S0, S1, S9; 3 for S2, S8; 4 for S3,
// S7; 0 for S4, S5, S6, whose field is not read as an address.
unsigned SxAddressBytes(char type);

// Decodes the record at the start of text: "S", a type digit, the count,
// then count bytes (address, data, checksum) as two hex digits each, either
// case. The characters that follow are not looked at. Returns how many
// characters the record takes (4 + 2 * count), or 0 when it is malformed: no
// "S" and digit, a count too small for the address and checksum, text
// shorter than the count, a character that is not a hex digit, or a
// checksum that does not match.
std::size_t DecodeSxRecord(std::string_view text, SxRecordT& record);

// Lines of text as ReadLine delivers them: each line feed ends one, text
// after the last line feed is one more, and a line over 255 characters
// counts once for every 255 (or part of them).
unsigned long SxLineCount(std::string_view text);
