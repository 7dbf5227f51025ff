// The termios backend over a real pseudo-terminal pair.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CommPort.h"
#include "PortNames.h"
#include "SerialIO.h"
#include "TimerT.h"

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<std::uint8_t>;

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        path = ::ttyname(slave);
    }
    void TearDown() override {
        while (CommIsOpen() != 0) CommClose();
        UnbindAllPorts();
        ::close(master);
        ::close(slave);
    }
    // The slave's settings, read through the descriptor openpty gave us.
    termios Settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(slave, &t), 0);
        return t;
    }
    Bytes ReadMaster(std::size_t want) const {
        Bytes out;
        while (out.size() < want) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            std::uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

// A pseudo-terminal keeps the speed, PARODD, CMSPAR and CSTOPB it is given
// but forces CS8 and clears PARENB itself, so those two cannot be seen here.
TEST_F(PtyTest, LineSettingsReachTheTerminal) {
    constexpr tcflag_t kParityBits = PARODD | CMSPAR;
    ASSERT_EQ(CommOpen(path.c_str(), 9600, 2, 7, 0), 0);  // even
    termios t = Settings();
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_EQ(::cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & kParityBits, 0U);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0U);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);  // raw
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP), 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0U);
    EXPECT_NE(t.c_cflag & CLOCAL, 0U);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    ASSERT_EQ(CommConfigure(38400, 3, 8, 2), 0);  // mark parity, two stop bits
    t = Settings();
    EXPECT_EQ(::cfgetospeed(&t), B38400);
    EXPECT_EQ(t.c_cflag & kParityBits, kParityBits);
    EXPECT_NE(t.c_cflag & CSTOPB, 0U);

    ASSERT_EQ(CommConfigure(1200, 4, 5, 1), 0);  // space parity, 1.5 stop bits
    t = Settings();
    EXPECT_EQ(::cfgetospeed(&t), B1200);
    EXPECT_EQ(t.c_cflag & kParityBits, static_cast<tcflag_t>(CMSPAR));
    EXPECT_NE(t.c_cflag & CSTOPB, 0U);

    ASSERT_EQ(CommConfigure(115200, 1, 8, 0), 0);  // odd
    t = Settings();
    EXPECT_EQ(::cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & kParityBits, static_cast<tcflag_t>(PARODD));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0U);

    // Refused, and the line keeps its settings.
    EXPECT_EQ(CommConfigure(12345, 0, 8, 0), 1);
    EXPECT_EQ(CommConfigure(9600, 0, 8, 1), 1);  // 1.5 stop bits only with 5 data bits
    EXPECT_EQ(CommConfigure(9600, 0, 5, 2), 1);  // 2 stop bits not with 5
    EXPECT_EQ(CommConfigure(9600, 5, 8, 0), 1);
    EXPECT_EQ(CommConfigure(9600, 0, 4, 0), 1);
    t = Settings();
    EXPECT_EQ(::cfgetospeed(&t), B115200);
}

