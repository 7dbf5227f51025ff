#include "VirtualLine.h"

#include <algorithm>
#include <bit>
#include <map>
#include <thread>

#include "VirtualLineCore.h"

// ------------------------------------------------------------------- decoding

namespace {

int ParityBit(unsigned data, std::uint8_t parity) {
    const int ones = std::popcount(data) & 1;
    switch (parity) {
        case 1: return ones ^ 1;  // odd: total count of ones is odd
        case 2: return ones;      // even
        case 3: return 1;         // mark
        default: return 0;        // space
    }
}

}  // namespace

std::optional<LineUnit> DecodeCharacter(std::uint8_t value, const LineFormat& sender,
                                        const LineFormat& receiver) {
    const unsigned data = value & ((1U << sender.dataBits) - 1U);
    // Sender's frame, bit by bit: start, data LSB first, parity, then mark.
    auto senderBit = [&](std::uint64_t index) -> int {
        if (index == 0) return 0;
        if (index <= sender.dataBits) return static_cast<int>((data >> (index - 1)) & 1U);
        if (sender.parity != 0 && index == sender.dataBits + 1U) return ParityBit(data, sender.parity);
        return 1;
    };
    // The receiver's k-th sample lies at (k + 0.5) of its bit times.
    auto sample = [&](unsigned k) -> int {
        const std::uint64_t index =
            (2ULL * k + 1ULL) * sender.baud / (2ULL * receiver.baud);
        return senderBit(index);
    };
    if (sample(0) != 0) return std::nullopt;  // false start
    unsigned got = 0;
    for (unsigned k = 1; k <= receiver.dataBits; ++k) got |= static_cast<unsigned>(sample(k)) << (k - 1);
    unsigned next = receiver.dataBits + 1U;
    bool parityOk = true;
    if (receiver.parity != 0) {
        parityOk = sample(next) == ParityBit(got, receiver.parity);
        ++next;
    }
    LineUnit unit;
    unit.value = static_cast<std::uint8_t>(got);
    if (sample(next) == 0)
        unit.kind = LineUnitKind::FramingError;
    else if (!parityOk)
        unit.kind = LineUnitKind::ParityError;
    return unit;
}

// ------------------------------------------------------------------- registry

namespace {

std::mutex g_registryMutex;

std::map<std::string, std::shared_ptr<VirtualLineCore>, std::less<>>& Registry() {
    static std::map<std::string, std::shared_ptr<VirtualLineCore>, std::less<>> registry;
    return registry;
}

}  // namespace

std::shared_ptr<VirtualLineCore> VirtualLineCore::Find(std::string_view name) {
    std::lock_guard lock(g_registryMutex);
    auto it = Registry().find(name);
    return it == Registry().end() ? nullptr : it->second;
}

bool VirtualLineCore::Register(std::string_view name, const std::shared_ptr<VirtualLineCore>& core) {
    if (name.empty()) return false;
    std::lock_guard lock(g_registryMutex);
    return Registry().emplace(std::string(name), core).second;
}

void VirtualLineCore::Unregister(std::string_view name, const VirtualLineCore* core) {
    std::lock_guard lock(g_registryMutex);
    auto it = Registry().find(name);
    if (it != Registry().end() && it->second.get() == core) Registry().erase(it);
}

// ----------------------------------------------------------------------- core

// An adapter with a latency timer sends what it holds when the timer runs
// out after the first held unit, or at once when a USB packet is full.
constexpr std::size_t kAdapterPacket = 62;

void VirtualLineCore::Settle(Direction& dir, const LineFormat& receiver, Clock::time_point now) {
    while (!dir.wire.Empty() && dir.wire.Front().due <= now) {
        const OnWire& c = dir.wire.Front();
        std::optional<LineUnit> unit;
        if (c.isBreak) unit = LineUnit{LineUnitKind::Break, 0, c.breakMs};
        else unit = DecodeCharacter(c.value, c.sender, receiver);
        if (unit) {
            dir.ready.PushBack(*unit);
            if (dir.latency.count() > 0) {
                if (dir.held == 0) dir.releaseAt = c.due + dir.latency;
                if (++dir.held >= kAdapterPacket) dir.held = 0;
            }
        }
        dir.wire.PopFront();
    }
    if (dir.held > 0 && now >= dir.releaseAt) dir.held = 0;
}

