#pragma once
// Turns the daemon's linked code into the S-record text and the symbol map
// that the loader carries.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "SxFile.h"

// One stretch of linked code at its load address.
struct ImageSection {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

struct MapSymbol {
    std::string name;
    std::uint32_t address = 0;
};

struct MapModule {
    std::string name;
    std::vector<MapSymbol> symbols;
};

// Data bytes per S3 record (count field 0x14).
inline constexpr std::size_t kImageRecordData = 15;

// Writes the image through `out`, one record per call: S0 "HDR", the S3
// records of each section (15 bytes each, a shorter one ending the section),
// the S5 count of S3 records with a 16-bit field, and S7 with address 0.
// Sections must be in ascending order and follow one another without a gap.
// Result: the number of S3 records, or -1 when the sections are empty, out of
// order, leave a gap, hold more S3 records than the 16-bit count can say, or
// the writer fails.
int WriteImageRecords(XREC_T& out, std::span<const ImageSection> sections);

// One record as the writer lays it out, with its line feed. The writer puts
// S5 in a 32-bit field and writes its own S5 before an S7, so these two
// records of the image's form are laid out here.
std::string CountRecordLine(std::uint16_t count);
std::string StartRecordLine(std::uint32_t address);

// The symbol map: "$$ <module>" then "  _<name> $<8 hex digits>" per symbol,
// and a closing "  $$". Symbols are listed by ascending address.
std::string FormatSymbolMap(std::span<const MapModule> modules);

// The C++ source that embeds the image text (records back to back) and the
// map; both arrays end with the NUL of their string literal.
std::string EmbedSource(std::span<const std::string> records, const std::string& map);

// The C++ source that embeds a program as bytes: the array `name` and its
// size `name`Size (declared in `header`), from the first section's address
// on, with the symbol map as a comment. For programs the loader stores with
// plain memory writes rather than as S-records.
std::string EmbedBytesSource(const std::string& name, const std::string& header,
                             std::span<const ImageSection> sections, const std::string& map);
