#include "PtyAttachment.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

std::uint32_t BaudOf(speed_t s) {
    switch (s) {
        case B50: return 50;
        case B110: return 110;
        case B134: return 134;
        case B150: return 150;
        case B200: return 200;
        case B300: return 300;
        case B600: return 600;
        case B1200: return 1200;
        case B1800: return 1800;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        case B230400: return 230400;
        default: return 0;
    }
}

}  // namespace

std::unique_ptr<PtyAttachment> PtyAttachment::Open(Board& board, std::string* error) {
    int master = -1;
    int slave = -1;
    std::array<char, 256> name{};
    termios t{};
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    if (openpty(&master, &slave, name.data(), &t, nullptr) != 0) {
        if (error) *error = std::string("openpty failed: ") + std::strerror(errno);
        return nullptr;
    }
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return std::make_unique<PtyAttachment>(board, master, slave, std::string(name.data()));
}

PtyAttachment::PtyAttachment(Board& board, int master, int slave, std::string path)
    : board_(board), master_(master), slave_(slave), path_(std::move(path)) {
    if (pipe(wake_) != 0) {
        wake_[0] = wake_[1] = -1;
    }
    board_.SetHostFormat(HostFormat());
    board_.SetHostSink([this](const WireChar& c) {
        // Nobody reading: the characters fall on the floor, as on a cable.
        const ssize_t n = write(master_, &c.byte, 1);
        (void)n;
    });
    reader_ = std::thread([this] { Reader(); });
}

PtyAttachment::~PtyAttachment() {
    stop_ = true;
    if (wake_[1] >= 0) {
        const char b = 0;
        const ssize_t n = write(wake_[1], &b, 1);
        (void)n;
    }
    if (reader_.joinable()) reader_.join();
    board_.SetHostSink(nullptr);
    for (int fd : {master_, slave_, wake_[0], wake_[1]}) {
        if (fd >= 0) close(fd);
    }
}

LineFormat PtyAttachment::HostFormat() const {
    termios t{};
    LineFormat f;
    if (tcgetattr(master_, &t) != 0) return f;
    f.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5: f.dataBits = 5; break;
        case CS6: f.dataBits = 6; break;
        case CS7: f.dataBits = 7; break;
        default: f.dataBits = 8; break;
    }
    f.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? Parity::Odd : Parity::Even) : Parity::None;
    f.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return f;
}

void PtyAttachment::Reader() {
    std::array<std::uint8_t, 512> buf{};
    LineFormat last = HostFormat();
    while (!stop_.load()) {
        std::array<pollfd, 2> fds{{{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}}};
        const int r = poll(fds.data(), wake_[0] >= 0 ? 2 : 1, 200);
        if (r < 0 && errno != EINTR) break;
        // The host may change speed at any time; the board samples with what is set now.
        const LineFormat f = HostFormat();
        if (!(f == last)) {
            board_.SetHostFormat(f);
            last = f;
        }
        if (r <= 0 || (fds[0].revents & POLLIN) == 0) continue;
        const ssize_t n = read(master_, buf.data(), buf.size());
        if (n > 0) board_.HostSend(std::span(buf.data(), static_cast<std::size_t>(n)), f);
    }
}

}  // namespace sim
