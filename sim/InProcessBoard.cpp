#include "InProcessBoard.h"

#include <chrono>
#include <cstdio>

#include "VirtualLine.h"

namespace sim {

std::unique_ptr<InProcessBoard> InProcessBoard::Start(const SimulatedBoardOptions& options,
                                                      const std::string& lineName, std::string* error) {
    std::unique_ptr<InProcessBoard> b(new InProcessBoard());
    b->options_ = options;
    BoardOptions bo;
    bo.channel = options.channelB ? Channel::B : Channel::A;
    bo.application = options.application;
    bo.timing = options.typicalTiming ? TimingProfile::Typical : TimingProfile::Instant;
    bo.realTime = options.realTime;
    bo.flashImage = options.flashImage;
    bo.lineFaults = options.lineFaults;
    b->board_ = Board::Create(bo, error);
    if (!b->board_) return nullptr;
    for (const auto word : options.failWords) b->board_->FailFlashWord(word);
    for (const auto sector : options.failSectors) b->board_->FailFlashSector(sector);
    b->attachment_ = VirtualLineAttachment::Open(*b->board_, lineName, error);
    if (!b->attachment_) return nullptr;
    if (options.usbLatencyMs > 0)
        b->attachment_->Line().SetAdapterLatency(std::chrono::milliseconds(options.usbLatencyMs));
    b->board_->Start();
    return b;
}

InProcessBoard::~InProcessBoard() {
    if (!finished_ && board_) board_->Stop();
    // The line goes before the board it serves.
    attachment_.reset();
}

int InProcessBoard::Finish() {
    finished_ = true;
    board_->Stop();
    for (const auto& f : board_->Faults()) std::fprintf(stderr, "simulated board fault: %s\n", f.text.c_str());
    if (!options_.saveFlash.empty() && board_->SaveFlash(options_.saveFlash) != 0) {
        std::fprintf(stderr, "cannot save the simulated flash to %s\n", options_.saveFlash.c_str());
        return 1;
    }
    return 0;
}

}  // namespace sim
