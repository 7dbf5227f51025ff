#include "SxImage.h"

#include <algorithm>
#include <vector>

int WriteImageRecords(XREC_T& out, std::uint32_t address, std::span<const std::uint8_t> bytes,
                      std::string_view header) {
    // The header's text is cut to what one record holds.
    const std::vector<std::uint8_t> text(header.begin(), header.begin() + std::min<std::size_t>(header.size(), 64));
    if (out.WriteRecord(0, static_cast<std::uint8_t>(text.size()), text.data(), '0') != 0) return -1;
    for (std::size_t at = 0; at < bytes.size(); at += kImageRecordBytes) {
        const std::size_t n = std::min(kImageRecordBytes, bytes.size() - at);
        if (out.WriteRecord(address + static_cast<std::uint32_t>(at), static_cast<std::uint8_t>(n), bytes.data() + at,
                            '3') != 0)
            return -1;
    }
    if (out.WriteRecord(address, 0, nullptr, '7') != 0) return -1;
    return out.Fail() != 0 ? -1 : 0;
}
