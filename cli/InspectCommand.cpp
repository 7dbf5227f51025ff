// inspect FILE: what a ROM file holds and what programming it would do,
// without a board.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <sstream>

#include "BoardMemory.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "SxFile.h"
#include "VesperilIO.h"

namespace {

std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06X", v);
    return buf;
}

}  // namespace

int InspectCommand(const Options& o, Reporter& r) {
    RomFileT rom;
    RomCheckT check;
    if (const int code = LoadRom(o.file, r, rom, check); code != exitcode::kOk) {
        json::Object fields;
        if (check.line != 0) fields.Int("line", static_cast<long long>(check.line));
        r.Result("inspect", code, "", fields.Str("reason", RomCheckText(check)));
        return code;
    }
    // Records by type, from the text's own lines.
    std::map<char, unsigned long> types;
    std::string header;
    std::istringstream lines(rom.text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 2 || line[0] != 'S') continue;
        ++types[line[1]];
        if (line[1] == '0' && header.empty() && line.size() >= 10) {
            // Count, 2 address bytes, text, checksum: the text as far as it prints.
            for (std::size_t i = 8; i + 3 < line.size(); i += 2) {
                const int c = std::stoi(line.substr(i, 2), nullptr, 16);
                header += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
            }
        }
    }
    // Address ranges, sorted and joined; records that go back in address.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    unsigned long backwards = 0;
    {
        SXFILE_T file(rom.text);
        std::uint32_t address = 0, lastEnd = 0;
        std::uint8_t length = 0;
        std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
        while (file.ReadRecord(address, length, data.data()) == 0) {
            if (!spans.empty() && address < lastEnd) ++backwards;
            lastEnd = address + length;
            if (length > 0) spans.emplace_back(address, address + length);
        }
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    for (const auto& s : spans) {
        if (!ranges.empty() && s.first <= ranges.back().second) ranges.back().second = std::max(ranges.back().second, s.second);
        else ranges.push_back(s);
    }
    std::array<bool, kFlashSectors.size()> touched{};
    for (const auto& [from, to] : ranges)
        for (int i = FlashSectorIndex(from); i >= 0 && i <= FlashSectorIndex(to - 1); ++i) touched[static_cast<std::size_t>(i)] = true;
    const UploadPlanT plan = PlanUploadText(rom.text);

    std::string typeText;
    for (const auto& [t, n] : types) typeText += std::string(typeText.empty() ? "" : ", ") + "S" + t + " " + std::to_string(n);
    r.Info("Records:  " + typeText + (backwards ? " (" + std::to_string(backwards) + " out of address order)" : ""));
    if (!header.empty()) r.Info("Header:   " + header);
    r.Info("Ranges:   " + std::to_string(ranges.size()));
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i == 16 && ranges.size() > 17) {
            r.Info("          ... " + std::to_string(ranges.size() - 16) + " more");
            break;
        }
        r.Info("          " + Hex(ranges[i].first) + " .. " + Hex(ranges[i].second - 1) + "  " +
               std::to_string(ranges[i].second - ranges[i].first) + " bytes");
    }
    r.Info("Upload:   " + std::to_string(plan.blocks.size()) + " blocks in " + std::to_string(plan.frames) +
           " frames of up to " + std::to_string(VesperilIO::kWriteChunk) + " bytes");
    std::string sectorText;
    unsigned sectorCount = 0;
    for (std::size_t i = 0; i < touched.size(); ++i) {
        if (!touched[i]) continue;
        ++sectorCount;
        sectorText += " " + std::to_string(i) + " (" + Hex(kFlashSectors[i].start) + ")";
    }
    r.Info("Sectors: " + sectorText);
    const bool serialArea = !ranges.empty() && ranges.back().second > kSerialNumberStart;
    if (serialArea) r.Info("Note:     the file writes into the serial-number area, which a chip erase keeps");

    json::Object fields;
    fields.Int("records", static_cast<long long>(check.records))
        .Int("bytes", static_cast<long long>(check.bytes))
        .Int("ranges", static_cast<long long>(ranges.size()))
        .Int("out_of_order", static_cast<long long>(backwards))
        .Int("blocks", static_cast<long long>(plan.blocks.size()))
        .Int("frames", static_cast<long long>(plan.frames))
        .Int("sectors", sectorCount)
        .Bool("serial_number_area", serialArea);
    r.Result("inspect", exitcode::kOk, "", fields);
    return exitcode::kOk;
}
