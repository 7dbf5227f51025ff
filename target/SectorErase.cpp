#include "SectorErase.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <span>
#include <system_error>

#include "BoardMemory.h"
#include "CommPort.h"
#include "FastOptions.h"
#include "FlashMemT.h"
#include "SxFile.h"
#include "Target.h"

namespace {

constexpr std::size_t kSerialSize = kFlashEnd - kSerialNumberStart;
constexpr std::size_t kTopSector = kFlashSectors.size() - 1;

std::string g_rescueFile;

// The kept area on the host's disk while the top sector is blank: if the
// link or this process dies before it is programmed back, the serial number
// is not lost with it. "" when the file could not be written.
std::string WriteRescueFile(std::span<const std::uint8_t> kept) {
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec);
    if (ec) return {};
    const std::string path = (dir / ("zelmo-serial-number-" + std::to_string(::getpid()) + ".s37")).string();
    SXFILE_T f(path.c_str(), kModeOut | kModeTrunc);
    for (std::size_t at = 0; at < kept.size(); at += 16) {
        if (f.WriteRecord(kSerialNumberStart + static_cast<std::uint32_t>(at), 16, kept.data() + at, '3') != 0)
            return {};
    }
    if (f.WriteRecord(0, 0, nullptr, '7') != 0) return {};
    return path;
}

bool Blank(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// Programs the kept area back into the erased top sector. Blank frames are
// left out: the erased flash already reads 0xFF there, which is all the
// daemon's word-by-word program of them leaves too.
bool RestoreSerialArea(std::span<const std::uint8_t> kept) {
    for (std::size_t at = 0; at < kept.size(); at += kFullFramePayload) {
        const auto part = kept.subspan(at, std::min(kFullFramePayload, kept.size() - at));
        if (Blank(part)) continue;
        if (TargetLink->ProgramFlash(kSerialNumberStart + static_cast<std::uint32_t>(at), part, 8,
                                     kFullFramePayload) != 0)
            return false;
    }
    std::array<std::uint8_t, kSerialSize> check{};
    return TargetLink->ReadMemory(kSerialNumberStart, check) == 0 && std::ranges::equal(check, kept);
}

}  // namespace

std::uint32_t TouchedSectors(const std::string& text) {
    SXFILE_T file(text);
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    std::uint32_t mask = 0;
    while (file.ReadRecord(address, length, data.data()) == 0) {
        if (length == 0) continue;
        const int first = FlashSectorIndex(address);
        const int last = FlashSectorIndex(address + length - 1u);
        if (first < 0 || last < 0) continue;
        for (int i = first; i <= last; ++i) mask |= 1u << i;
    }
    return mask;
}

const std::string& SerialNumberRescueFile() { return g_rescueFile; }

int EraseTouchedSectors(const std::string& text) {
    g_rescueFile.clear();
    if (!daemonRunning) return -100;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetFlash || !TargetLink) return -100;
    const std::uint32_t mask = TouchedSectors(text);
    for (std::size_t i = 0; i < kFlashSectors.size(); ++i) {
        if ((mask & (1u << i)) == 0) continue;
        CommPurgeInput();
        if (i != kTopSector) {
            if (TargetFlash->EraseSector(kFlashSectors[i].start) != FlashMemT::kStatusAck) return -104;
            continue;
        }
        // The chip erase saves the area only when a word of it is not blank,
        // and programs it back even when the erase failed, so that it is not
        // lost: the same here, with the copy held by the host.
        // Read twice: a reply's 8-bit sum misses some double errors, and a
        // damaged copy would be programmed back as the serial number.
        std::array<std::uint8_t, kSerialSize> kept{}, again{};
        if (TargetLink->ReadMemory(kSerialNumberStart, kept) != 0 ||
            TargetLink->ReadMemory(kSerialNumberStart, again) != 0 || kept != again)
            return -104;
        const bool keep = !Blank(kept);
        std::string rescue;
        if (keep && (rescue = WriteRescueFile(kept)).empty()) return -104;
        g_rescueFile = rescue;
        CommPurgeInput();
        const bool erased = TargetFlash->EraseSector(kFlashSectors[i].start) == FlashMemT::kStatusAck;
        if (keep && !RestoreSerialArea(kept)) return -104;
        if (keep) {
            std::error_code ec;
            std::filesystem::remove(rescue, ec);
            g_rescueFile.clear();
        }
        if (!erased) return -104;
    }
    return 0;
}
