// termios backend of the port layer.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cstring>

#include "PortBackend.h"

namespace {

struct SpeedCode {
    std::uint32_t baud;
    speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool SpeedFor(std::uint32_t baud, speed_t& code) {
    for (const SpeedCode& s : kSpeeds) {
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    }
    return false;
}

class PosixPortT final : public PortBackendT {
public:
    PosixPortT(int fd, bool clearExclusive) : fd_(fd), clearExclusive_(clearExclusive) {}
    ~PosixPortT() override {
        if (fd_ >= 0) Close();
    }

    bool Configure(const LineFormat& f) override {
        speed_t speed{};
        if (!f.Valid() || !SpeedFor(f.baud, speed)) return false;
        // The UART gives 1.5 stop bits only with 5 data bits and 2 only with
        // 6 to 8, as the Windows line-state rules also require.
        if ((f.stopBits == 1 && f.dataBits != 5) || (f.stopBits == 2 && f.dataBits == 5)) return false;
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) return false;
        // Raw mode: no line editing, no translation, no flow control, no
        // input parity check (a bad character is delivered as received).
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        t.c_cflag |= CREAD | CLOCAL;
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= kSizes[f.dataBits - 5];
        switch (f.parity) {
            case 1: t.c_cflag |= PARENB | PARODD; break;
            case 2: t.c_cflag |= PARENB; break;
            case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
            case 4: t.c_cflag |= PARENB | CMSPAR; break;
            default: break;
        }
        if (f.stopBits != 0) t.c_cflag |= CSTOPB;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return false;
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
        charTime_ = f.CharTime();
        return ::tcflush(fd_, TCIOFLUSH) == 0;
    }

    bool Write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + limit;
        auto leftMs = [&] {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
        };
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return Failed(errno);
            const int ms = leftMs();
            if (ms == 0) return false;
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, ms) < 0 && errno != EINTR) return Failed(errno);
        }
        // Completion: the driver's output queue has gone out on the line.
        // Sleep for about the time the rest needs instead of spinning.
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return Failed(errno);
            if (queued <= 0) return true;
            const int ms = leftMs();
            if (ms == 0) return false;
            const auto need = std::chrono::ceil<std::chrono::milliseconds>(charTime_ * queued).count();
            const int nap = static_cast<int>(std::clamp<long long>(need, 1, ms));
            ::poll(nullptr, 0, nap);
        }
    }

    std::size_t Read(std::span<std::uint8_t> data) override {
        if (data.empty()) return 0;
        std::size_t held = 0;
        if (held_) {
            data[0] = *held_;
            held_.reset();
            held = 1;
            data = data.subspan(1);
            if (data.empty()) return held;
        }
        const ssize_t n = ::read(fd_, data.data(), data.size());
        // No byte waiting reads as 0 (VMIN 0) or EAGAIN; anything else is the
        // device failing (EIO once a pty's other end or a USB adapter is gone).
        if (n < 0 && errno != EAGAIN && errno != EINTR) Failed(errno);
        if (n > 0) return held + static_cast<std::size_t>(n);
        // A hung-up terminal also reads as 0: only its poll tells.
        pollfd p{fd_, POLLIN, 0};
        if (held == 0 && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            int queued = 0;
            if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued == 0) NameHangUp(p.revents);
            if (held_) return Read(data);
        }
        return held;
    }

    bool WaitInput(std::int32_t ms) override {
        if (held_) return true;
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, std::max(ms, 0));
        if (r <= 0) return false;
        // A device that has gone (an unplugged adapter, a closed pty master)
        // reports hang-up at once, every time, and a hung-up terminal also
        // claims POLLIN although every read gives 0 bytes. Only bytes really
        // queued count as input; otherwise sleep out the wait, or the caller
        // would spin until its deadline.
        const bool gone = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if ((p.revents & POLLIN) != 0) {
            if (!gone) return true;
            int queued = 0;
            if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) return true;
        }
        if (gone) {
            // Nothing queued and the device gone: say so, with the reason a
            // read gives (a byte that still came is kept for the next read).
            NameHangUp(p.revents);
            return held_.has_value();
        }
        if (ms > 0) ::poll(nullptr, 0, ms);
        return false;
    }

    bool PurgeInput() override {
        held_.reset();
        return ::tcflush(fd_, TCIFLUSH) == 0;
    }
    void BreakOn() override { ::ioctl(fd_, TIOCSBRK); }
    void BreakOff() override { ::ioctl(fd_, TIOCCBRK); }

    bool SetLowLatency(bool on) override {
#ifdef __linux__
        serial_struct s{};
        if (::ioctl(fd_, TIOCGSERIAL, &s) != 0) return false;
        if (!savedSerialFlags_) savedSerialFlags_ = s.flags;
        if (on) s.flags = static_cast<int>(static_cast<unsigned>(s.flags) | ASYNC_LOW_LATENCY);
        else s.flags = static_cast<int>(static_cast<unsigned>(s.flags) & ~static_cast<unsigned>(ASYNC_LOW_LATENCY));
        return ::ioctl(fd_, TIOCSSERIAL, &s) == 0;
#else
        (void)on;
        return false;
#endif
    }

    bool Close() override {
        const int fd = fd_;
        fd_ = -1;
#ifdef __linux__
        // The driver keeps the flag after close; leave it as we found it.
        if (savedSerialFlags_) {
            serial_struct s{};
            if (::ioctl(fd, TIOCGSERIAL, &s) == 0 && s.flags != *savedSerialFlags_) {
                s.flags = *savedSerialFlags_;
                ::ioctl(fd, TIOCSSERIAL, &s);
            }
        }
#endif
        // The flag belongs to the terminal, not to this descriptor: left set,
        // it outlives the close whenever another process (a simulator holding
        // its pseudo-terminal) keeps the device open, and refuses every later
        // open by an ordinary user.
        if (clearExclusive_) ::ioctl(fd, TIOCNXCL);
        return ::close(fd) == 0;
    }

