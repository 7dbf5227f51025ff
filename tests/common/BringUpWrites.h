#pragma once
// The memory-interface writes a fresh bring-up makes, in order, with the
// shipped board configuration: the reference for every layer's tests.
#include <array>
#include <cstdint>

struct RegisterStep {
    std::uint32_t address;
    int width;  // 16: through the register-write routine; 32: a 4-byte store
    std::uint32_t value;
    bool operator==(const RegisterStep&) const = default;
};

inline constexpr std::array<RegisterStep, 25> kBringUpWrites{{
    {0x1E0A, 16, 0x0C00},       {0xFFF040, 32, 0x00001F7F}, {0xFFF044, 32, 0x00000013},
    {0xFFF048, 32, 0x0007FF7D}, {0xFFF04C, 32, 0x00400013}, {0xFFF050, 32, 0x000FFF71},
    {0xFFF054, 32, 0x00490013}, {0x1E38, 16, 0x0A05},       {0x1E30, 16, 0x0382},
    {0x1E32, 16, 0xEFFE},       {0x1E34, 16, 0x9C35},       {0x1E36, 16, 0x00B6},
    {0x1E38, 16, 0x0000},       {0x1F08, 16, 0xF903},       {0x1F0A, 16, 0xF301},
    {0x1F0C, 16, 0x0049},       {0x1F0E, 16, 0x0101},       {0x1F30, 16, 0xF903},
    {0x1F32, 16, 0xF201},       {0x1F34, 16, 0x0049},       {0x1F36, 16, 0x0041},
    {0x1F38, 16, 0xF907},       {0x1F3A, 16, 0xF381},       {0x1F3C, 16, 0x0040},
    {0x1F3E, 16, 0x0141},
}};
