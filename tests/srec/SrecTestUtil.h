#pragma once
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SxFile.h"

// A scratch folder removed with the fixture.
class ScratchDir {
public:
    ScratchDir() {
        static int serial = 0;
        dir_ = std::filesystem::temp_directory_path() /
               ("zelmo-test-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::create_directories(dir_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string Write(const std::string& name, const std::string& bytes) const {
        const auto p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Record {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
    bool operator==(const Record&) const = default;
};

// Reads every data record until ReadRecord refuses.
inline std::vector<Record> ReadAllRecords(SXFILE_T& file) {
    std::vector<Record> out;
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    while (file.ReadRecord(address, length, data.data()) == 0) {
        out.push_back({address, {data.begin(), data.begin() + length}});
    }
    return out;
}