private:
    bool Failed(int error) {
        SetFault(std::strerror(error));
        return false;
    }
    // A hang-up with nothing queued: the read's own error where it gives
    // one (EIO), else the hang-up itself.
    void NameHangUp(short revents) {
        std::uint8_t b = 0;
        const ssize_t n = ::read(fd_, &b, 1);
        if (n == 1) held_ = b;
        else if (n < 0 && errno != EAGAIN && errno != EINTR) Failed(errno);
        else if ((revents & POLLNVAL) != 0) Failed(EBADF);
        // The system fails every write to a hung-up terminal with EIO.
        else SetFault(std::string(std::strerror(EIO)) + " (the line hung up: the device is gone or its other end closed)");
    }

    int fd_;
    bool clearExclusive_;
    std::optional<std::uint8_t> held_;  // read while naming a hang-up
    std::optional<int> savedSerialFlags_;  // as found, once low latency was asked for
    std::chrono::microseconds charTime_{1042};  // 9600 8N1 until configured
};

}  // namespace

std::unique_ptr<PortBackendT> OpenSystemPort(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // Exclusive, as the Windows open with share mode 0: a second open of the
    // terminal by another process fails while we hold it. TIOCEXCL does not
    // stop a privileged process; the advisory lock stops cooperating tools.
    // The lock comes first, so that an open refused by it leaves the
    // holder's flag alone; only a flag we set ourselves is cleared again.
    int wasExclusive = 0;
    const char* why = nullptr;
    if (!::isatty(fd)) why = "not a terminal device";
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) why = "in use by another program";
    else if (::ioctl(fd, TIOCGEXCL, &wasExclusive) != 0 || ::ioctl(fd, TIOCEXCL) != 0) why = std::strerror(errno);
    if (why != nullptr) {
        error = why;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixPortT>(fd, wasExclusive == 0);
}
