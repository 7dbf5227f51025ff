#pragma once
// A board stand-in on the far end of a virtual line. It answers on the
// sender's thread, from the line's notify callback, so that a ManualClockT
// can run every wait of the link instantly and deterministically.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PortNames.h"
#include "TimerT.h"
#include "VirtualLine.h"

struct PeerRequest {
    enum Kind { Ping, Frame, Garbage, Enq } kind = Garbage;
    std::vector<std::uint8_t> bytes;  // exactly as they came off the wire
    std::int64_t atMs = 0;            // manual clock when it arrived
    std::uint8_t Cmd() const { return bytes.size() > 2 ? bytes[2] : 0; }
    std::vector<std::uint8_t> Data() const {
        return bytes.size() >= 6 ? std::vector<std::uint8_t>(bytes.begin() + 4, bytes.end() - 2)
                                 : std::vector<std::uint8_t>{};
    }
};

class ScriptedPeer {
public:
    // What to send back for the index-th request (0-based).
    using Policy = std::function<std::vector<std::uint8_t>(const PeerRequest&, std::size_t index)>;

    explicit ScriptedPeer(const LineFormat& format = {9600, 8, 0, 0})
        : name_("scripted-peer-" + std::to_string(counter_++)), line_(name_), scoped_(clock_) {
        line_.SetFormat(format);
        BindPort(0, name_);
        line_.SetNotify([this] { OnArrival(); });
    }
    ~ScriptedPeer() {
        line_.SetNotify({});
        UnbindAllPorts();
    }

    // Replaces the policy; its index counts from 0 again.
    void Answer(Policy policy) {
        policy_ = std::move(policy);
        answered_ = 0;
    }
    // Called with the last five bytes that were neither a ping nor a frame
    // (the hand-over messages), each time such a byte arrives.
    using GarbagePolicy = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>& lastFive)>;
    void AnswerGarbage(GarbagePolicy policy) { garbagePolicy_ = std::move(policy); }
    // Takes an ENQ that arrives alone as a request of its own (Enq) rather
    // than the head of a ping still to come.
    void TakeLoneEnq() { enqAlone_ = true; }
    void AckEverything() {
        policy_ = [](const PeerRequest&, std::size_t) { return std::vector<std::uint8_t>{0x06}; };
    }

    VirtualLineT& Line() { return line_; }
    ManualClockT& Clock() { return clock_; }
    const std::vector<PeerRequest>& Requests() const { return requests_; }
    std::vector<PeerRequest> Frames() const {
        std::vector<PeerRequest> out;
        for (const auto& r : requests_)
            if (r.kind == PeerRequest::Frame) out.push_back(r);
        return out;
    }

    static std::vector<std::uint8_t> DataFrame(std::uint8_t cmd, const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> f{0x02, 0x00, cmd, static_cast<std::uint8_t>(data.size())};
        unsigned sum = cmd + static_cast<unsigned>(data.size());
        for (auto b : data) {
            f.push_back(b);
            sum += b;
        }
        f.push_back(static_cast<std::uint8_t>(sum));
        f.push_back(0x03);
        return f;
    }

private:
    void OnArrival() {
        LineUnit units[512];
        std::size_t n = 0;
        while ((n = line_.Receive(units)) > 0)
            for (std::size_t i = 0; i < n; ++i) pending_.push_back(units[i].value);
        Parse();
    }

    void Parse() {
        static const std::vector<std::uint8_t> ping{0x05, 0x0A, 0x14, 0x28};
        while (!pending_.empty()) {
            PeerRequest r;
            std::size_t used = 0;
            if (pending_.size() >= 4 && std::equal(ping.begin(), ping.end(), pending_.begin())) {
                r.kind = PeerRequest::Ping;
                used = 4;
            } else if (pending_[0] == 0x02 && pending_.size() >= 4) {
                const std::size_t total = pending_[3] + 6U;
                if (pending_.size() < total) return;  // rest still to come
                r.kind = PeerRequest::Frame;
                used = total;
            } else if (pending_.size() == 1 && pending_[0] == 0x05 && enqAlone_) {
                // A lone ENQ: the loader asking a busy board how it is.
                r.kind = PeerRequest::Enq;
                used = 1;
            } else if (pending_[0] == 0x02 || (pending_[0] == 0x05 && pending_.size() < 4)) {
                return;
            } else {
                used = 1;
            }
            r.bytes.assign(pending_.begin(), pending_.begin() + static_cast<long>(used));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(used));
            r.atMs = clock_.NowMs();
            requests_.push_back(r);
            if (r.kind == PeerRequest::Garbage && garbagePolicy_) {
                recentGarbage_.push_back(r.bytes[0]);
                if (recentGarbage_.size() > 5) recentGarbage_.erase(recentGarbage_.begin());
                const auto reply = garbagePolicy_(recentGarbage_);
                if (!reply.empty()) line_.Send(reply);
            }
            if (policy_ && r.kind != PeerRequest::Garbage) {
                const auto reply = policy_(r, answered_++);
                if (!reply.empty()) line_.Send(reply);
            }
        }
    }

    static inline int counter_ = 0;
    std::string name_;
    VirtualLineT line_;
    ManualClockT clock_;
    ScopedClockT scoped_;
    Policy policy_;
    GarbagePolicy garbagePolicy_;
    std::vector<std::uint8_t> recentGarbage_;
    std::size_t answered_ = 0;
    bool enqAlone_ = false;
    std::vector<std::uint8_t> pending_;
    std::vector<PeerRequest> requests_;
};
