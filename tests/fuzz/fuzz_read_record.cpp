// Feeds arbitrary bytes to the S-record reader, as a user's file would.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SxFile.h"
#include "SxRecord.h"

namespace {
struct TempFile {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("zelmo-fuzz-" + std::to_string(::getpid()) + ".srec");
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};
TempFile& Temp() {
    static TempFile t;
    return t;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const auto& path = Temp().path;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    }
    {
        SXFILE_T file(path.c_str(), kModeIn | kModeNoCreate);
        if (file.Fail()) std::abort();
        std::uint32_t address = 0;
        std::uint8_t length = 0xEE;
        std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
        int records = 0;
        while (file.ReadRecord(address, length, data.data()) == 0) {
            // A record cannot be longer than its one-byte count allows.
            if (length > XREC_T::kMaxRecordData) std::abort();
            // Every record consumes at least one input line, so the loop ends.
            if (static_cast<std::size_t>(++records) > size) std::abort();
        }
        if (file.LastStatus() == SXFILE_T::Status::Ok) std::abort();
    }
    {
        SXFILE_T file(path.c_str(), kModeIn | kModeNoCreate);
        std::array<char, XREC_T::kLineArea> text{};
        std::size_t lines = 0;
        while (file.ReadLine(text.data()) == 0) {
            if (++lines > size + 1) std::abort();
        }
        // A text already in memory is counted as ReadLine reads it.
        if (SxLineCount(std::string_view(reinterpret_cast<const char*>(bytes), size)) != lines) std::abort();
    }
    return 0;
}
