#include "SectorErase.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <span>
#include <system_error>

#include "CommPort.h"
#include "FlashMap.h"
#include "SxFile.h"
#include "TargetState.h"

namespace {

constexpr std::size_t kSerialSize = kFlashEnd - kSerialNumberStart;
constexpr std::size_t kTopSector = kFlashSectors.size() - 1;

std::string g_rescueFile;

}  // namespace

std::string WriteSerialRescueFile(std::span<const std::uint8_t> kept) {
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

namespace {

bool Blank(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// Programs the kept area back into the erased top sector. Blank frames are
// left out: the erased flash already reads 0xFF there, which is all the
// daemon's word-by-word program of them leaves too.
bool RestoreSerialArea(std::span<const std::uint8_t> kept) {
    constexpr std::size_t kFull = LINK_FULL_FRAME_PAYLOAD;
    for (std::size_t at = 0; at < kept.size(); at += kFull) {
        const auto part = kept.subspan(at, std::min(kFull, kept.size() - at));
        if (Blank(part)) continue;
        if (TargetLink->ProgramFlash(kSerialNumberStart + static_cast<std::uint32_t>(at), part, 8, kFull) != 0)
            return false;
    }
    std::array<std::uint8_t, kSerialSize> check{};
    return TargetLink->ReadMemory(kSerialNumberStart, check) == 0 && std::ranges::equal(check, kept);
}

}  // namespace

const std::string& SerialNumberRescueFile() { return g_rescueFile; }

int EraseTouchedSectors(const RomImageT& image) {
    namespace r = erase_result;
    g_rescueFile.clear();
    if (!daemonRunning) return r::kNoDaemon;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetFlash || !TargetLink) return r::kNoDaemon;
    const std::uint32_t mask = image.sectors;
    for (std::size_t i = 0; i < kFlashSectors.size(); ++i) {
        if ((mask & (1u << i)) == 0) continue;
        CommPurgeInput();
        if (i != kTopSector) {
            if (TargetFlash->EraseSector(kFlashSectors[i].start) != erase_status::kAck) return r::kFailed;
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
            return r::kFailed;
        const bool keep = !Blank(kept);
        std::string rescue;
        if (keep && (rescue = WriteSerialRescueFile(kept)).empty()) return r::kFailed;
        g_rescueFile = rescue;
        CommPurgeInput();
        const bool erased = TargetFlash->EraseSector(kFlashSectors[i].start) == erase_status::kAck;
        if (keep && !RestoreSerialArea(kept)) return r::kFailed;
        if (keep) {
            std::error_code ec;
            std::filesystem::remove(rescue, ec);
            g_rescueFile.clear();
        }
        if (!erased) return r::kFailed;
    }
    return r::kErased;
}
