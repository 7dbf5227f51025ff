#include "PortInUse.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// Programs in the UUCP tradition (minicom, cu, picocom) announce their port
// in LCK..ttyUSB0 with their process id, as ten ASCII digits or as a binary
// int; a lock whose process has gone is stale and holds nothing.
std::string UucpLockHolder(const std::string& device) {
    const std::string name = std::filesystem::path(device).filename().string();
    for (const char* dir : {"/run/lock", "/var/lock"}) {
        const std::string lock = std::string(dir) + "/LCK.." + name;
        std::ifstream in(lock, std::ios::binary);
        if (!in) continue;
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        long pid = 0;
        if (text.size() == sizeof(std::int32_t) && text.find_first_of("0123456789") == std::string::npos) {
            std::int32_t binary = 0;
            std::memcpy(&binary, text.data(), sizeof binary);
            pid = binary;
        } else {
            pid = std::strtol(text.c_str(), nullptr, 10);
        }
        if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM))
            return "locked by process " + std::to_string(pid) + " (" + lock + ")";
    }
    return {};
}

}  // namespace

std::string PortInUse(const std::string& device) {
    if (std::string holder = UucpLockHolder(device); !holder.empty()) return holder;
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? "in use by another program (opened exclusively)" : std::string();
    std::string why;
    // Root passes another program's exclusive open; the flag still tells.
    int exclusive = 0;
    if (::isatty(fd) && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        why = "in use by another program (opened exclusively)";
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        why = "in use by another program";
    // Not the last descriptor of a held device: closing it changes nothing
    // for the holder; our own lock, if taken, goes with it.
    ::close(fd);
    return why;
}

#else

std::string PortInUse(const std::string&) { return {}; }

#endif
