#pragma once
// The process-wide serial port: one port open at a time, shared by every user.
//
// Each function that reports success returns 0 for success and 1 for failure.
// The name given to CommOpen is, in this order: the name of a registered
// virtual line (VirtualLine.h); a PortNames row's text ("COM1"), which
// resolves to the device bound to that row (PortNames.h); or a device path.
//
// The state has no lock of its own beyond what keeps it memory-safe: callers
// must not use the port from two threads at once.
#include <cstdint>
#include <span>
#include <string>

int CommOpen(const char* name, std::int32_t baud, std::uint8_t parity, std::uint8_t byteSize,
             std::uint8_t stopBits);
// Sets speed and character format (parity 0 none, 1 odd, 2 even, 3 mark,
// 4 space; stop bits 0 one, 1 one and a half, 2 two; 5 to 8 data bits), then
// discards everything pending in both directions.
int CommConfigure(std::uint32_t baud, std::uint8_t parity, std::uint8_t byteSize,
                  std::uint8_t stopBits);
// Writes all of data and waits until it is sent, at most 10 ms per byte.
// More than 32767 bytes at once is refused.
int CommWrite(std::span<const std::uint8_t> data);
// Copies what has arrived, at most 256 bytes and at most data.size(), and
// returns the number of bytes; 0 when none was waiting. Never blocks.
int CommRead(std::span<std::uint8_t> data);
int CommPurgeInput();
// Holds the line at break for ms milliseconds on the calling thread; always 0.
int CommBreak(std::int16_t ms);
// Low-latency mode: USB adapters hold received bytes up to their latency
// timer (often 16 ms) before passing them on, which costs every answer that
// long. With the preference on, each port opened afterwards asks its driver
// for low latency; the port's old setting is restored when it closes.
// CommLowLatency is 1 while the open port runs in low-latency mode.
void CommPreferLowLatency(bool on);
int CommLowLatency();
int CommClose();

// Blocks in the OS until input is waiting or ms milliseconds pass (0: just
// look). Returns 1 when input is waiting, else 0 (also with no port open).
int CommWaitInput(std::int32_t ms);
// 1 while a port is open.
int CommIsOpen();
// Why the last CommOpen failed, with the device and the system's reason
// ("cannot open /dev/ttyUSB0: No such file or directory"); empty after a
// successful open.
std::string CommOpenError();

// Why the open port stopped working (a hang-up, a vanished device, a read or
// write the system refused): "the port /dev/ttyUSB0 failed: Input/output
// error". Empty while it works; kept after close until the next CommOpen, so
// a front end can still name it. Once set, reads return nothing and writes
// fail; a wait that looks at CommLineFailed ends at once instead of running
// out (CommWaitInput itself still lets its time pass, so that a loop that
// does not look cannot spin).
std::string CommLineError();
// 1 when CommLineError is not empty; cheap enough for every wait.
int CommLineFailed();

// A watcher of the bytes on the line (a trace file): called with true for
// bytes written, false for bytes read, on the thread that moved them. One at
// a time; nullptr removes it.
using CommTapT = void (*)(bool written, std::span<const std::uint8_t> bytes);
void CommSetTap(CommTapT tap);

inline constexpr int kCommReadMax = 256;
inline constexpr int kCommWriteMax = 32767;
inline constexpr int kCommQueueSize = 4096;
