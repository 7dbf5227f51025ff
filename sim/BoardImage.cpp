// Flash image files (S-records) and injected flash faults.
#include "BoardImpl.h"

#include "SxFile.h"

namespace sim {

int Board::LoadFlash(const std::string& path) {
    SXFILE_T file(path.c_str(), kModeIn | kModeNoCreate);
    if (file.Fail()) return -1;
    std::vector<std::uint8_t> image;
    {
        std::lock_guard lk(impl_->m);
        const auto c = impl_->flash.Contents();
        image.assign(c.begin(), c.end());
    }
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    while (file.ReadRecord(address, length, data.data()) == 0) {
        const std::uint32_t off = address >= kFlashBase ? address - kFlashBase : address;
        if (off > kFlashSize || length > kFlashSize - off) return -1;  // not flash
        std::copy_n(data.begin(), length, image.begin() + off);
    }
    const auto st = file.LastStatus();
    if (st != SXFILE_T::Status::EndRecord && st != SXFILE_T::Status::EndOfFile) return -1;
    return WriteMemory(kFlashBase, image) ? 0 : -1;
}

int Board::SaveFlash(const std::string& path) const {
    const std::vector<std::uint8_t> image = FlashContents();
    SXFILE_T file(path.c_str(), kModeOut | kModeTrunc);
    if (file.Fail()) return -1;
    const char header[] = "zelmo-sim flash";
    file.WriteRecord(0, sizeof header - 1, reinterpret_cast<const std::uint8_t*>(header), '0');
    constexpr std::uint32_t kChunk = 32;
    for (std::uint32_t off = 0; off < kFlashSize; off += kChunk) {
        const auto first = image.begin() + off;
        if (std::all_of(first, first + kChunk, [](std::uint8_t v) { return v == 0xFF; })) continue;
        file.WriteRecord(kFlashBase + off, kChunk, image.data() + off, '3');
    }
    file.WriteRecord(0, 0, nullptr, '7');
    return file.Fail() ? -1 : 0;
}

void Board::FailFlashWord(std::uint32_t address) {
    std::lock_guard lk(impl_->m);
    impl_->flash.FailWord(address >= kFlashBase ? address - kFlashBase : address);
}

void Board::FailFlashSector(unsigned sector) {
    std::lock_guard lk(impl_->m);
    impl_->flash.FailSector(sector);
}

void Board::SetLineFaults(const LineFaults& faults) {
    std::lock_guard lk(impl_->m);
    impl_->options.lineFaults = faults;
    impl_->faultRng.seed(faults.seed);
}

void Board::ClearFlashFaults() {
    std::lock_guard lk(impl_->m);
    impl_->flash.ClearFaults();
}

}  // namespace sim
