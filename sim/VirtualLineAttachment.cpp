#include "VirtualLineAttachment.h"

#include <array>
#include <vector>

#include "VirtualLine.h"

namespace sim {

namespace {

::LineFormat ToSerial(const sim::LineFormat& f) {
    ::LineFormat s;
    s.baud = f.baud;
    s.dataBits = f.dataBits;
    switch (f.parity) {
        case Parity::Odd: s.parity = 1; break;
        case Parity::Even: s.parity = 2; break;
        case Parity::Mark: s.parity = 3; break;
        case Parity::Space: s.parity = 4; break;
        case Parity::None: s.parity = 0; break;
    }
    s.stopBits = f.stopBits >= 2 ? 2 : 0;
    return s;
}

}  // namespace

std::unique_ptr<VirtualLineAttachment> VirtualLineAttachment::Open(Board& board, std::string_view name,
                                                                   std::string* error) {
    auto line = std::make_unique<VirtualLineT>();
    if (!line->Register(name)) {
        if (error) *error = "the virtual line name \"" + std::string(name) + "\" is taken or empty";
        return nullptr;
    }
    return std::make_unique<VirtualLineAttachment>(board, std::move(line));
}

VirtualLineAttachment::VirtualLineAttachment(Board& board, std::unique_ptr<VirtualLineT> line)
    : board_(board), line_(std::move(line)) {
    // The line decodes; the board's side of it is the channel's own format.
    board_.SetHostFollowsBoard(true);
    board_.SetConsoleFormatCallback([this](const sim::LineFormat& f) {
        // A channel without a clock keeps the line's last format.
        if (f.baud != 0) line_->SetFormat(ToSerial(f));
    });
    board_.SetHostSink([this](const WireChar& c) { line_->Send(c.byte); });
    line_->SetNotify([this] { Pump(); });
    Pump();
}

VirtualLineAttachment::~VirtualLineAttachment() {
    line_->SetNotify(nullptr);
    board_.SetHostSink(nullptr);
    board_.SetConsoleFormatCallback(nullptr);
    board_.SetHostFollowsBoard(false);
    line_->Unregister();
}

void VirtualLineAttachment::Pump() {
    std::array<LineUnit, 256> units{};
    std::vector<Board::HostUnit> out;
    for (;;) {
        const std::size_t n = line_->Receive(units);
        if (n == 0) break;
        out.clear();
        for (std::size_t i = 0; i < n; ++i) {
            Board::HostUnit u;
            u.byte = units[i].value;
            u.framingError = units[i].kind == LineUnitKind::FramingError;
            u.parityError = units[i].kind == LineUnitKind::ParityError;
            if (units[i].kind == LineUnitKind::Break) u.breakMs = std::max<std::uint32_t>(1, units[i].breakMs);
            out.push_back(u);
        }
        board_.HostSendUnits(out);
    }
}

}  // namespace sim