TEST_F(PtyTest, ReadWriteAndPurge) {
    ASSERT_EQ(BindPort(0, path), 0);
    SerialIO io(0);
    ASSERT_EQ(CommIsOpen(), 1);

    Bytes out(300);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(io.Write(out), 300);
    EXPECT_EQ(ReadMaster(300), out);

    std::uint8_t b = 0;
    EXPECT_EQ(io.ReadByte(b), SerialIO::kNothingWaiting);
    const Bytes in{0x06, 0x0D, 0x0A, 0x11, 0x03};  // raw: CR, LF, XON, ^C pass untouched
    ASSERT_EQ(::write(master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    io.SetTimeout(20);
    Bytes got(5);
    EXPECT_EQ(io.Read(got), 5);
    EXPECT_EQ(got, in);

    ASSERT_EQ(::write(master, "xyz", 3), 3);
    ASSERT_EQ(CommWaitInput(2000), 1);
    EXPECT_EQ(io.PurgeInput(), 0);
    EXPECT_EQ(CommWaitInput(0), 0);
    io.SetTimeout(0);
    EXPECT_EQ(io.Read(got), 0);
    EXPECT_EQ(CommBreak(5), 0);
}

// A terminal that has hung up claims input for ever while every read gives
// nothing; taking that for input turns each wait into a busy loop. The
// hang-up (the pty's owner dying, as an unplugged adapter) is named with the
// system's reason, and a read waiting on it ends at once.
TEST_F(PtyTest, AHungUpLineIsNamedAndEndsTheWait) {
    ASSERT_EQ(BindPort(0, path), 0);
    SerialIO io(0);
    ASSERT_EQ(CommIsOpen(), 1);
    ASSERT_EQ(::write(master, "\x06", 1), 1);
    ASSERT_EQ(CommWaitInput(2000), 1);  // a real byte still counts
    std::uint8_t b = 0;
    Bytes one(1);
    ASSERT_EQ(CommRead(one), 1);
    EXPECT_EQ(one[0], 0x06);
    EXPECT_EQ(CommLineFailed(), 0);

    ::close(master);
    master = -1;
    ManualClockT clock;
    ScopedClockT useClock(clock);
    const auto before = clock.NowMs();
    io.SetTimeout(100);
    Bytes got(4);
    EXPECT_EQ(io.Read(got), 0);
    EXPECT_EQ(clock.NowMs(), before);  // not the 10 s time-out
    EXPECT_EQ(CommWaitInput(0), 0);
    EXPECT_EQ(CommRead(std::span(&b, 1)), 0);
    EXPECT_EQ(CommLineFailed(), 1);
    // EIO from the read, or the hang-up that fails every write with it.
    EXPECT_EQ(CommLineError().rfind("the port " + path + " failed: Input/output error", 0), 0u) << CommLineError();
    EXPECT_EQ(io.Write(one), 0);
    // Still named after the close; the next open starts clean.
    CommClose();
    EXPECT_EQ(CommLineFailed(), 1);
    CommOpen("/dev/null", 9600, 0, 8, 0);
    EXPECT_EQ(CommLineFailed(), 0);
    EXPECT_EQ(CommLineError(), "");
}

TEST_F(PtyTest, OpenIsExclusive) {
    ASSERT_EQ(CommOpen(path.c_str(), 9600, 0, 8, 0), 0);
    int excl = 0;
    ASSERT_EQ(::ioctl(slave, TIOCGEXCL, &excl), 0);
    EXPECT_NE(excl, 0);
    // A second open, even a privileged one that TIOCEXCL lets through,
    // cannot take the lock.
    const int other = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
        ::close(other);
    }
    EXPECT_EQ(CommClose(), 0);
    EXPECT_EQ(CommClose(), 1);
    // A file that is not a terminal is not a port.
    EXPECT_EQ(CommOpen("/dev/null", 9600, 0, 8, 0), 1);
    EXPECT_EQ(CommIsOpen(), 0);
}

// Whether an unprivileged user can open the device now. Root passes an
// exclusive terminal anyway, so as root the open is tried as nobody.
bool OpensAsNobody(const std::string& device) {
    const std::string open = "sh -c ': <>\"$0\"' " + device;
    const std::string cmd =
        ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " + open : open;
    return std::system((cmd + " 2>/dev/null").c_str()) == 0;
}

// zelmo-sim keeps its end of the terminal open between runs; an exclusive
// flag left behind would refuse every later run of an ordinary user.
TEST_F(PtyTest, CloseGivesUpExclusivity) {
    ASSERT_EQ(::fchmod(slave, 0666), 0);
    ASSERT_TRUE(OpensAsNobody(path));
    ASSERT_EQ(CommOpen(path.c_str(), 9600, 0, 8, 0), 0);
    EXPECT_FALSE(OpensAsNobody(path));
    EXPECT_EQ(CommClose(), 0);
    EXPECT_TRUE(OpensAsNobody(path));
    // A refused open leaves another holder's exclusivity alone.
    const int holder = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(CommOpen(path.c_str(), 9600, 0, 8, 0), 1);
    EXPECT_FALSE(OpensAsNobody(path));
    ::ioctl(holder, TIOCNXCL);
    ::close(holder);
}

}  // namespace