bool VirtualLineCore::Enqueue(Direction& dir, const LineFormat& sender, std::uint8_t value,
                              bool isBreak, std::uint32_t breakMs, Clock::time_point now) {
    if (dir.wire.Size() + dir.ready.Size() >= VirtualLineT::kQueueSize) {
        ++dir.overruns;
        return false;
    }
    OnWire c{value, isBreak, breakMs, sender, now};
    if (pacing_) {
        const auto start = std::max(now, dir.busyUntil);
        if (isBreak) {
            // Seen by the receiver when the line drops; the line stays busy.
            c.due = start;
            dir.busyUntil = start + std::chrono::milliseconds(breakMs);
        } else {
            c.due = start + sender.CharTime();
            dir.busyUntil = c.due;
        }
    }
    dir.wire.PushBack(c);
    return true;
}

bool VirtualLineCore::WaitReady(std::unique_lock<std::mutex>& lock, Direction& dir,
                                const LineFormat& receiver, Clock::time_point deadline,
                                const bool* interrupt) {
    for (;;) {
        const auto now = Clock::now();
        Settle(dir, receiver, now);
        if (dir.ready.Size() > dir.held) return true;
        if (interrupt != nullptr && *interrupt) return false;
        if (now >= deadline) return false;
        // Characters still on the wire become ready at their due time
        // without anyone signalling, so wake for the first of them, or for
        // the adapter's timer.
        auto until = deadline;
        if (!dir.wire.Empty()) until = std::min(until, dir.wire.Front().due);
        if (dir.held > 0) until = std::min(until, dir.releaseAt);
        dir.arrived.wait_until(lock, until);
    }
}

bool VirtualLineCore::OpenHost() {
    std::lock_guard lock(mutex_);
    if (hostOpen_) return false;
    hostOpen_ = true;
    return true;
}

void VirtualLineCore::CloseHost() {
    std::lock_guard lock(mutex_);
    hostOpen_ = false;
}

bool VirtualLineCore::SetHostFormat(const LineFormat& format) {
    if (!format.Valid()) return false;
    std::lock_guard lock(mutex_);
    Settle(toHost_, hostFormat_, Clock::now());
    hostFormat_ = format;
    return true;
}

bool VirtualLineCore::HostWrite(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) {
    const auto start = Clock::now();
    Clock::time_point last = start;
    std::function<void()> notify;
    bool paced = false;  // as of the enqueue; pacing_ may change on another thread
    {
        std::lock_guard lock(mutex_);
        for (std::uint8_t b : bytes) Enqueue(toPeer_, hostFormat_, b, false, 0, start);
        paced = pacing_;
        if (paced)
            last = std::max(last, toPeer_.busyUntil);
        else
            Settle(toPeer_, peerFormat_, start);
        notify = notify_;
    }
    toPeer_.arrived.notify_all();
    if (notify) notify();
    if (!paced) return true;
    // The write completes when its last character has left the line.
    // The OS may wake a sleeper early (Windows rounds to its tick), and a
    // write that returned before its last character is due was not sent.
    const auto giveUp = start + limit;
    const auto until = std::min(last, giveUp);
    while (Clock::now() < until) std::this_thread::sleep_until(until);
    return last <= giveUp;
}

std::size_t VirtualLineCore::HostRead(std::span<std::uint8_t> out) {
    std::lock_guard lock(mutex_);
    Settle(toHost_, hostFormat_, Clock::now());
    std::size_t n = 0;
    while (n < out.size() && toHost_.ready.Size() > toHost_.held) {
        out[n++] = toHost_.ready.Front().value;  // a break reads as 0x00
        toHost_.ready.PopFront();
    }
    return n;
}

bool VirtualLineCore::HostWait(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return WaitReady(lock, toHost_, hostFormat_, deadline, &hungUp_);
}

bool VirtualLineCore::HostHungUp() {
    std::lock_guard lock(mutex_);
    return hungUp_;
}

void VirtualLineCore::PeerHangUp() {
    {
        std::lock_guard lock(mutex_);
        hungUp_ = true;
    }
    toHost_.arrived.notify_all();
}

