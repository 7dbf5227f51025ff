// How much host CPU the simulated board needs to serve a full programming
// sequence: the real daemon (from the embedded image) runs on the simulated
// CPU, the flash is erased, then 512 KiB are programmed in 0x84 frames of 244
// data bytes, each answered with ACK. The host side is driven in-process on
// the same thread, so the CPU time measured is the board's (plus framing).
//
//   cmake --build <dir> --target bench_sim && <dir>/bench/bench_sim [typical]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "Board.h"
#include "DaemonImage.h"
#include "HexConv.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t cmd, const Bytes& data) {
    Bytes f{0x02, 0x00, cmd, static_cast<std::uint8_t>(data.size())};
    unsigned sum = cmd + static_cast<unsigned>(data.size());
    for (std::uint8_t b : data) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>(sum));
    f.push_back(0x03);
    return f;
}

Bytes WithAddress(std::uint32_t a, const Bytes& rest = {}) {
    Bytes d(4 + rest.size());
    for (unsigned i = 0; i < 4; ++i) d[i] = static_cast<std::uint8_t>(a >> (24 - 8 * i));
    std::copy(rest.begin(), rest.end(), d.begin() + 4);
    return d;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Sends a frame and runs the board until `answers` characters came back.
bool Exchange(sim::Board& b, const Bytes& frame, std::size_t answers, Bytes* got, const sim::LineFormat& f,
              sim::Picos limit = 30 * sim::kPicosPerSecond) {
    b.HostSend(frame, f);
    Bytes local;
    Bytes& out = got ? *got : local;
    out.clear();
    return b.RunUntil(
        [&] {
            for (const auto& c : b.TakeHostReceived()) out.push_back(c.byte);
            return out.size() >= answers;
        },
        limit);
}

// The S3 records of the embedded image, as (address, bytes).
std::vector<std::pair<std::uint32_t, Bytes>> DaemonRecords() {
    std::vector<std::pair<std::uint32_t, Bytes>> r;
    const char* p = daemonImage;
    while (*p == 'S') {
        std::uint8_t count = 0;
        HexToByte(p + 2, 1, count);
        if (p[1] == '3') {
            std::uint32_t a = 0;
            HexToLong(p + 4, 4, a);
            Bytes d(count - 5u);
            for (std::size_t i = 0; i < d.size(); ++i) HexToByte(p + 12 + 2 * i, 1, d[i]);
            r.emplace_back(a, d);
        }
        p += 4 + 2 * count;
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // "typical" as the argument: the data sheet's flash times instead of instant ones.
    const bool typical = argc > 1 && std::strcmp(argv[1], "typical") == 0;
    sim::BoardOptions o;  // unpaced
    o.timing = typical ? sim::TimingProfile::Typical : sim::TimingProfile::Instant;
    auto board = sim::Board::Create(o);
    if (!board) return 1;
    sim::Board& b = *board;
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds();
    const sim::Picos sim0 = b.Now();

    // Chip selects for the flash and the RAM, then the daemon, 225 bytes a frame.
    Bytes ack;
    // Chip selects 1 and 2, mask then base: flash at 0x400000, RAM above it.
    bool ok = Exchange(b, Frame(0x81, WithAddress(0xFFF048, {0x00, 0x07, 0xFF, 0x7D, 0x00, 0x40, 0x00, 0x13})), 1,
                       &ack, sim::k9600_8N1);
    ok = ok && Exchange(b, Frame(0x81, WithAddress(0xFFF050, {0x00, 0x0F, 0xFF, 0x71, 0x00, 0x49, 0x00, 0x13})), 1,
                        &ack, sim::k9600_8N1);
    Bytes block;
    std::uint32_t blockAt = 0;
    for (const auto& [a, d] : DaemonRecords()) {
        if (!block.empty() && (blockAt + block.size() != a || block.size() + d.size() > 225)) {
            ok = ok && Exchange(b, Frame(0x81, WithAddress(blockAt, block)), 1, &ack, sim::k9600_8N1);
            block.clear();
        }
        if (block.empty()) blockAt = a;
        block.insert(block.end(), d.begin(), d.end());
    }
    if (!block.empty()) ok = ok && Exchange(b, Frame(0x81, WithAddress(blockAt, block)), 1, &ack, sim::k9600_8N1);
    if (!ok) {
        std::fprintf(stderr, "bench_sim: the daemon download failed\n");
        return 1;
    }
    ok = Exchange(b, Frame(0x82, WithAddress(daemonLoadAddress)), 1, &ack, sim::k9600_8N1);
    ok = ok && Exchange(b, Frame(0x86, {0x0C}), 1, &ack, sim::k9600_8N1) && ack[0] == 0x06;
    b.SetHostFormat(sim::k38400_8N1);
    if (!ok) {
        std::fprintf(stderr, "bench_sim: the daemon did not start (board %s, %zu faults)\n", sim::ToString(b.Mode()),
                     b.Faults().size());
        for (const auto& f : b.Faults()) std::fprintf(stderr, "  %s at PC 0x%06X\n", f.text.c_str(), f.pc);
        return 1;
    }
    const double cpuStart = CpuSeconds();
    const sim::Picos simStart = b.Now();

    ok = Exchange(b, Frame(0x8F, {}), 2, &ack, sim::k38400_8N1) && ack == Bytes{0x06, 0x06};
    if (!ok) {
        std::fprintf(stderr, "bench_sim: erase failed\n");
        return 1;
    }
    constexpr std::uint32_t kChunk = 244;
    unsigned frames = 0;
    unsigned naks = 0;
    std::size_t bytesOnLine = 0;
    for (std::uint32_t off = 0; off < sim::Am29f400::kSize; off += kChunk) {
        const std::uint32_t n = std::min(kChunk, sim::Am29f400::kSize - off);
        Bytes data(n);
        for (std::uint32_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>((off + i) * 7 + 1);
        const Bytes f = Frame(0x84, WithAddress(sim::kFlashBase + off, data));
        bytesOnLine += f.size();
        if (!Exchange(b, f, 1, &ack, sim::k38400_8N1) || ack[0] != 0x06) ++naks;
        ++frames;
    }
    const double cpu1 = CpuSeconds();
    const auto wall1 = std::chrono::steady_clock::now();
    const sim::Picos sim1 = b.Now();

    // The daemon idles on its thread: after its poll-count time-outs have
    // run out the board waits for the host without spinning.
    b.Start();
    const double idle0 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double idle1 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idle2 = CpuSeconds();
    b.Stop();

    const auto flash = b.FlashContents();
    std::size_t wrong = 0;
    for (std::uint32_t i = 0; i < flash.size(); ++i) {
        if (flash[i] != static_cast<std::uint8_t>(i * 7 + 1)) ++wrong;
    }
    std::printf("simulated board: full 512 KiB programming sequence through the daemon (unpaced, %s flash times)\n",
                typical ? "typical" : "instant");
    std::printf("  frames: %u 0x84 frames of up to %u data bytes (%zu bytes on the line), NAK or no answer: %u\n",
                frames, kChunk, bytesOnLine, naks);
    std::printf("  flash bytes differing from what was sent: %zu\n", wrong);
    std::printf("  host CPU, erase + programming: %.2f s (target: under 10 s)\n", cpu1 - cpuStart);
    std::printf("  host CPU, including bring-up and daemon download at 9600: %.2f s\n", cpu1 - cpu0);
    std::printf("  wall clock, everything: %.2f s\n", std::chrono::duration<double>(wall1 - wall0).count());
    std::printf("  board time, erase + programming: %.2f s (the line at 38400 alone needs %.2f s)\n",
                static_cast<double>(sim1 - simStart) / 1e12, static_cast<double>(bytesOnLine) * 10.0 / 38400.0);
    std::printf("  board time, everything: %.2f s\n", static_cast<double>(sim1 - sim0) / 1e12);
    std::printf("  idle daemon on the board's thread: %.1f%% of a core in the first second, %.1f%% after\n",
                (idle1 - idle0) * 100.0, (idle2 - idle1) * 50.0);
    return (naks == 0 && wrong == 0) ? 0 : 1;
}
