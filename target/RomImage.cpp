#include "RomImage.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "FlashMap.h"
#include "SxFile.h"
#include "SxRecord.h"

namespace {

// Bits of the sectors that [address, address + length) touches; 0 when it
// is empty or leaves the flash.
std::uint32_t SectorBits(std::uint32_t address, std::uint8_t length) {
    if (length == 0) return 0;
    const int first = FlashSectorIndex(address);
    const int last = FlashSectorIndex(address + length - 1u);
    if (first < 0 || last < 0) return 0;
    std::uint32_t bits = 0;
    for (int i = first; i <= last; ++i) bits |= 1u << i;
    return bits;
}

}  // namespace

RomImageT ParseRomImage(std::string text) {
    RomImageT image;
    image.result = 0;
    image.lines = SxLineCount(text);
    SXFILE_T file(text);
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    std::uint32_t lowest = UINT32_MAX;
    std::uint32_t highest = 0;
    while (file.ReadRecord(address, length, data.data()) == 0) {
        image.records.push_back({address, static_cast<std::uint32_t>(image.bytes.size()), length});
        image.bytes.insert(image.bytes.end(), data.begin(), data.begin() + length);
        const std::uint64_t end = std::uint64_t{address} + length;
        if (address < kFlashBase || end > kFlashEnd) {
            if (image.result == 0) {
                image.result = kRomOutOfFlash;
                image.line = file.LineNumber();
            }
            continue;
        }
        lowest = std::min(lowest, address);
        highest = std::max(highest, static_cast<std::uint32_t>(end));
        image.sectors |= SectorBits(address, length);
    }
    const auto status = file.LastStatus();
    image.rejected = status == SXFILE_T::Status::BadRecord || status == SXFILE_T::Status::StreamFailed;
    if (image.result == 0 && image.rejected) {
        image.result = kRomBadRecord;
        image.line = file.LineNumber();
    } else if (image.result == 0 && image.records.empty()) {
        image.result = kRomEmpty;
    }
    if (lowest <= highest) {
        image.lowest = lowest;
        image.highest = highest;
    }
    image.text = std::move(text);
    return image;
}

RomImageT ReadRomImage(const char* path) {
    RomImageT image;
    if (path == nullptr || path[0] == '\0') {
        image.reason = "no file named";
        return image;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto type = fs::status(path, ec).type();
    if (ec) {
        image.reason = ec.message();
        return image;
    }
    if (type == fs::file_type::directory) {
        image.reason = std::strerror(EISDIR);
        return image;
    }
    if (type != fs::file_type::regular && type != fs::file_type::fifo) {
        image.reason = "not a regular file or a pipe";
        return image;
    }
    std::string text;
    try {
        errno = 0;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            image.reason = errno != 0 ? std::strerror(errno) : "cannot be opened";
            return image;
        }
        std::array<char, 65536> chunk{};
        while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
            text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
            if (text.size() > kRomFileMax) {
                image.reason = "larger than any ROM file for this flash";
                return image;
            }
        }
        if (in.bad()) {
            image.reason = "read error";
            return image;
        }
    } catch (...) {
        image.reason = "read error";
        return image;
    }
    return ParseRomImage(std::move(text));
}

std::string RomCheckText(const RomImageT& image) {
    char text[160];
    switch (image.result) {
        case 0:
            std::snprintf(text, sizeof text, "%zu records, %zu bytes, 0x%06X to 0x%06X", image.records.size(),
                          image.bytes.size(), static_cast<unsigned>(image.lowest),
                          static_cast<unsigned>(image.highest - 1));
            break;
        case kRomUnreadable:
            std::snprintf(text, sizeof text, "the file cannot be read%s%s", image.reason.empty() ? "" : ": ",
                          image.reason.c_str());
            break;
        case kRomBadRecord: std::snprintf(text, sizeof text, "line %lu is not a valid data record", image.line); break;
        case kRomOutOfFlash:
            std::snprintf(text, sizeof text, "line %lu holds data outside the flash (0x%06X to 0x%06X)", image.line,
                          static_cast<unsigned>(kFlashBase), static_cast<unsigned>(kFlashEnd - 1));
            break;
        case kRomEmpty: std::snprintf(text, sizeof text, "the file holds no data record"); break;
        default: std::snprintf(text, sizeof text, "unknown result %d", image.result); break;
    }
    return text;
}

HeldBytesT HeldBytes(const RomImageT& image) {
    HeldBytesT out;
    if (image.result == kRomUnreadable) {
        out.result = kRomUnreadable;
        return out;
    }
    out.held.assign(kFlashSize, -1);
    for (const RomRecordT& r : image.records) {
        const auto data = image.Data(r);
        for (std::uint32_t i = 0; i < r.length; ++i) {
            const std::uint32_t a = r.address + i;
            if (a < kFlashBase || a >= kFlashEnd) {
                out.result = kRomOutOfFlash;
                return out;
            }
            out.held[a - kFlashBase] = data[i];
        }
    }
    if (image.rejected) out.result = kRomBadRecord;
    return out;
}
