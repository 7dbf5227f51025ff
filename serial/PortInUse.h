#pragma once
// Whether another program holds a serial device, found without disturbing
// it: nothing is written, no line setting changes, and the holder keeps its
// exclusivity and its lock.
#include <string>

// Empty when nothing says the device is held; else why it is ("in use by
// another program", "locked by process 1234 (/run/lock/LCK..ttyUSB0)"). A
// device that cannot be opened for another reason (absent, no permission)
// is left to CommOpen to name. On Windows always empty: the exclusive open
// itself refuses a held port without touching it.
std::string PortInUse(const std::string& device);
