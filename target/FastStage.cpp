#include "FastStage.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "FastStagePlan.h"
#include "FlashMap.h"
#include "SectorErase.h"
#include "TargetState.h"
#include "fast_stage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kTriesPerFrame = 8;      // sends of one frame before the stage counts as gone
constexpr std::int32_t kAnswerWait = 5;  // tenths: a window's answers, an inflated chunk's programming
// A stage that says it is busy (a sector erasing with the ring full, a full
// ring programming at the slowest flash times) is waited for this long, well
// past a sector's 8 s and the stage's own erase limit, before it counts as
// gone.
constexpr auto kStallLimit = std::chrono::seconds(60);
constexpr std::uint8_t kAliveSeq = 0xF2;

class StageLink {
public:
    explicit StageLink(VesperilIO& link) : link_(link) {}

    void Send(std::uint8_t seq, std::uint8_t command, std::span<const std::uint8_t> data, std::uint64_t* count) {
        const Bytes f = StageFrameBytes(seq, command, data);
        link_.Write(f);
        if (count) *count += f.size();
    }
    // n bytes within tenths of a second; false when they did not all come.
    bool Receive(std::span<std::uint8_t> out, std::int32_t tenths) {
        link_.SetTimeout(tenths);
        return link_.Read(out) == out.size();
    }
    bool Ping(std::uint8_t seq, int tries) {
        for (int i = 0; i < tries; ++i) {
            link_.PurgeInput();
            Send(seq, STAGE_CMD_PING, {}, nullptr);
            std::array<std::uint8_t, 2> a{};
            if (Receive(a, 1) && a[0] == STAGE_ACK && a[1] == seq) return true;
        }
        return false;
    }
    // The stage answers a ping at once, whatever it is doing: BUSY while
    // its ring cannot take a window of frames. True only for that answer.
    bool Busy() {
        for (int i = 0; i < 2; ++i) {
            link_.PurgeInput();
            Send(kAliveSeq, STAGE_CMD_PING, {}, nullptr);
            std::array<std::uint8_t, 2> a{};
            if (Receive(a, 2) && a[1] == kAliveSeq) return a[0] == STAGE_BUSY;
        }
        return false;
    }

    VesperilIO& link_;
};

// Stores the stage and its parameters, calls it, and finds it at the speed
// asked for or, failing that, at 38,400. The speed reached, or 0.
std::uint32_t StartStage(VesperilIO& link, const FastStageOptionsT& o) {
    const bool timer = o.baud != 38400;
    const std::array<std::uint8_t, 3> params{static_cast<std::uint8_t>(timer ? STAGE_SPEED_TIMER : STAGE_SPEED_KEEP),
                                             static_cast<std::uint8_t>(o.preload >> 8),
                                             static_cast<std::uint8_t>(o.preload)};
    if (link.WriteMemory(STAGE_BASE, std::span(fastStage, fastStageSize), 8) != 0 ||
        link.WriteMemory(STAGE_PARAMS, params, 8) != 0)
        return 0;
    // A lost ACK to the call leaves the stage running all the same: the
    // pings below tell.
    link.RunAt(STAGE_ENTRY);
    StageLink s(link);
    if (timer) {
        link.SetHostSpeed(static_cast<std::int32_t>(o.baud));
        if (s.Ping(0xF0, 3)) return o.baud;
    }
    // The stage gives up on the new speed by itself after about 0.4 s.
    link.SetHostSpeed(38400);
    return s.Ping(0xF1, 12) ? 38400u : 0u;
}

// The window of frames: sent ahead, answered in order; a missing answer
// sends again from the first unanswered frame.
int Stream(StageLink& s, const StagePlanT& plan, FastStageResultT& r,
           const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    const std::size_t n = plan.frames.size();
    std::size_t base = 0, next = 0;
    int tries = 0;
    std::uint64_t done = 0;
    auto moved = std::chrono::steady_clock::now();
    while (base < n) {
        while (next < n && next - base < STAGE_WINDOW) {
            const StageFrameT& f = plan.frames[next];
            s.Send(static_cast<std::uint8_t>(next), f.command, f.data, &r.lineBytes);
            ++next;
        }
        std::array<std::uint8_t, 2> a{};
        if (!s.Receive(a, kAnswerWait)) {
            // A stage whose ring is full (a sector erasing, the slowest
            // flash) has not lost the frames: waiting spends no try.
            const bool busy = std::chrono::steady_clock::now() - moved < kStallLimit && s.Busy();
            if (!busy && ++tries >= kTriesPerFrame) return kStageSilent;
            ++r.resends;
            s.link_.PurgeInput();
            next = base;
            continue;
        }
        if (a[0] == STAGE_NAK) return kStageProgramFailed;  // sticky: the end says which word
        if (a[0] != STAGE_ACK || a[1] != static_cast<std::uint8_t>(base)) continue;  // a repeat's answer
        done += plan.frames[base].fileBytes;
        ++base;
        tries = 0;
        moved = std::chrono::steady_clock::now();
        if (progress) progress(done, plan.fileBytes);
    }
    return 0;
}

struct StatusT {
    std::uint8_t code = 0;
    std::uint32_t address = 0, crc = 0, bytes = 0;
    unsigned blankSectors = 0;
};

