#pragma once
// Just enough of a 32-bit big-endian ELF reader for the daemon's linked
// program and its object files: allocated sections with their bytes, and the
// symbol table.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct ElfSection {
    std::string name;
    std::uint32_t type = 0;
    std::uint32_t flags = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;  // empty for sections without file contents
};

struct ElfSymbol {
    std::string name;
    std::uint32_t value = 0;
    std::uint8_t bind = 0;
    std::uint8_t type = 0;
    std::uint16_t sectionIndex = 0;
};

struct ElfFile {
    std::vector<ElfSection> sections;
    std::vector<ElfSymbol> symbols;

    static constexpr std::uint32_t kProgBits = 1;
    static constexpr std::uint32_t kSymTab = 2;
    static constexpr std::uint32_t kNoBits = 8;
    static constexpr std::uint32_t kFlagAlloc = 2;
    static constexpr std::uint8_t kBindGlobal = 1;
    static constexpr std::uint8_t kTypeSection = 3;
    static constexpr std::uint8_t kTypeFile = 4;
    static constexpr std::uint16_t kUndefined = 0;
};

// Parses an ELF image held in memory. 0 on success, -1 when the bytes are not
// a well-formed 32-bit big-endian ELF file (the error text says why).
int ParseElf(std::span<const std::uint8_t> bytes, ElfFile& out, std::string& error);

// Reads and parses a file. 0 on success, -1 otherwise.
int ReadElf(const std::string& path, ElfFile& out, std::string& error);

// Names of the globally visible symbols that the file defines.
std::vector<std::string> DefinedGlobals(const ElfFile& file);
