#pragma once
// The daemon as the loader carries it.
#include <cstdint>

// S-records back to back with no separators, NUL-terminated: S0 "HDR", the
// S3 records of the code from daemonLoadAddress upward (15 data bytes each,
// ascending, without gaps), S5 with the number of S3 records, S7 with 0.
extern const char daemonImage[];

// "$$ <module>  _<symbol> $<address>  ...  $$", NUL-terminated. Carried for
// reference; the loader does not read it.
extern const char daemonSymbolMap[];

// First byte of the image: the daemon's entry point.
inline constexpr std::uint32_t daemonLoadAddress = 0x490000;
// Most S3 records the loader's progress range covers.
inline constexpr unsigned daemonMaxRecords = 159;
