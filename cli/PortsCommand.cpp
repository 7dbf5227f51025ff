// ports: on Linux the twenty COMn rows, the device each reaches now and, for
// a USB adapter, what sysfs says about it (including whether its driver has a
// latency timer that --low-latency shortens); on Windows the COM ports Windows
// reports, each with its row.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "Commands.h"
#include "ExitCodes.h"
#include "PortNames.h"
#include "Session.h"

#ifdef _WIN32

// A row reaches the port of its own name here, so only the ports that the
// drivers announce are worth a line. Past COM20 a port has no row, but
// --port opens it by its device name.
int PortsCommand(const Options&, Reporter& r) {
    const std::vector<std::string> reported = ListSerialDevices();
    r.Info("Row    Name        Device");
    for (const std::string& name : reported) {
        const int row = ComRow(name);
        const std::string device = row >= 0 ? PortDevice(row) : "\\\\.\\" + name;
        char line[256];
        std::snprintf(line, sizeof line, "%-6s %-11s %s", row >= 0 ? std::to_string(row + 1).c_str() : "-",
                      name.c_str(), device.c_str());
        r.Info(line);
        r.RawJson(json::Object().Str("event", "port").Str("name", name).Str("device", device).Text());
    }
    const int present = static_cast<int>(reported.size());
    r.Result("ports", exitcode::kOk,
             std::to_string(present) + (present == 1 ? " COM port" : " COM ports") + " reported by Windows",
             json::Object().Int("present", present));
    return exitcode::kOk;
}

#else

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

struct UsbInfo {
    std::string vendor, product, serial, manufacturer, name;
    // The driver's latency timer in ms when it has one it lets low-latency
    // mode shorten (FTDI's does); empty for adapters whose chip decides.
    std::string latencyTimer;
};

// The USB device above a tty in sysfs: the first parent with an idVendor.
UsbInfo Usb(const std::string& device) {
    UsbInfo u;
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return u;
    fs::path at = fs::canonical(fs::path("/sys/class/tty") / real.filename() / "device", ec);
    if (!ec && fs::exists(at / "latency_timer", ec)) u.latencyTimer = FirstLine(at / "latency_timer");
    for (int depth = 0; !ec && depth < 8 && at.has_parent_path() && at != at.root_path(); ++depth, at = at.parent_path()) {
        if (!fs::exists(at / "idVendor", ec)) continue;
        u.vendor = FirstLine(at / "idVendor");
        u.product = FirstLine(at / "idProduct");
        u.serial = FirstLine(at / "serial");
        u.manufacturer = FirstLine(at / "manufacturer");
        u.name = FirstLine(at / "product");
        break;
    }
    return u;
}

}  // namespace

int PortsCommand(const Options&, Reporter& r) {
    int present = 0;
    r.Info("Row    Name        Device              USB vendor:product  serial  (maker, product)");
    for (int i = 0; i < kPortCount; ++i) {
        // A bare "COMn" reads better than the row's Windows form.
        const std::string name = "COM" + std::to_string(i + 1);
        const std::string device = PortDevice(i);
        const UsbInfo u = device.empty() ? UsbInfo{} : Usb(device);
        present += !device.empty();
        char line[256];
        std::snprintf(line, sizeof line, "%-6d %-11s %-19s %s", i + 1, name.c_str(),
                      device.empty() ? "-" : device.c_str(),
                      u.vendor.empty() ? "" : (u.vendor + ":" + u.product + "           ").c_str());
        std::string text = line;
        if (!u.vendor.empty()) {
            text += (u.serial.empty() ? "-" : u.serial) + "  (" + u.manufacturer + ", " + u.name + ")";
            text += u.latencyTimer.empty() ? "  low latency: no"
                                           : "  low latency: yes (timer " + u.latencyTimer + " ms)";
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        r.Info(text);
        if (!device.empty()) {
            r.RawJson(json::Object()
                          .Str("event", "port")
                          .Str("name", name)
                          .Str("device", device)
                          .Str("vendor", u.vendor)
                          .Str("product", u.product)
                          .Str("serial", u.serial)
                          .Str("lowLatency", u.vendor.empty() ? "" : u.latencyTimer.empty() ? "no" : "yes")
                          .Str("latencyTimerMs", u.latencyTimer)
                          .Text());
        }
    }
    r.Result("ports", exitcode::kOk, std::to_string(present) + " of 20 rows reach a device",
             json::Object().Int("present", present));
    return exitcode::kOk;
}

#endif
