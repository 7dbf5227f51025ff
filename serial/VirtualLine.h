#pragma once
// An in-process serial line: the port layer's second backend.
//
// A VirtualLineT is a two-ended line. The host end is reached through the
// ordinary port layer (CommOpen and friends, SerialIO, VesperilIO) by the
// name under which the line is registered; the peer end is this object's own
// API, used by the simulated board's DUART model and by scripted peers in
// tests. The owner of the object owns the peer end.
//
//     VirtualLineT line("sim:board");          // registered under that name
//     line.SetFormat({9600, 8, 0, 0});         // the board's end: 9600 8N1
//     BindPort(0, "sim:board");                // COM1 now reaches the line
//     ...                                      // loader thread: CommOpen("COM1", ...)
//     LineUnit in[64];
//     if (line.WaitReceiveFor(std::chrono::milliseconds(200))) {
//         std::size_t n = line.Receive(in);    // what the host sent
//         for (std::size_t i = 0; i < n; ++i)
//             if (in[i].kind == LineUnitKind::Data) { /* in[i].value */ }
//     }
//     const std::uint8_t ack = 0x06;
//     line.Send(std::span(&ack, 1));           // the host's CommRead sees 0x06
//
// Bytes and their formats. Each end has a line format (speed, data bits,
// parity, stop bits). A character remembers the format its sender had when it
// sent it; the receiver decodes it with the format the receiver has when the
// character is delivered (at once without pacing, at the end of its character
// time with pacing; a receiver that changes its format first takes delivery
// of everything already due under its old format). Decoding follows what a
// UART does, one character at a time on an otherwise idle line: the
// receiver samples the sender's frame (start bit, data bits LSB first,
// optional parity bit, stop bits, then idle mark) at the middle of each of
// its own bit cells, counted from the start bit's falling edge.
//   - Same format at both ends: the byte arrives intact (Data).
//   - Start-bit sample reads mark: the receiver saw a false start and nothing
//     arrives (for instance a receiver at less than half the sender's speed
//     whose start sample lands on a 1 data bit).
//   - Stop-bit sample reads space: FramingError, with the data bits sampled.
//   - Parity sample disagrees with the receiver's parity: ParityError.
//   - Otherwise Data, with the data bits as sampled, which may differ from
//     what was sent (a speed mismatch that happens to frame cleanly).
// A break is seen by the other end as one Break unit (value 0) whatever the
// formats. The host end of the port layer reads units as bytes, as a raw-mode
// terminal without input parity checking does: Data and error units give
// their sampled value, a Break gives 0x00.
//
// Queues. Each direction holds at most kQueueSize (4096) units between the
// sender and the reader, counting units still on the wire when pacing is on.
// Units sent into a full direction are lost and counted as overruns.
//
// Pacing (off by default). When on, each character takes its time on the
// wire: (1 start + data bits + parity bit + stop bits) bit times at the
// sender's speed, that is 10 bit times at 8N1 and 11 with parity; a break
// occupies the line for its duration. Characters become readable at the end
// of their time, in order, each direction on its own. Pacing uses the real
// monotonic clock, not the timer's injectable clock.
//
// Threads. Every operation is thread-safe: the simulated board runs on its
// own thread while the loader runs on another. Waiting blocks on a condition
// variable; nothing spins.
//
// Lifetime. Destroying the object unregisters the name. A host end that is
// still open stays valid: its writes succeed and go nowhere, and nothing more
// arrives, as with a board that has been unplugged.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "LineFormat.h"

enum class LineUnitKind : std::uint8_t {
    Data,          // a character received cleanly
    Break,         // the sender held the line at space for breakMs
    FramingError,  // the stop bit was sampled as space
    ParityError,   // the parity bit disagreed with the receiver's parity
};

// One received unit, as a UART's receiver would report it.
struct LineUnit {
    LineUnitKind kind = LineUnitKind::Data;
    std::uint8_t value = 0;     // data bits as sampled; 0 for a break
    std::uint32_t breakMs = 0;  // duration of a break; 0 otherwise
};

class VirtualLineCore;  // shared state of one line, also held by the port layer

class VirtualLineT {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kQueueSize = 4096;

    VirtualLineT();                                // not registered
    explicit VirtualLineT(std::string_view name);  // registered; check Registered()
    ~VirtualLineT();
    VirtualLineT(const VirtualLineT&) = delete;
    VirtualLineT& operator=(const VirtualLineT&) = delete;

    // Makes the line reachable by CommOpen(name) and by any PortNames row
    // bound to name. False when the name is empty or already taken, or this
    // line is registered under another name.
    bool Register(std::string_view name);
    // Removes the name; a host end already open stays open.
    void Unregister();
    bool Registered() const;
    std::string Name() const;
    // True when some line is registered under name.
    static bool IsRegistered(std::string_view name);

    // ---- Peer end ----

    // Sets the peer's own format; false (and nothing changed) when invalid.
    // The host's port fails for good, as when a USB adapter is unplugged.
    void HangUp();
    bool SetFormat(const LineFormat& format);
    LineFormat Format() const;

    // Sends bytes to the host end. Returns how many were queued; the rest
    // were lost to a full queue.
    std::size_t Send(std::span<const std::uint8_t> bytes);
    bool Send(std::uint8_t byte);
    // Sends a break of the given duration. It does not block the caller.
    void SendBreak(std::uint32_t ms);

    // Takes up to out.size() units that have arrived from the host end.
    // Never blocks; returns how many were stored.
    std::size_t Receive(std::span<LineUnit> out);
    // Number of units from the host end ready to be taken.
    std::size_t Available() const;
    // Blocks until a unit from the host end is ready, the deadline passes or
    // Interrupt is called. True when a unit is ready.
    bool WaitReceive(Clock::time_point deadline);
    bool WaitReceiveFor(std::chrono::milliseconds timeout);
    // Makes a current (or the next) WaitReceive return at once; for a peer
    // thread that is shutting down.
    void Interrupt();

    // Discards units received from the host end (received) and units this end
    // sent that the host has not yet taken delivery of (sent).
    void Purge(bool received = true, bool sent = true);

    // Called on the sending thread, without any lock of the line held, each
    // time the host end sends bytes or a break. With pacing the units may not
    // be ready yet. A scripted peer may call Receive and Send from it.
    void SetNotify(std::function<void()> notify);

    // ---- The line as a whole ----

    void SetPacing(bool on);
    bool Pacing() const;
    // Models a USB serial adapter's latency timer toward the host: received
    // bytes reach the host when the timer runs out after the first of them,
    // or at once when 62 are held. 0 (the default) for a plain UART. The
    // host's low-latency request (CommSetLowLatency) sets it to 1 ms.
    void SetAdapterLatency(std::chrono::microseconds timer);
    // Whether the port layer has the host end open, and the host's format.
    bool HostOpen() const;
    LineFormat HostFormat() const;
    // Units lost because a direction's queue was full.
    std::uint64_t OverrunsToPeer() const;
    std::uint64_t OverrunsToHost() const;

private:
    std::shared_ptr<VirtualLineCore> core_;
};
