#include "DeviceLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace sim {

namespace {

std::optional<std::string> LinkTarget(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::nullopt;
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

int MakeDeviceLink(const std::string& path, const std::string& target, std::string* error) {
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0) {
        const auto old = LinkTarget(path);
        struct stat through{};
        const bool stale = old && old->rfind("/dev/pts/", 0) == 0 && stat(path.c_str(), &through) != 0;
        if (!stale) {
            if (error) *error = path + " already exists; not replacing it";
            return -1;
        }
        unlink(path.c_str());
    }
    // symlink() never overwrites: something made there meanwhile is kept.
    if (symlink(target.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot link " + path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

void RemoveDeviceLink(const std::string& path, const std::string& target) {
    const auto now = LinkTarget(path);
    if (now && *now == target) unlink(path.c_str());
}

}  // namespace sim
