#include "RomUpload.h"

#include <algorithm>
#include <array>

#include "BlockGather.h"
#include "SxFile.h"
#include "TargetState.h"

int FlushBlock(std::uint32_t address, std::span<const std::uint8_t> bytes, int mode) {
    if (bytes.empty()) return link_result::kOk;
    if (!TargetLink) return link_result::kUnanswered;
    return mode == 0 ? TargetLink->ProgramFlash(address, bytes, 8) : TargetLink->WriteMemory(address, bytes, 8);
}

namespace {

// Gathers consecutive records into blocks of a little over kBlockGather
// bytes and hands each to flush (which writes it, or notes it for a plan).
// A block's records follow each other in the file, so its data is one run
// of the image's bytes. counter counts the records; progress, when given, is
// told as the upload has always told it.
template <typename Flush>
int GatherBlocks(const RomImageT& image, Flush flush, int& counter, ProgressT* progress) {
    const std::span<const std::uint8_t> bytes(image.bytes);
    bool open = false;
    std::uint32_t blockAddress = 0;
    std::size_t from = 0;
    std::size_t pending = 0;
    for (const RomRecordT& r : image.records) {
        ++counter;
        bool opened = false;
        if (!open) {
            open = true;
            opened = true;
            blockAddress = r.address;
            from = r.offset;
            pending = 0;
        } else if (r.address != blockAddress + pending) {
            if (flush(blockAddress, bytes.subspan(from, pending)) != 0) return upload_result::kBlockRefused;
            blockAddress = r.address;
            from = r.offset;
            pending = 0;
            if (progress != nullptr) progress->ToggleUploadLamp();
        }
        pending += r.length;
        if (pending > kBlockGather) {
            if (flush(blockAddress, bytes.subspan(from, pending)) != 0) return upload_result::kBlockRefused;
            if (progress != nullptr) progress->ToggleUploadLamp();
            open = false;
        } else if (progress != nullptr && !opened && (counter + 1) % 100 == 0) {
            progress->SetProgress(counter);
        }
    }
    if (open && flush(blockAddress, bytes.subspan(from, pending)) != 0) return upload_result::kBlockRefused;
    // A rejected record must not pass for the end of the data: the rest of
    // the file would silently stay unwritten.
    if (image.rejected) return upload_result::kBlockRefused;
    if (progress != nullptr) {
        progress->FillProgress();
        progress->EnableRestart();
    }
    return upload_result::kDone;
}

// Fills every frame to LINK_FULL_FRAME_PAYLOAD bytes, across records as long
// as the addresses run on, and hands each frame's bytes to flush. Progress
// as GatherBlocks tells it.
template <typename Flush>
int GatherFullFrames(const RomImageT& image, Flush flush, ProgressT& progress) {
    constexpr std::size_t kFull = LINK_FULL_FRAME_PAYLOAD;
    const std::span<const std::uint8_t> bytes(image.bytes);
    std::uint32_t blockAddress = 0;
    std::size_t from = 0;
    std::size_t pending = 0;
    for (const RomRecordT& r : image.records) {
        ++recordCounter;
        if (pending > 0 && r.address != blockAddress + pending) {
            if (flush(blockAddress, bytes.subspan(from, pending)) != 0) return upload_result::kBlockRefused;
            pending = 0;
            progress.ToggleUploadLamp();
        }
        if (pending == 0) {
            blockAddress = r.address;
            from = r.offset;
        }
        pending += r.length;
        while (pending >= kFull) {
            if (flush(blockAddress, bytes.subspan(from, kFull)) != 0) return upload_result::kBlockRefused;
            from += kFull;
            pending -= kFull;
            blockAddress += static_cast<std::uint32_t>(kFull);
            progress.ToggleUploadLamp();
        }
        if ((recordCounter + 1) % 100 == 0) progress.SetProgress(recordCounter);
    }
    if (pending > 0 && flush(blockAddress, bytes.subspan(from, pending)) != 0) return upload_result::kBlockRefused;
    if (image.rejected) return upload_result::kBlockRefused;
    progress.FillProgress();
    progress.EnableRestart();
    return upload_result::kDone;
}

// Programs bytes into just-erased flash. A blank block is left as the erase
// left it, except in the serial-number area: the erase may have kept data
// there, and the file's 0xFF must then meet it as it does without skipping.
int ProgramErased(std::uint32_t address, std::span<const std::uint8_t> bytes, const FastOptionsT& fast) {
    if (bytes.empty()) return link_result::kOk;
    if (!TargetLink) return link_result::kUnanswered;
    const bool blank = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
    if (fast.skipBlank && blank && address + bytes.size() <= kSerialNumberStart) return link_result::kOk;
    return TargetLink->ProgramFlash(address, bytes, 8, fast.fullFrames ? LINK_FULL_FRAME_PAYLOAD : LINK_WRITE_CHUNK);
}

}  // namespace

int UploadRomFile(const char* path, int mode, ProgressT& progress) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return upload_result::kNoDaemon;
    return UploadRomImage(ReadRomImage(path), mode, progress);
}

int LoadRomFile(const char* path, ProgressT& progress) { return UploadRomFile(path, 0, progress); }

int UploadRomImage(const RomImageT& image, int mode, ProgressT& progress) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return upload_result::kNoDaemon;
    if (image.result == kRomUnreadable) return upload_result::kUnreadable;
    recordCounter = 0;
    return GatherBlocks(
        image, [mode](std::uint32_t address, std::span<const std::uint8_t> bytes) { return FlushBlock(address, bytes, mode); },
        recordCounter, &progress);
}

int UploadRomImageFast(const RomImageT& image, const FastOptionsT& fast, ProgressT& progress) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return upload_result::kNoDaemon;
    if (image.result == kRomUnreadable) return upload_result::kUnreadable;
    if (!TargetLink) return upload_result::kBlockRefused;
    // Program frames only: the daemon answers one after programming it, so
    // the next can follow at once. Elsewhere (the ping's tail, code that
    // 0x82 runs) the daemon may still be busy, and the pause stays.
    struct PauseT {
        explicit PauseT(bool on) { TargetLink->SetIdlePause(on); }
        ~PauseT() { TargetLink->SetIdlePause(true); }
    } pause(!fast.noPause);
    recordCounter = 0;
    const auto program = [&fast](std::uint32_t address, std::span<const std::uint8_t> bytes) {
        return ProgramErased(address, bytes, fast);
    };
    if (fast.fullFrames) return GatherFullFrames(image, program, progress);
    return GatherBlocks(image, program, recordCounter, &progress);
}

UploadPlanT PlanUpload(const RomImageT& image) {
    UploadPlanT plan;
    int records = 0;
    plan.result = GatherBlocks(
        image,
        [&plan](std::uint32_t address, std::span<const std::uint8_t> bytes) {
            if (bytes.empty()) return 0;
            plan.blocks.push_back({address, bytes.size()});
            plan.frames += (bytes.size() + LINK_WRITE_CHUNK - 1) / LINK_WRITE_CHUNK;
            return 0;
        },
        records, nullptr);
    return plan;
}

int CountLines(const char* path) {
    if (path == nullptr || path[0] == '\0') return 0;
    SXFILE_T file(path, kModeIn | kModeNoCreate);
    if (file.Fail() != 0) return 0;
    std::array<char, XREC_T::kLineArea> line{};
    int count = 0;
    while (file.ReadLine(line.data()) == 0) ++count;
    return count;
}

bool RestartReceiver(std::uint32_t address) {
    LinkUseT use;
    if (!use.Held() || !TargetLink) return false;
    TargetLink->RunAt(address);
    return true;
}
