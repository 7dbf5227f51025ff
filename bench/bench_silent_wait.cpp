// CPU used while the link waits on a board that says nothing.
//
// Each case runs one wait of the given length (default 10 s) and prints the
// wall time, the process's CPU time (user + system) and the CPU share of one
// core. The target is at most 5 %. Exit status 1 when a case exceeds it.
//
//   bench_silent_wait [seconds]
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "CommPort.h"
#include "PortNames.h"
#include "VesperilIO.h"
#include "VirtualLine.h"

namespace {

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

bool Measure(const char* what, const std::function<void()>& wait) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    wait();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    const double share = 100.0 * cpu / wall;
    std::printf("%-44s wall %7.3f s   cpu %7.4f s   %6.3f %% of one core\n", what, wall, cpu, share);
    return share <= 5.0;
}

}  // namespace

int main(int argc, char** argv) {
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
    if (seconds <= 0 || seconds > 600) {
        std::fprintf(stderr, "usage: %s [seconds 1..600]\n", argv[0]);
        return 2;
    }
    const auto tenths = static_cast<std::uint16_t>(seconds * 10);
    const auto whole = static_cast<std::uint16_t>(seconds);
    bool ok = true;

    {
        VirtualLineT line("bench-silent");
        line.SetFormat({9600, 8, 0, 0});
        BindPort(0, "bench-silent");
        VesperilIO link(0, 0xFFF000, 0x810);
        link.SetHostSpeed(9600);
        ok &= Measure("WaitAck, virtual line", [&] { link.WaitAck(tenths); });
        ok &= Measure("ReceiveFrame, virtual line", [&] { link.ReceiveFrame(link.Frame(), 0, whole); });
        link.SetTimeout(tenths);
        std::uint8_t b[4];
        ok &= Measure("SerialIO::Read with read time-out, virtual", [&] { link.Read(b); });
    }
    {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 2;
        }
        BindPort(0, ::ttyname(slave));
        VesperilIO link(0, 0xFFF000, 0x810);
        if (CommIsOpen() == 0) {
            std::fprintf(stderr, "cannot open %s\n", ::ttyname(slave));
            return 2;
        }
        ok &= Measure("WaitAck, pseudo-terminal (termios)", [&] { link.WaitAck(tenths); });
        ok &= Measure("ReceiveFrame, pseudo-terminal (termios)", [&] { link.ReceiveFrame(link.Frame(), 0, whole); });
        ::close(master);
        ::close(slave);
    }
    std::printf("%s\n", ok ? "all waits within 5 % of one core" : "a wait used more than 5 % of one core");
    return ok ? 0 : 1;
}
