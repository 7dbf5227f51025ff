#pragma once
// The table of port names and the device each row reaches.
//
// A row reaches the device explicitly bound to it (BindPort: any device path,
// a pseudo-terminal, or the name of a virtual line). On Linux an unbound row
// i reaches the i-th serial device present, in the order of
// OrderSerialDevices (README.md, "Serial ports on Linux"); on Windows an
// unbound row reaches the port of its own name.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kPortCount = 20;
inline constexpr int kPortNameSize = 10;

// Row i names port i + 1: "COM1" to "COM9", then "\\.\COM10" to "\\.\COM20".
extern const char PortNames[kPortCount][kPortNameSize];

// Row of a PortNames text, or -1.
int PortIndexOfName(std::string_view name);

// Binds row index to device; 0, or 1 when the index is out of range or the
// device is empty. Stays until UnbindPort.
int BindPort(int index, std::string_view device);
void UnbindPort(int index);
void UnbindAllPorts();

// The device row index reaches now: its binding, else the automatic rule.
// Empty when the index is out of range or no device is there.
std::string PortDevice(int index);

// The automatic order: /dev/ttyUSB*, then /dev/ttyACM*, then /dev/ttyS*,
// each by number. Entries are device names ("ttyUSB0"); other names are left
// out. Returns full paths.
std::vector<std::string> OrderSerialDevices(std::span<const std::string> names);

// Serial devices present: ttyUSB and ttyACM in /dev, and ttyS ports that the
// kernel has bound to a driver, in the automatic order. On Windows the COM
// ports the drivers announce ("COM3"), by number.
std::vector<std::string> ListSerialDevices();
