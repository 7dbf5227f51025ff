#include "PortNames.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <optional>

const char PortNames[kPortCount][kPortNameSize] = {
    "COM1",        "COM2",        "COM3",        "COM4",        "COM5",
    "COM6",        "COM7",        "COM8",        "COM9",        "\\\\.\\COM10",
    "\\\\.\\COM11", "\\\\.\\COM12", "\\\\.\\COM13", "\\\\.\\COM14", "\\\\.\\COM15",
    "\\\\.\\COM16", "\\\\.\\COM17", "\\\\.\\COM18", "\\\\.\\COM19", "\\\\.\\COM20",
};

namespace {

std::mutex g_bindMutex;
std::array<std::string, kPortCount> g_bindings;

constexpr std::string_view kFamilies[] = {"ttyUSB", "ttyACM", "ttyS"};

// Family rank and number of a device name, when it is one we use.
std::optional<std::pair<int, unsigned>> Classify(std::string_view name) {
    for (int rank = 0; rank < 3; ++rank) {
        const std::string_view prefix = kFamilies[rank];
        if (!name.starts_with(prefix)) continue;
        const std::string_view digits = name.substr(prefix.size());
        unsigned number = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
        return std::pair{rank, number};
    }
    return std::nullopt;
}

}  // namespace

int PortIndexOfName(std::string_view name) {
    for (int i = 0; i < kPortCount; ++i)
        if (name == PortNames[i]) return i;
    return -1;
}

int BindPort(int index, std::string_view device) {
    if (index < 0 || index >= kPortCount || device.empty()) return 1;
    std::lock_guard lock(g_bindMutex);
    g_bindings[static_cast<std::size_t>(index)] = std::string(device);
    return 0;
}

void UnbindPort(int index) {
    if (index < 0 || index >= kPortCount) return;
    std::lock_guard lock(g_bindMutex);
    g_bindings[static_cast<std::size_t>(index)].clear();
}

void UnbindAllPorts() {
    std::lock_guard lock(g_bindMutex);
    for (auto& b : g_bindings) b.clear();
}

std::string PortDevice(int index) {
    if (index < 0 || index >= kPortCount) return {};
    {
        std::lock_guard lock(g_bindMutex);
        const std::string& bound = g_bindings[static_cast<std::size_t>(index)];
        if (!bound.empty()) return bound;
    }
#ifdef _WIN32
    // Windows names its ports itself: a row reaches the port of its name.
    return PortNames[index];
#else
    const std::vector<std::string> present = ListSerialDevices();
    const auto i = static_cast<std::size_t>(index);
    return i < present.size() ? present[i] : std::string();
#endif
}

std::vector<std::string> OrderSerialDevices(std::span<const std::string> names) {
    struct Entry {
        int rank;
        unsigned number;
        std::string name;
    };
    std::vector<Entry> entries;
    for (const std::string& n : names)
        if (auto c = Classify(n)) entries.push_back({c->first, c->second, n});
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.number < b.number;
    });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const Entry& a, const Entry& b) { return a.name == b.name; }),
                  entries.end());
    std::vector<std::string> paths;
    paths.reserve(entries.size());
    for (const Entry& e : entries) paths.push_back("/dev/" + e.name);
    return paths;
}

#ifdef _WIN32
std::vector<std::string> ListSerialDevices() {
    // The serial ports the drivers have announced, as "COM7".
    std::vector<std::string> names;
    HKEY key{};
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        char value[256];
        char data[64];
        DWORD valueSize = sizeof value;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG r = ::RegEnumValueA(key, i, value, &valueSize, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        if (data[0] != '\0') names.emplace_back(data);
    }
    ::RegCloseKey(key);
    // By number, so that COM10 follows COM9.
    auto number = [](const std::string& n) {
        unsigned v = 0;
        if (n.size() > 3) std::from_chars(n.data() + 3, n.data() + n.size(), v);
        return v;
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return number(a) != number(b) ? number(a) < number(b) : a < b;
    });
    return names;
}
#else
std::vector<std::string> ListSerialDevices() {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        const auto c = Classify(name);
        if (!c) continue;
        // /dev/ttyS0 to ttyS31 exist whether or not a UART is there; take the
        // ones the kernel has bound to a driver.
        if (c->first == 2 && !fs::exists("/sys/class/tty/" + name + "/device/driver", ec)) continue;
        names.push_back(name);
    }
    return OrderSerialDevices(names);
}
#endif
