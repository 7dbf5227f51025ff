#include "TargetConfiguration.h"

#include "TargetState.h"

void ResetTargetConfiguration() { TargetConfiguration = TargetConfigurationT{}; }

void LoadTargetConfiguration() {
    auto& c = TargetConfiguration;
    c.processorType = 330;
    c.moduleBase = 0xFFF000;
    c.scratchAddress = 0x810;
    c.chipSelects[0] = {0x00000013, 0x00001F7F, true};
    c.chipSelects[1] = {0x00400013, 0x0007FF7D, true};
    c.chipSelects[2] = {0x00490013, 0x000FFF71, true};
    c.chipSelects[3] = {0, 0, false};
    c.portRegisters = {};
    c.regionBlockEnabled = true;
    c.controlWords[0] = {0x0382, true};
    c.controlWords[1] = {0xEFFE, true};
    c.controlWords[2] = {0x9C35, true};
    c.controlWords[3] = {0x00B6, true};
    c.regionEntries = {};
    c.regionEntries[3] = {0x00490101, 0xF903F301, true};
    c.regionEntries[9] = {0x00490041, 0xF903F201, true};
    c.regionEntries[10] = {0x00400141, 0xF907F381, true};
}
