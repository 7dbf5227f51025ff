#pragma once
// One open port behind the process-wide layer: a system serial device or a
// virtual line. Internal to the serial library.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "LineFormat.h"

class VirtualLineCore;

class PortBackendT {
public:
    PortBackendT() = default;
    PortBackendT(const PortBackendT&) = delete;
    PortBackendT& operator=(const PortBackendT&) = delete;
    virtual ~PortBackendT() = default;

    // Applies the format, then discards both directions.
    virtual bool Configure(const LineFormat& format) = 0;
    // Everything written and sent within limit, or false.
    virtual bool Write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) = 0;
    virtual std::size_t Read(std::span<std::uint8_t> data) = 0;
    virtual bool WaitInput(std::int32_t ms) = 0;
    virtual bool PurgeInput() = 0;
    virtual void BreakOn() = 0;
    virtual void BreakOff() = 0;
    // Asks the driver to hand received bytes over at once rather than after
    // a USB adapter's latency timer; false when it cannot. The old setting
    // comes back at Close.
    virtual bool SetLowLatency(bool /*on*/) { return false; }
    // Releases the device; false when the OS reported a failure.
    virtual bool Close() = 0;
};

// The system's serial device (a termios device, or a Windows COM port);
// nullptr, with the reason in error, when it cannot be opened exclusively.
std::unique_ptr<PortBackendT> OpenSystemPort(const std::string& path, std::string& error);
// nullptr when the line's host end is already open.
std::unique_ptr<PortBackendT> OpenVirtualPort(std::shared_ptr<VirtualLineCore> line);
