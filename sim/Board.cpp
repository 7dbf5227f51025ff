// Board creation, state queries and inspection.
#include "BoardImpl.h"

namespace sim {

Board::Board(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Board::~Board() { Stop(); }

std::unique_ptr<Board> Board::Create(const BoardOptions& options, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    std::string why;
    if (!impl->Init(why)) {
        if (error) *error = why;
        return nullptr;
    }
    auto board = std::make_unique<Board>(std::move(impl));
    if (!options.flashImage.empty() && board->LoadFlash(options.flashImage) != 0) {
        if (error) *error = "cannot read the flash image " + options.flashImage;
        return nullptr;
    }
    return board;
}

void Board::Reset() {
    std::lock_guard lk(impl_->m);
    impl_->PowerOn();
}

Picos Board::Now() const {
    std::lock_guard lk(impl_->m);
    return impl_->now;
}

std::uint32_t Board::CpuPc() const {
    std::lock_guard lk(impl_->m);
    return Pc(impl_->uc);
}

BoardMode Board::Mode() const {
    std::lock_guard lk(impl_->m);
    return impl_->mode;
}

std::vector<std::uint8_t> Board::FlashContents() const {
    std::lock_guard lk(impl_->m);
    const auto c = impl_->flash.Contents();
    return {c.begin(), c.end()};
}

std::vector<RegisterWrite> Board::RegisterLog() const {
    std::lock_guard lk(impl_->m);
    return impl_->registerLog;
}

void Board::ClearRegisterLog() {
    std::lock_guard lk(impl_->m);
    impl_->registerLog.clear();
}

std::vector<TraceEntry> Board::LineTrace() const {
    std::lock_guard lk(impl_->m);
    return {impl_->trace.begin(), impl_->trace.end()};
}

std::vector<BoardFault> Board::Faults() const {
    std::lock_guard lk(impl_->m);
    return impl_->faults;
}

std::uint8_t Board::DuartClockSelect(Channel channel) const {
    std::lock_guard lk(impl_->m);
    return impl_->duart.ClockSelect(static_cast<unsigned>(channel));
}

Am29f400::Counters Board::FlashCounters() const {
    std::lock_guard lk(impl_->m);
    return impl_->flash.GetCounters();
}

std::uint64_t Board::Instructions() const {
    std::lock_guard lk(impl_->m);
    return impl_->instructions;
}

bool Board::FlashAnswers() const {
    std::lock_guard lk(impl_->m);
    return impl_->flashMapped;
}

bool Board::RamAnswers() const {
    std::lock_guard lk(impl_->m);
    return impl_->ramMapped;
}

void Board::SetFaultCallback(std::function<void(const BoardFault&)> callback) {
    std::lock_guard lk(impl_->m);
    impl_->faultCallback = std::move(callback);
}

void Board::SetTraceCallback(std::function<void(const TraceEntry&)> callback) {
    std::lock_guard lk(impl_->m);
    impl_->traceCallback = std::move(callback);
}

const char* ToString(BoardMode mode) {
    switch (mode) {
        case BoardMode::Application: return "application";
        case BoardMode::Monitor: return "monitor";
        case BoardMode::Cpu: return "cpu";
        case BoardMode::Halted: return "halted";
    }
    return "?";
}

const char* ToString(BoardFault::Kind kind) {
    switch (kind) {
        case BoardFault::Kind::BusError: return "bus error";
        case BoardFault::Kind::AddressError: return "address error";
        case BoardFault::Kind::IllegalInstruction: return "illegal instruction";
        case BoardFault::Kind::Exception: return "exception";
        case BoardFault::Kind::Emulator: return "emulator";
        case BoardFault::Kind::MonitorStore: return "monitor store";
    }
    return "?";
}

}  // namespace sim
