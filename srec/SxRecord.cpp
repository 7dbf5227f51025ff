#include "SxRecord.h"

#include "HexConv.h"
#include "SxFile.h"

unsigned SxAddressBytes(char type) {
    switch (type) {
        case '0': case '1': case '9': return 2;
        case '2': case '8': return 3;
        case '3': case '7': return 4;
        default: return 0;
    }
}

std::size_t DecodeSxRecord(std::string_view text, SxRecordT& record) {
    if (text.size() < 4 || text[0] != 'S' || text[1] < '0' || text[1] > '9') return 0;
    if (!IsHexDigit(text[2]) || !IsHexDigit(text[3])) return 0;
    const char type = text[1];
    const unsigned width = SxAddressBytes(type);
    std::uint8_t count = 0;
    HexToByte(text.data() + 2, 1, count);
    // Count covers address, data and checksum; the text must hold all of them.
    const std::size_t size = 4 + 2u * count;
    if (count < width + 1 || text.size() < size) return 0;

    // Every character of the record must be a hex digit: a stray character
    // would otherwise decode as 0 and could slip through the checksum.
    std::array<std::uint8_t, 255> bytes{};
    unsigned sum = count;
    for (unsigned i = 0; i < count; ++i) {
        const char* p = text.data() + 4 + 2 * i;
        if (!IsHexDigit(p[0]) || !IsHexDigit(p[1])) return 0;
        HexToByte(p, 1, bytes[i]);
        if (i + 1 < count) sum += bytes[i];
    }
    if (static_cast<std::uint8_t>(~sum) != bytes[count - 1u]) return 0;

    std::uint32_t a = 0;
    for (unsigned i = 0; i < width; ++i) a = (a << 8) | bytes[i];
    record.type = type;
    record.address = a;
    record.length = static_cast<std::uint8_t>(count - 1u - width);
    for (unsigned i = 0; i < record.length; ++i) record.data[i] = bytes[width + i];
    return size;
}

unsigned long SxLineCount(std::string_view text) {
    constexpr std::size_t kMost = XREC_T::kLineArea - 1;
    unsigned long lines = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::size_t length = end == std::string_view::npos ? text.size() : end;
        lines += length == 0 ? 1 : (length + kMost - 1) / kMost;
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}
