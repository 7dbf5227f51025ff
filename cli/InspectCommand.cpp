// inspect FILE: what a ROM file holds and what programming it would do,
// without a board.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <sstream>

#include "Commands.h"
#include "ExitCodes.h"
#include "FlashMap.h"
#include "Numbers.h"
#include "RomUpload.h"
#include "link_protocol.h"

int InspectCommand(const Options& o, Reporter& r) {
    RomImageT rom;
    if (const int code = LoadRom(o.file, r, rom); code != exitcode::kOk) {
        json::Object fields;
        if (rom.line != 0) fields.Int("line", static_cast<long long>(rom.line));
        r.Result("inspect", code, "", fields.Str("reason", RomCheckText(rom)));
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
    std::uint32_t lastEnd = 0;
    for (const RomRecordT& record : rom.records) {
        if (!spans.empty() && record.address < lastEnd) ++backwards;
        lastEnd = record.address + record.length;
        if (record.length > 0) spans.emplace_back(record.address, record.address + record.length);
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    for (const auto& s : spans) {
        if (!ranges.empty() && s.first <= ranges.back().second) ranges.back().second = std::max(ranges.back().second, s.second);
        else ranges.push_back(s);
    }
    const UploadPlanT plan = PlanUpload(rom);

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
           " frames of up to " + std::to_string(LINK_WRITE_CHUNK) + " bytes");
    std::string sectorText;
    unsigned sectorCount = 0;
    for (std::size_t i = 0; i < kFlashSectors.size(); ++i) {
        if ((rom.sectors & (1u << i)) == 0) continue;
        ++sectorCount;
        sectorText += " " + std::to_string(i) + " (" + Hex(kFlashSectors[i].start) + ")";
    }
    r.Info("Sectors: " + sectorText);
    const bool serialArea = !ranges.empty() && ranges.back().second > kSerialNumberStart;
    if (serialArea) r.Info("Note:     the file writes into the serial-number area, which a chip erase keeps");

    json::Object fields;
    fields.Int("records", static_cast<long long>(rom.records.size()))
        .Int("bytes", static_cast<long long>(rom.bytes.size()))
        .Int("ranges", static_cast<long long>(ranges.size()))
        .Int("out_of_order", static_cast<long long>(backwards))
        .Int("blocks", static_cast<long long>(plan.blocks.size()))
        .Int("frames", static_cast<long long>(plan.frames))
        .Int("sectors", sectorCount)
        .Bool("serial_number_area", serialArea);
    r.Result("inspect", exitcode::kOk, "", fields);
    return exitcode::kOk;
}
