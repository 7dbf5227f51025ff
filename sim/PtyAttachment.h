#pragma once
// Serves a board's console channel on a pseudo-terminal, for programs outside
// this process (zelmo-sim). The host's line settings are read from the
// terminal, so a host at the wrong speed sees garbled characters as it would on
// a real line. A pseudo-terminal cannot carry a break: tcsendbreak on it does
// nothing, so the board never sees one this way.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "Board.h"

namespace sim {

// Destroy the attachment before the board it serves.
class PtyAttachment {
public:
    // Opens a pseudo-terminal and connects it to the board's host end (the
    // board must then run on its thread). nullptr and *error on failure.
    static std::unique_ptr<PtyAttachment> Open(Board& board, std::string* error = nullptr);
    PtyAttachment(Board& board, int master, int slave, std::string path);
    ~PtyAttachment();
    PtyAttachment(const PtyAttachment&) = delete;
    PtyAttachment& operator=(const PtyAttachment&) = delete;

    // The device a host opens, for example /dev/pts/3.
    const std::string& Path() const { return path_; }
    // The line settings the host last set on the terminal.
    LineFormat HostFormat() const;

private:
    void Reader();

    Board& board_;
    int master_ = -1;
    int slave_ = -1;  // kept open so that the line stays up between host sessions
    int wake_[2] = {-1, -1};
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace sim
