#pragma once
// Serves a board's console channel on an in-process virtual line of the
// serial layer, registered under a device name: the loader (or a test) opens
// that name through the ordinary port layer and talks to the board.
//
//     auto board = sim::Board::Create({});
//     auto att = sim::VirtualLineAttachment::Open(*board, "sim:board");
//     BindPort(0, "sim:board");     // COM1 reaches the board
//     board->Start();
//     ... VesperilIO link(0, 0xFFF000, 0x810); link.IsAlive(); ...
//
// The virtual line decodes every character with the receiving end's format,
// so a host at the wrong speed sees (and sends) garbled characters there; the
// board side follows the console channel's format as the board changes it.
// A host break reaches the board as a break of the same length.
#include <memory>
#include <string>
#include <string_view>

#include "Board.h"

class VirtualLineT;

namespace sim {

// Destroy the attachment before the board it serves.
class VirtualLineAttachment {
public:
    // Creates the line, registers it under `name` and connects it to the
    // board's host end. nullptr and *error when the name is taken.
    static std::unique_ptr<VirtualLineAttachment> Open(Board& board, std::string_view name,
                                                       std::string* error = nullptr);
    VirtualLineAttachment(Board& board, std::unique_ptr<VirtualLineT> line);
    ~VirtualLineAttachment();
    VirtualLineAttachment(const VirtualLineAttachment&) = delete;
    VirtualLineAttachment& operator=(const VirtualLineAttachment&) = delete;

    // The line itself (for its pacing switch and overrun counters).
    VirtualLineT& Line() { return *line_; }

private:
    void Pump();

    Board& board_;
    std::unique_ptr<VirtualLineT> line_;
};

}  // namespace sim
