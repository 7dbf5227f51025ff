#pragma once
// What bring-up writes into the board: chip selects and port registers of the
// integration module, the control words and the region registers.
#include <array>
#include <cstdint>

struct ChipSelectEntry {
    std::uint32_t base = 0;
    std::uint32_t mask = 0;
    bool enabled = false;
};
struct PortRegisterEntry {
    std::uint8_t value = 0;
    bool enabled = false;
};
struct ControlWordEntry {
    std::uint16_t value = 0;
    bool enabled = false;
};
struct RegionEntry {
    std::uint32_t baseWord = 0;
    std::uint32_t optionWord = 0;
    bool enabled = false;
};

struct TargetConfigurationT {
    std::int32_t processorType = 0;  // 330: write the integration module's registers
    std::uint32_t moduleBase = 0;
    std::uint32_t scratchAddress = 0;
    std::array<ChipSelectEntry, 4> chipSelects{};
    std::array<PortRegisterEntry, 8> portRegisters{};
    bool regionBlockEnabled = false;
    std::array<ControlWordEntry, 4> controlWords{};
    std::array<RegionEntry, 11> regionEntries{};
};

// The process-wide configuration (TargetState.h) cleared, and then loaded
// with the values this board ships with; the connect sequence does both
// before each bring-up.
void ResetTargetConfiguration();
void LoadTargetConfiguration();