std::uint32_t Long(std::span<const std::uint8_t> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

// The status, once the stage has done every frame: until then it answers
// END with ACK (NAK) SEQ, and is asked again.
bool End(StageLink& s, StatusT& st, std::uint64_t& lineBytes) {
    const auto until = std::chrono::steady_clock::now() + kStallLimit;
    for (int i = 0; i < 3;) {
        s.link_.PurgeInput();
        s.Send(0, STAGE_CMD_END, {}, &lineBytes);
        std::array<std::uint8_t, 2> first{};
        bool heard = s.Receive(first, 30);
        // Answers to the window's last frames may still be on their way
        // (after a sticky error the stage NAKs them as they come): passed over.
        for (int late = 0; heard && late < 8 && (first[0] == STAGE_ACK || first[0] == STAGE_NAK) && first[1] != 0;
             ++late)
            heard = s.Receive(first, 30);
        if (!heard) {
            ++i;
            continue;
        }
        if ((first[0] == STAGE_ACK || first[0] == STAGE_NAK) && first[1] == 0) {
            if (std::chrono::steady_clock::now() >= until) return false;
            // Most often the last chunk's programming or the check: soon.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        std::array<std::uint8_t, 4 + STAGE_STATUS_LEN> f{first[0], first[1]};
        if (!s.Receive(std::span(f).subspan(2), 10) || f[0] != STAGE_STX || f[1] != STAGE_CMD_END) {
            ++i;
            continue;
        }
        const auto body = std::span(f).subspan(2, STAGE_STATUS_LEN);
        if (StageCrc16(body) != ((f[2 + STAGE_STATUS_LEN] << 8) | f[3 + STAGE_STATUS_LEN])) {
            ++i;
            continue;
        }
        st = {body[0], Long(body.subspan(1, 4)), Long(body.subspan(5, 4)), Long(body.subspan(9, 4)), body[13]};
        return true;
    }
    return false;
}

// The daemon's loop again, at 38,400: the stage answers LEAVE, then moves
// to 38,400 once the answer has left; the daemon is asked (ENQ) before
// anything else is sent. A daemon found at 9600 (the stage took a break)
// is moved back to 38,400.
void Leave(StageLink& s) {
    for (int i = 0; i < 3; ++i) {
        s.link_.PurgeInput();
        s.Send(0x7E, STAGE_CMD_LEAVE, {}, nullptr);
        std::array<std::uint8_t, 2> a{};
        if (s.Receive(a, 3) && a[0] == STAGE_ACK) break;
    }
    VesperilIO& link = s.link_;
    // The daemon takes a frame only after a quiet line (3 ms): the ping's
    // tail and the stage's last bytes must be well past before the next.
    const auto quiet = [] { std::this_thread::sleep_for(std::chrono::milliseconds(15)); };
    quiet();
    link.SetHostSpeed(38400);
    if (link.Ping(2)) {
        quiet();
        return;
    }
    link.SetHostSpeed(9600);
    if (link.Ping(2)) {
        quiet();
        link.SetTargetSpeed(38400);
        link.SetHostSpeed(38400);
        link.Ping(2);
    }
    link.SetHostSpeed(38400);
    quiet();
}

}  // namespace

FastStageResultT UploadThroughStage(std::span<const std::int16_t> image, const FastStageOptionsT& options,
                                    const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    FastStageResultT r;
    if (!TargetLink || !daemonRunning) {
        r.result = kStageSilent;
        return r;
    }
    VesperilIO& link = *TargetLink;
    const StagePlanT plan = PlanStageUpload(image, options.compress, options.eraseSectors);
    r.fileBytes = plan.fileBytes;
    r.erases = plan.erases;
    const std::int32_t timeout = link.ReadTimeout();
    r.baud = StartStage(link, options);
    link.SetTimeout(timeout);
    r.fellBack = options.baud != 38400 && r.baud == 38400;
    StageLink s(link);
    if (r.baud == 0) {
        // Nothing erased: a stage that runs after all (a lost answer) is
        // asked to leave, and gives the line back by itself anyway after its
        // idle time; the caller finds the daemon again.
        link.SetHostSpeed(38400);
        Leave(s);
        link.SetTimeout(timeout);
        r.result = kStageSilent;
        return r;
    }
    r.started = true;
    const int streamed = Stream(s, plan, r, progress);
    StatusT st;
    const bool ended = End(s, st, r.lineBytes);
    Leave(s);
    link.SetTimeout(timeout);
    if (!ended) {
        r.result = kStageSilent;
        return r;
    }
    r.programmed = st.bytes;
    r.blankSectors = st.blankSectors;
    r.boardError = st.code;
    r.errorAddress = st.address;
    if (st.code == STAGE_ERR_SERIAL || (st.code == STAGE_ERR_ERASE && st.address >= kFlashSectors.back().start)) {
        // The stage's copy of the serial-number area is still in RAM: onto
        // the host's disk with it, as the daemon-side sector erase does.
        std::array<std::uint8_t, kFlashEnd - kSerialNumberStart> kept{}, again{};
        if (link.ReadMemory(STAGE_SERIAL_COPY, kept) == 0 && link.ReadMemory(STAGE_SERIAL_COPY, again) == 0 &&
            kept == again && std::ranges::any_of(kept, [](std::uint8_t b) { return b != 0xFF; }))
            r.serialRescue = WriteSerialRescueFile(kept);
    }
    if (st.code == STAGE_ERR_ERASE || st.code == STAGE_ERR_SERIAL)
        r.result = kStageEraseFailed;
    else if (st.code == STAGE_ERR_BLANK)
        r.result = kStageCheckFailed;
    else if (st.code != STAGE_OK || streamed == kStageProgramFailed)
        r.result = kStageProgramFailed;
    else if (streamed != 0)
        r.result = streamed;
    else if (st.bytes != plan.programmed || st.crc != plan.check)
        r.result = kStageCheckFailed;
    return r;
}
