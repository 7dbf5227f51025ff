#include "ElfFile.h"

#include <fstream>
#include <iterator>

namespace {

constexpr std::size_t kHeaderSize = 52;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 16;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Has(std::size_t offset, std::size_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    std::uint8_t U8(std::size_t offset) const { return bytes_[offset]; }
    std::uint16_t U16(std::size_t offset) const {
        return static_cast<std::uint16_t>((bytes_[offset] << 8) | bytes_[offset + 1]);
    }
    std::uint32_t U32(std::size_t offset) const {
        return (static_cast<std::uint32_t>(bytes_[offset]) << 24) |
               (static_cast<std::uint32_t>(bytes_[offset + 1]) << 16) |
               (static_cast<std::uint32_t>(bytes_[offset + 2]) << 8) |
               static_cast<std::uint32_t>(bytes_[offset + 3]);
    }
    std::span<const std::uint8_t> Slice(std::size_t offset, std::size_t length) const {
        return bytes_.subspan(offset, length);
    }
    // NUL-terminated string inside [tableOffset, tableOffset + tableSize).
    bool String(std::size_t tableOffset, std::size_t tableSize, std::size_t index, std::string& out) const {
        if (index >= tableSize) return false;
        out.clear();
        for (std::size_t i = tableOffset + index; i < tableOffset + tableSize; ++i) {
            if (bytes_[i] == 0) return true;
            out.push_back(static_cast<char>(bytes_[i]));
        }
        return false;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

struct RawSection {
    std::uint32_t name, type, flags, address, offset, size, link;
};

}  // namespace

int ParseElf(std::span<const std::uint8_t> bytes, ElfFile& out, std::string& error) {
    out = {};
    const Reader r(bytes);
    if (!r.Has(0, kHeaderSize) || r.U8(0) != 0x7F || r.U8(1) != 'E' || r.U8(2) != 'L' || r.U8(3) != 'F') {
        error = "not an ELF file";
        return -1;
    }
    if (r.U8(4) != 1 || r.U8(5) != 2) {
        error = "not a 32-bit big-endian ELF file";
        return -1;
    }
    const std::uint32_t shoff = r.U32(32);
    const std::uint16_t shentsize = r.U16(46);
    const std::uint16_t shnum = r.U16(48);
    const std::uint16_t shstrndx = r.U16(50);
    if (shentsize != kSectionHeaderSize || !r.Has(shoff, std::size_t{shnum} * kSectionHeaderSize) ||
        shstrndx >= shnum) {
        error = "bad section header table";
        return -1;
    }

    std::vector<RawSection> raw(shnum);
    for (std::size_t i = 0; i < shnum; ++i) {
        const std::size_t at = shoff + i * kSectionHeaderSize;
        raw[i] = {r.U32(at), r.U32(at + 4), r.U32(at + 8), r.U32(at + 12), r.U32(at + 16), r.U32(at + 20),
                  r.U32(at + 24)};
        if (raw[i].type != ElfFile::kNoBits && raw[i].type != 0 && !r.Has(raw[i].offset, raw[i].size)) {
            error = "section " + std::to_string(i) + " lies outside the file";
            return -1;
        }
    }

    const RawSection& names = raw[shstrndx];
    for (const RawSection& s : raw) {
        ElfSection section;
        if (!r.String(names.offset, names.size, s.name, section.name)) {
            error = "bad section name";
            return -1;
        }
        section.type = s.type;
        section.flags = s.flags;
        section.address = s.address;
        if (s.type != ElfFile::kNoBits && s.type != 0) {
            const auto slice = r.Slice(s.offset, s.size);
            section.bytes.assign(slice.begin(), slice.end());
        }
        out.sections.push_back(std::move(section));
    }

    for (const RawSection& s : raw) {
        if (s.type != ElfFile::kSymTab) continue;
        if (s.link >= shnum) {
            error = "symbol table without string table";
            return -1;
        }
        const RawSection& strings = raw[s.link];
        for (std::size_t at = s.offset; at + kSymbolSize <= std::size_t{s.offset} + s.size; at += kSymbolSize) {
            ElfSymbol sym;
            if (!r.String(strings.offset, strings.size, r.U32(at), sym.name)) {
                error = "bad symbol name";
                return -1;
            }
            sym.value = r.U32(at + 4);
            const std::uint8_t info = r.U8(at + 12);
            sym.bind = static_cast<std::uint8_t>(info >> 4);
            sym.type = static_cast<std::uint8_t>(info & 0x0F);
            sym.sectionIndex = r.U16(at + 14);
            out.symbols.push_back(std::move(sym));
        }
    }
    return 0;
}

int ReadElf(const std::string& path, ElfFile& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return -1;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (ParseElf(bytes, out, error) != 0) {
        error = path + ": " + error;
        return -1;
    }
    return 0;
}

std::vector<std::string> DefinedGlobals(const ElfFile& file) {
    std::vector<std::string> names;
    for (const ElfSymbol& s : file.symbols) {
        if (s.bind == ElfFile::kBindGlobal && s.sectionIndex != ElfFile::kUndefined && !s.name.empty()) {
            names.push_back(s.name);
        }
    }
    return names;
}
