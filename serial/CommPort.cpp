#include "CommPort.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <string>

#include "PortBackend.h"
#include "PortNames.h"
#include "TimerT.h"
#include "VirtualLineCore.h"

namespace {

// Virtual-line backend: the host end of a VirtualLineT.
class VirtualPortT final : public PortBackendT {
public:
    explicit VirtualPortT(std::shared_ptr<VirtualLineCore> line) : line_(std::move(line)) {}
    ~VirtualPortT() override {
        if (line_) line_->CloseHost();
    }

    bool Configure(const LineFormat& format) override {
        if (!line_->SetHostFormat(format)) return false;
        line_->HostPurge(true, true);
        return true;
    }
    bool Write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) override {
        if (HungUp()) return false;
        return line_->HostWrite(data, limit);
    }
    std::size_t Read(std::span<std::uint8_t> data) override {
        const std::size_t n = line_->HostRead(data);
        if (n == 0) HungUp();
        return n;
    }
    bool WaitInput(std::int32_t ms) override {
        const bool ready = line_->HostWait(VirtualLineCore::Clock::now() + std::chrono::milliseconds(ms));
        if (!ready) HungUp();
        return ready;
    }
    bool PurgeInput() override {
        line_->HostPurge(true, false);
        return true;
    }
    // The peer sees the break as one unit carrying its length, so the
    // length is measured between on and off.
    void BreakOn() override { breakStart_ = CurrentClock().Now(); }
    void BreakOff() override {
        const ClockReading end = CurrentClock().Now();
        const std::int64_t ms = (std::int64_t{end.seconds} - breakStart_.seconds) * 1000 +
                                (end.millis - breakStart_.millis);
        line_->HostBreak(static_cast<std::uint32_t>(ms > 0 ? ms : 0));
    }
    bool SetLowLatency(bool on) override { return line_->SetHostLowLatency(on); }
    bool Close() override {
        line_->SetHostLowLatency(false);
        line_->CloseHost();
        line_.reset();
        return true;
    }

private:
    // Notes the peer's hang-up as the port's fault; true when it hung up.
    bool HungUp() {
        if (!line_->HostHungUp()) return false;
        SetFault("the line hung up (the simulated board's end is gone)");
        return true;
    }

    std::shared_ptr<VirtualLineCore> line_;
    ClockReading breakStart_{};
};

std::mutex g_portMutex;
std::shared_ptr<PortBackendT> g_port;
std::atomic<bool> g_preferLowLatency{false};
bool g_lowLatency = false;  // the open port runs in low-latency mode
std::atomic<CommTapT> g_tap{nullptr};

void Tap(bool written, std::span<const std::uint8_t> bytes) {
    if (const CommTapT tap = g_tap.load(); tap != nullptr && !bytes.empty()) tap(written, bytes);
}

std::shared_ptr<PortBackendT> Port() {
    std::lock_guard lock(g_portMutex);
    return g_port;
}

// Why the last CommOpen failed; guarded by g_portMutex.
std::string g_openError;
// The open port's device name, and why it stopped working; guarded by
// g_portMutex. g_lineFailed mirrors !g_lineError.empty() for cheap looks.
std::string g_openName;
std::string g_lineError;
std::atomic<bool> g_lineFailed{false};

// Takes over the port's fault, if it has one; true when the port has failed.
bool NoteFault(const PortBackendT& port) {
    if (g_lineFailed.load()) return true;
    if (port.Fault().empty()) return false;
    std::lock_guard lock(g_portMutex);
    g_lineError = "the port " + g_openName + " failed: " + port.Fault();
    g_lineFailed = true;
    return true;
}

std::unique_ptr<PortBackendT> OpenVirtualNamed(const std::string& name, std::shared_ptr<VirtualLineCore> line) {
    auto port = OpenVirtualPort(std::move(line));
    if (!port) g_openError = "cannot open " + name + ": the simulated line is in use";
    return port;
}

// device: what name reaches (itself, or the device of its row).
std::unique_ptr<PortBackendT> OpenByName(const std::string& name, std::string& device) {
    device = name;
    if (auto line = VirtualLineCore::Find(name)) return OpenVirtualNamed(name, line);
    if (const int row = PortIndexOfName(name); row >= 0) {
        device = PortDevice(row);
        if (device.empty()) {
            g_openError = "cannot open " + name + ": no serial device is present for it";
            return nullptr;
        }
        if (auto line = VirtualLineCore::Find(device)) return OpenVirtualNamed(device, line);
    }
    std::string reason;
    auto port = OpenSystemPort(device, reason);
    if (!port) g_openError = "cannot open " + device + ": " + reason;
    return port;
}

}  // namespace