void VirtualLineCore::HostPurge(bool received, bool sent) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (received) {
        Settle(toHost_, hostFormat_, now);
        toHost_.ready.Clear();
        toHost_.held = 0;
    }
    if (sent) {
        toPeer_.wire.Clear();  // not yet delivered: only pacing leaves any
        toPeer_.busyUntil = now;
    }
}

void VirtualLineCore::HostBreak(std::uint32_t ms) {
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        Enqueue(toPeer_, hostFormat_, 0, true, ms, now);
        if (!pacing_) Settle(toPeer_, peerFormat_, now);
        notify = notify_;
    }
    toPeer_.arrived.notify_all();
    if (notify) notify();
}

bool VirtualLineCore::SetPeerFormat(const LineFormat& format) {
    if (!format.Valid()) return false;
    std::lock_guard lock(mutex_);
    Settle(toPeer_, peerFormat_, Clock::now());
    peerFormat_ = format;
    return true;
}

LineFormat VirtualLineCore::PeerFormat() {
    std::lock_guard lock(mutex_);
    return peerFormat_;
}

std::size_t VirtualLineCore::PeerSend(std::span<const std::uint8_t> bytes) {
    std::size_t queued = 0;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (std::uint8_t b : bytes)
            if (Enqueue(toHost_, peerFormat_, b, false, 0, now)) ++queued;
        if (!pacing_) Settle(toHost_, hostFormat_, now);
    }
    toHost_.arrived.notify_all();
    return queued;
}

void VirtualLineCore::PeerBreak(std::uint32_t ms) {
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        Enqueue(toHost_, peerFormat_, 0, true, ms, now);
        if (!pacing_) Settle(toHost_, hostFormat_, now);
    }
    toHost_.arrived.notify_all();
}

std::size_t VirtualLineCore::PeerReceive(std::span<LineUnit> out) {
    std::lock_guard lock(mutex_);
    Settle(toPeer_, peerFormat_, Clock::now());
    std::size_t n = 0;
    while (n < out.size() && !toPeer_.ready.Empty()) {
        out[n++] = toPeer_.ready.Front();
        toPeer_.ready.PopFront();
    }
    return n;
}

std::size_t VirtualLineCore::PeerAvailable() {
    std::lock_guard lock(mutex_);
    Settle(toPeer_, peerFormat_, Clock::now());
    return toPeer_.ready.Size();
}

bool VirtualLineCore::PeerWait(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const bool ready = WaitReady(lock, toPeer_, peerFormat_, deadline, &interrupt_);
    interrupt_ = false;
    return ready;
}

void VirtualLineCore::PeerInterrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupt_ = true;
    }
    toPeer_.arrived.notify_all();
}

void VirtualLineCore::PeerPurge(bool received, bool sent) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (received) {
        Settle(toPeer_, peerFormat_, now);
        toPeer_.ready.Clear();
    }
    if (sent) {
        toHost_.wire.Clear();
        toHost_.busyUntil = now;
    }
}

void VirtualLineCore::SetNotify(std::function<void()> notify) {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
}

void VirtualLineCore::SetPacing(bool on) {
    std::lock_guard lock(mutex_);
    if (pacing_ && !on) {
        // Whatever is on the wire arrives now.
        const auto now = Clock::now();
        for (Direction* d : {&toPeer_, &toHost_}) {
            for (std::size_t i = 0, n = d->wire.Size(); i < n; ++i) {
                OnWire c = d->wire.Front();
                d->wire.PopFront();
                c.due = now;
                d->wire.PushBack(c);
            }
        }
        Settle(toPeer_, peerFormat_, now);
        Settle(toHost_, hostFormat_, now);
    }
    pacing_ = on;
}

void VirtualLineCore::SetAdapterLatency(std::chrono::microseconds timer) {
    std::lock_guard lock(mutex_);
    adapterLatency_ = timer;
    toHost_.latency = lowLatency_ && timer.count() > 0 ? std::chrono::milliseconds(1) : timer;
}

bool VirtualLineCore::SetHostLowLatency(bool on) {
    std::lock_guard lock(mutex_);
    if (adapterLatency_.count() == 0) return false;
    lowLatency_ = on;
    // As an FTDI driver does: low latency sets the timer to 1 ms.
    toHost_.latency = on ? std::chrono::milliseconds(1) : adapterLatency_;
    return true;
}

bool VirtualLineCore::Pacing() {
    std::lock_guard lock(mutex_);
    return pacing_;
}

