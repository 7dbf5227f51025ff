#pragma once
// The simulated board as the front ends offer it: a board built from the
// operator's options, served on an in-process virtual line that a port row
// can be bound to, and its flash saved on the way out.
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "VirtualLineAttachment.h"

namespace sim {

struct SimulatedBoardOptions {
    bool channelB = false;     // console on DUART channel B
    bool application = false;  // an application owns the line at power-on
    bool typicalTiming = false;  // the flash's typical data-sheet times
    bool realTime = false;     // run at the board's real speed
    std::string flashImage;    // S-record file preloaded in flash
    std::string saveFlash;     // S-record file the flash is saved to at the end
    std::vector<std::uint32_t> failWords;   // flash words that never program
    std::vector<unsigned> failSectors;      // flash sectors (0..10) that never erase
    LineFaults lineFaults;                  // dropped and flipped characters, a silence
    unsigned usbLatencyMs = 0;              // a USB adapter's latency timer toward the host
};

class InProcessBoard {
public:
    // Builds the board, serves it on the virtual line `lineName` and starts
    // it. nullptr and *error when it cannot be built.
    static std::unique_ptr<InProcessBoard> Start(const SimulatedBoardOptions& options, const std::string& lineName,
                                                 std::string* error);
    ~InProcessBoard();
    InProcessBoard(const InProcessBoard&) = delete;
    InProcessBoard& operator=(const InProcessBoard&) = delete;

    // Stops the board, reports its CPU faults on stderr and saves the flash
    // when asked to. 0, or 1 when the flash could not be saved.
    int Finish();
    Board& board() { return *board_; }
    // The line the host's port is bound to (to hang it up, say).
    VirtualLineT& line() { return attachment_->Line(); }
    const SimulatedBoardOptions& options() const { return options_; }

private:
    InProcessBoard() = default;
    SimulatedBoardOptions options_;
    std::unique_ptr<Board> board_;
    std::unique_ptr<VirtualLineAttachment> attachment_;
    bool finished_ = false;
};

}  // namespace sim
