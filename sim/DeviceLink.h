#pragma once
// The symbolic link that zelmo-sim can put at a path of the user's choice,
// pointing at its pseudo-terminal. Whatever else is at that path is never
// replaced or removed.
#include <string>

namespace sim {

// Links `path` to `target`. An existing path is refused, unless it is a
// dangling link into /dev/pts/ (one left by an earlier run whose terminal is
// gone). 0 made; -1 refused or failed, with the reason in *error.
int MakeDeviceLink(const std::string& path, const std::string& target, std::string* error);

// Removes `path` only while it is still a symbolic link to `target`.
void RemoveDeviceLink(const std::string& path, const std::string& target);

}  // namespace sim
