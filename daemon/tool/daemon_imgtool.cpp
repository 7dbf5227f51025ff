// Builds the daemon image text, its symbol map and the C++ source that embeds
// both, from the linked daemon and its object files.
//
// daemon_imgtool --elf daemon.elf --entry 0x490000 --max-records 159
//                --module de_demon=de_entry.o,de_demon.o --module ...
//                --srec out.srec --map out.map --source out.cpp
// With --array NAME --header H, the source embeds the bytes as the array
// NAME declared in H instead of the S-record text (for the CRC applet).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ElfFile.h"
#include "ImageText.h"
#include "SxFile.h"

namespace {

struct Options {
    std::string elf, srec, map, source, array, header;
    std::uint32_t entry = 0;
    long maxRecords = 0;
    std::vector<std::pair<std::string, std::vector<std::string>>> modules;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "daemon_imgtool: %s\n", message.c_str());
    return 1;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--elf") o.elf = value;
        else if (key == "--srec") o.srec = value;
        else if (key == "--map") o.map = value;
        else if (key == "--source") o.source = value;
        else if (key == "--array") o.array = value;
        else if (key == "--header") o.header = value;
        else if (key == "--entry") o.entry = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
        else if (key == "--max-records") o.maxRecords = std::strtol(value.c_str(), nullptr, 0);
        else if (key == "--module") {
            const auto eq = value.find('=');
            if (eq == std::string::npos) return false;
            o.modules.emplace_back(value.substr(0, eq), Split(value.substr(eq + 1), ','));
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !o.elf.empty() && !o.srec.empty() && !o.map.empty() && !o.source.empty() &&
           o.maxRecords > 0 && !o.modules.empty();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) return Fail("bad arguments");

    ElfFile linked;
    std::string error;
    if (ReadElf(o.elf, linked, error) != 0) return Fail(error);

    std::vector<ImageSection> sections;
    for (const ElfSection& s : linked.sections) {
        if ((s.flags & ElfFile::kFlagAlloc) != 0 && s.type == ElfFile::kProgBits && !s.bytes.empty()) {
            sections.push_back({s.address, s.bytes});
        }
    }
    std::sort(sections.begin(), sections.end(),
              [](const ImageSection& a, const ImageSection& b) { return a.address < b.address; });
    if (sections.empty()) return Fail("no code in " + o.elf);
    if (sections.front().address != o.entry) return Fail("the image does not begin at the entry address");

    int records = 0;
    {
        SXFILE_T writer(o.srec.c_str(), kModeOut | kModeTrunc);
        records = WriteImageRecords(writer, sections);
    }
    if (records < 0) return Fail("sections are not contiguous, or " + o.srec + " could not be written");

    std::size_t bytes = 0;
    for (const ImageSection& s : sections) bytes += s.bytes.size();
    const std::uint32_t last = sections.back().address + static_cast<std::uint32_t>(sections.back().bytes.size()) - 1;
    std::printf("%s: %zu bytes, %d S3 records (limit %ld), 0x%06X to 0x%06X\n",
                o.array.empty() ? "daemon image" : o.array.c_str(), bytes, records,
                o.maxRecords, o.entry, last);
    if (records > o.maxRecords) {
        return Fail("the image needs " + std::to_string(records) + " S3 records, more than the loader's " +
                    std::to_string(o.maxRecords));
    }

    // The records back as the writer laid them out, one per line.
    std::vector<std::string> lines;
    {
        std::ifstream in(o.srec);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
    }

    std::map<std::string, std::uint32_t> addresses;
    for (const ElfSymbol& s : linked.symbols) {
        if (s.bind == ElfFile::kBindGlobal && s.sectionIndex != ElfFile::kUndefined) addresses[s.name] = s.value;
    }
    std::vector<MapModule> modules;
    for (const auto& [name, objects] : o.modules) {
        MapModule module{name, {}};
        for (const std::string& path : objects) {
            ElfFile object;
            if (ReadElf(path, object, error) != 0) return Fail(error);
            for (const std::string& symbol : DefinedGlobals(object)) {
                const auto found = addresses.find(symbol);
                if (found == addresses.end()) return Fail(symbol + " is missing from " + o.elf);
                module.symbols.push_back({symbol, found->second});
            }
        }
        modules.push_back(std::move(module));
    }
    const std::string map = FormatSymbolMap(modules);

    if (!WriteFile(o.map, map + "\n")) return Fail("cannot write " + o.map);
    const std::string source =
        o.array.empty() ? EmbedSource(lines, map) : EmbedBytesSource(o.array, o.header, sections, map);
    if (!WriteFile(o.source, source)) return Fail("cannot write " + o.source);
    return 0;
}
