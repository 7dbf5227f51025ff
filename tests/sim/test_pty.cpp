// zelmo-sim's attachment: a host program on the pseudo-terminal pings the monitor.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "PtyAttachment.h"

namespace {

int OpenHost(const std::string& path, speed_t speed) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

std::vector<std::uint8_t> ReadFor(int fd, int ms) {
    std::vector<std::uint8_t> r;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
        std::uint8_t buf[64];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        r.insert(r.end(), buf, buf + n);
        if (!r.empty()) ms = 100;
    }
    return r;
}

TEST(Pty, HostPingsMonitorAtTheRightSpeedOnly) {
    auto board = sim::Board::Create({});
    ASSERT_NE(board, nullptr);
    std::string error;
    auto pty = sim::PtyAttachment::Open(*board, &error);
    ASSERT_NE(pty, nullptr) << error;
    board->Start();
    const int fd = OpenHost(pty->Path(), B9600);
    ASSERT_GE(fd, 0);
    const std::uint8_t ping[] = {0x05, 0x0A, 0x14, 0x28};
    ASSERT_EQ(write(fd, ping, sizeof ping), 4);
    EXPECT_EQ(ReadFor(fd, 3000), std::vector<std::uint8_t>{0x06});

    termios t{};
    tcgetattr(fd, &t);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    tcsetattr(fd, TCSANOW, &t);
    ASSERT_EQ(write(fd, ping, sizeof ping), 4);
    for (std::uint8_t b : ReadFor(fd, 500)) EXPECT_NE(b, 0x06);
    close(fd);
    board->Stop();
}

}  // namespace
