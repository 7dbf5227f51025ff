#pragma once
// Shared state of one virtual line. Internal to the serial library: the peer
// end is VirtualLineT, the host end is the port layer's virtual backend.
#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "VirtualLine.h"

// What a receiver with format `receiver` makes of `value` sent at `sender`;
// nothing when it sees a false start. See the rule in VirtualLine.h.
std::optional<LineUnit> DecodeCharacter(std::uint8_t value, const LineFormat& sender,
                                        const LineFormat& receiver);

// Fixed-capacity ring; never allocates after construction.
template <typename T, std::size_t N>
class RingT {
public:
    bool Full() const { return count_ == N; }
    bool Empty() const { return count_ == 0; }
    std::size_t Size() const { return count_; }
    T& Front() { return (*items_)[head_]; }
    void PushBack(const T& item) {
        (*items_)[(head_ + count_) % N] = item;
        ++count_;
    }
    void PopFront() {
        head_ = (head_ + 1) % N;
        --count_;
    }
    void Clear() { head_ = count_ = 0; }

private:
    std::unique_ptr<std::array<T, N>> items_ = std::make_unique<std::array<T, N>>();
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

class VirtualLineCore {
public:
    using Clock = VirtualLineT::Clock;

    // Registry of names reachable by CommOpen.
    static std::shared_ptr<VirtualLineCore> Find(std::string_view name);
    static bool Register(std::string_view name, const std::shared_ptr<VirtualLineCore>& core);
    static void Unregister(std::string_view name, const VirtualLineCore* core);

    // ---- Host end (port layer) ----
    bool OpenHost();  // false when already open
    void CloseHost();
    bool SetHostFormat(const LineFormat& format);
    // Queues bytes toward the peer; with pacing, blocks until they are on the
    // wire's far side or limit passes. False when the limit passed.
    bool HostWrite(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit);
    std::size_t HostRead(std::span<std::uint8_t> out);
    bool HostWait(Clock::time_point deadline);
    void HostPurge(bool received, bool sent);
    void HostBreak(std::uint32_t ms);
    // The peer hung up (a vanished device); for good.
    bool HostHungUp();

    // ---- Peer end (VirtualLineT) ----
    bool SetPeerFormat(const LineFormat& format);
    LineFormat PeerFormat();
    std::size_t PeerSend(std::span<const std::uint8_t> bytes);
    void PeerBreak(std::uint32_t ms);
    std::size_t PeerReceive(std::span<LineUnit> out);
    std::size_t PeerAvailable();
    bool PeerWait(Clock::time_point deadline);
    void PeerInterrupt();
    // The line goes dead for the host, as when a USB adapter is unplugged.
    void PeerHangUp();
    void PeerPurge(bool received, bool sent);
    void SetNotify(std::function<void()> notify);

    void SetPacing(bool on);
    bool Pacing();
    // A USB adapter's latency timer on the way to the host (0: none).
    void SetAdapterLatency(std::chrono::microseconds timer);
    // The host's low-latency request: false when there is no adapter to
    // take it.
    bool SetHostLowLatency(bool on);
    bool HostOpen();
    LineFormat HostFormat();
    std::uint64_t OverrunsToPeer();
    std::uint64_t OverrunsToHost();

private:
    struct OnWire {
        std::uint8_t value = 0;
        bool isBreak = false;
        std::uint32_t breakMs = 0;
        LineFormat sender;
        Clock::time_point due;
    };
    // One direction of the line: characters still on the wire, then units
    // delivered to the receiver and not yet taken.
    struct Direction {
        RingT<OnWire, VirtualLineT::kQueueSize> wire;
        RingT<LineUnit, VirtualLineT::kQueueSize> ready;
        Clock::time_point busyUntil{};
        std::uint64_t overruns = 0;
        // Units at the tail of `ready` that an adapter still holds, and when
        // its latency timer lets them go.
        std::size_t held = 0;
        Clock::time_point releaseAt{};
        std::chrono::microseconds latency{0};
        std::condition_variable arrived;
    };

    // All with mutex_ held.
    void Settle(Direction& dir, const LineFormat& receiver, Clock::time_point now);
    bool Enqueue(Direction& dir, const LineFormat& sender, std::uint8_t value, bool isBreak,
                 std::uint32_t breakMs, Clock::time_point now);
    bool WaitReady(std::unique_lock<std::mutex>& lock, Direction& dir, const LineFormat& receiver,
                   Clock::time_point deadline, const bool* interrupt);

    std::mutex mutex_;
    Direction toPeer_;
    Direction toHost_;
    LineFormat hostFormat_;
    LineFormat peerFormat_;
    bool hostOpen_ = false;
    bool pacing_ = false;
    std::chrono::microseconds adapterLatency_{0};
    bool lowLatency_ = false;
    bool interrupt_ = false;
    bool hungUp_ = false;
    std::function<void()> notify_;
};