std::unique_ptr<PortBackendT> OpenVirtualPort(std::shared_ptr<VirtualLineCore> line) {
    if (!line || !line->OpenHost()) return nullptr;
    return std::make_unique<VirtualPortT>(std::move(line));
}

int CommOpen(const char* name, std::int32_t baud, std::uint8_t parity, std::uint8_t byteSize,
             std::uint8_t stopBits) {
    std::lock_guard lock(g_portMutex);
    g_openError.clear();
    g_lineError.clear();
    g_lineFailed = false;
    if (name == nullptr) {
        g_openError = "no port named";
        return 1;
    }
    // One port per process: opening over an open port would orphan it.
    if (g_port) {
        g_openError = std::string("cannot open ") + name + ": a port is already open";
        return 1;
    }
    std::string device;
    std::shared_ptr<PortBackendT> port = OpenByName(name, device);
    if (!port) return 1;
    const LineFormat format{static_cast<std::uint32_t>(baud), byteSize, parity, stopBits};
    // A port whose line cannot be set is closed again rather than left open
    // behind a failure result.
    if (baud <= 0 || !port->Configure(format)) {
        g_openError = std::string("cannot open ") + name + ": the line settings were refused";
        port->Close();
        return 1;
    }
    // A driver that cannot do it still gives a working port.
    g_lowLatency = g_preferLowLatency.load() && port->SetLowLatency(true);
    g_port = std::move(port);
    g_openName = device;
    return 0;
}

int CommConfigure(std::uint32_t baud, std::uint8_t parity, std::uint8_t byteSize, std::uint8_t stopBits) {
    auto port = Port();
    if (!port || NoteFault(*port)) return 1;
    const bool ok = port->Configure(LineFormat{baud, byteSize, parity, stopBits});
    return ok && !NoteFault(*port) ? 0 : 1;
}

int CommWrite(std::span<const std::uint8_t> data) {
    auto port = Port();
    if (!port || data.size() > static_cast<std::size_t>(kCommWriteMax)) return 1;
    if (NoteFault(*port)) return 1;
    if (data.empty()) return 0;
    const auto limit = std::chrono::milliseconds(10 * static_cast<std::int64_t>(data.size()));
    Tap(true, data);
    const bool ok = port->Write(data, limit);
    return ok && !NoteFault(*port) ? 0 : 1;
}

int CommRead(std::span<std::uint8_t> data) {
    auto port = Port();
    if (!port || NoteFault(*port)) return 0;
    const std::size_t max = std::min(data.size(), static_cast<std::size_t>(kCommReadMax));
    const auto n = port->Read(data.first(max));
    Tap(false, data.first(n));
    // Bytes that came before the failure are still delivered.
    NoteFault(*port);
    return static_cast<int>(n);
}

void CommSetTap(CommTapT tap) { g_tap.store(tap); }

int CommPurgeInput() {
    auto port = Port();
    if (!port || NoteFault(*port)) return 1;
    const bool ok = port->PurgeInput();
    return ok && !NoteFault(*port) ? 0 : 1;
}

int CommBreak(std::int16_t ms) {
    auto port = Port();
    if (!port) {
        SleepMs(ms > 0 ? static_cast<std::uint32_t>(ms) : 0U);
        return 0;
    }
    port->BreakOn();
    SleepMs(ms > 0 ? static_cast<std::uint32_t>(ms) : 0U);
    port->BreakOff();
    return 0;
}

void CommPreferLowLatency(bool on) { g_preferLowLatency = on; }

int CommLowLatency() {
    std::lock_guard lock(g_portMutex);
    return g_port && g_lowLatency ? 1 : 0;
}

int CommClose() {
    std::shared_ptr<PortBackendT> port;
    {
        std::lock_guard lock(g_portMutex);
        port.swap(g_port);
    }
    if (!port) return 1;
    return port->Close() ? 0 : 1;
}

int CommWaitInput(std::int32_t ms) {
    auto port = Port();
    if (!port || NoteFault(*port)) {
        // Nothing can arrive; still let the time pass, or a caller waiting
        // on a closed or failed port would spin until its deadline.
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return 0;
    }
    // A failure found while waiting ends the wait: the caller looks at
    // CommLineFailed next.
    const bool input = port->WaitInput(ms);
    return input && !NoteFault(*port) ? 1 : 0;
}

std::string CommOpenError() {
    std::lock_guard lock(g_portMutex);
    return g_openError;
}

std::string CommLineError() {
    std::lock_guard lock(g_portMutex);
    return g_lineError;
}

int CommLineFailed() { return g_lineFailed.load() ? 1 : 0; }

int CommIsOpen() {
    std::lock_guard lock(g_portMutex);
    return g_port ? 1 : 0;
}