bool VirtualLineCore::HostOpen() {
    std::lock_guard lock(mutex_);
    return hostOpen_;
}

LineFormat VirtualLineCore::HostFormat() {
    std::lock_guard lock(mutex_);
    return hostFormat_;
}

std::uint64_t VirtualLineCore::OverrunsToPeer() {
    std::lock_guard lock(mutex_);
    return toPeer_.overruns;
}

std::uint64_t VirtualLineCore::OverrunsToHost() {
    std::lock_guard lock(mutex_);
    return toHost_.overruns;
}

// ------------------------------------------------------------- VirtualLineT

namespace {
// Guards the name of each VirtualLineT (Register/Unregister/Name may race).
std::mutex g_nameMutex;
std::map<const VirtualLineCore*, std::string>& Names() {
    static std::map<const VirtualLineCore*, std::string> names;
    return names;
}
}  // namespace

VirtualLineT::VirtualLineT() : core_(std::make_shared<VirtualLineCore>()) {}

VirtualLineT::VirtualLineT(std::string_view name) : VirtualLineT() { Register(name); }

VirtualLineT::~VirtualLineT() { Unregister(); }

bool VirtualLineT::Register(std::string_view name) {
    std::lock_guard lock(g_nameMutex);
    auto it = Names().find(core_.get());
    if (it != Names().end()) return it->second == name;
    if (!VirtualLineCore::Register(name, core_)) return false;
    Names().emplace(core_.get(), std::string(name));
    return true;
}

void VirtualLineT::Unregister() {
    std::lock_guard lock(g_nameMutex);
    auto it = Names().find(core_.get());
    if (it == Names().end()) return;
    VirtualLineCore::Unregister(it->second, core_.get());
    Names().erase(it);
}

bool VirtualLineT::Registered() const {
    std::lock_guard lock(g_nameMutex);
    return Names().contains(core_.get());
}

std::string VirtualLineT::Name() const {
    std::lock_guard lock(g_nameMutex);
    auto it = Names().find(core_.get());
    return it == Names().end() ? std::string() : it->second;
}

bool VirtualLineT::IsRegistered(std::string_view name) { return VirtualLineCore::Find(name) != nullptr; }

bool VirtualLineT::SetFormat(const LineFormat& format) { return core_->SetPeerFormat(format); }
LineFormat VirtualLineT::Format() const { return core_->PeerFormat(); }
std::size_t VirtualLineT::Send(std::span<const std::uint8_t> bytes) { return core_->PeerSend(bytes); }
bool VirtualLineT::Send(std::uint8_t byte) { return core_->PeerSend(std::span(&byte, 1)) == 1; }
void VirtualLineT::SendBreak(std::uint32_t ms) { core_->PeerBreak(ms); }
std::size_t VirtualLineT::Receive(std::span<LineUnit> out) { return core_->PeerReceive(out); }
std::size_t VirtualLineT::Available() const { return core_->PeerAvailable(); }
bool VirtualLineT::WaitReceive(Clock::time_point deadline) { return core_->PeerWait(deadline); }
bool VirtualLineT::WaitReceiveFor(std::chrono::milliseconds timeout) {
    return core_->PeerWait(Clock::now() + timeout);
}
void VirtualLineT::Interrupt() { core_->PeerInterrupt(); }
void VirtualLineT::HangUp() { core_->PeerHangUp(); }
void VirtualLineT::Purge(bool received, bool sent) { core_->PeerPurge(received, sent); }
void VirtualLineT::SetNotify(std::function<void()> notify) { core_->SetNotify(std::move(notify)); }
void VirtualLineT::SetPacing(bool on) { core_->SetPacing(on); }
void VirtualLineT::SetAdapterLatency(std::chrono::microseconds timer) { core_->SetAdapterLatency(timer); }
bool VirtualLineT::Pacing() const { return core_->Pacing(); }
bool VirtualLineT::HostOpen() const { return core_->HostOpen(); }
LineFormat VirtualLineT::HostFormat() const { return core_->HostFormat(); }
std::uint64_t VirtualLineT::OverrunsToPeer() const { return core_->OverrunsToPeer(); }
std::uint64_t VirtualLineT::OverrunsToHost() const { return core_->OverrunsToHost(); }
