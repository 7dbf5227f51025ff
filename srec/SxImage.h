#pragma once
// A run of memory as an S-record file: S0 header, S3 data records of 16
// bytes, S5 count and S7 end, as srec_cat and the ROM reader both accept.
#include <cstdint>
#include <span>
#include <string_view>

#include "SxFile.h"

inline constexpr std::size_t kImageRecordBytes = 16;

// Writes the records to out; 0, or -1 when the stream refused or failed.
int WriteImageRecords(XREC_T& out, std::uint32_t address, std::span<const std::uint8_t> bytes,
                      std::string_view header);
