// The process-wide port layer and SerialIO, over a virtual line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "CommPort.h"
#include "PortNames.h"
#include "SerialIO.h"
#include "TimerT.h"
#include "VirtualLine.h"

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes PeerData(VirtualLineT& line) {
    LineUnit in[8192];
    const std::size_t n = line.Receive(in);
    Bytes out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(in[i].value);
    return out;
}

class PortTest : public ::testing::Test {
protected:
    void TearDown() override {
        while (CommIsOpen() != 0) CommClose();
        UnbindAllPorts();
    }
    VirtualLineT line{"port-test"};
};

TEST_F(PortTest, ClosedPortFailsWithoutTouchingAnything) {
    ASSERT_EQ(CommIsOpen(), 0);
    const Bytes b{1};
    Bytes buf(4);
    EXPECT_EQ(CommConfigure(9600, 0, 8, 0), 1);
    EXPECT_EQ(CommPurgeInput(), 1);
    EXPECT_EQ(CommWrite(b), 1);
    EXPECT_EQ(CommRead(buf), 0);
    EXPECT_EQ(CommBreak(0), 0);
    EXPECT_EQ(CommClose(), 1);

    EXPECT_EQ(CommOpen("port-test", 9600, 0, 8, 0), 0);
    EXPECT_EQ(CommClose(), 0);
    EXPECT_EQ(CommClose(), 1);  // a second close fails
    EXPECT_FALSE(line.HostOpen());
}

TEST_F(PortTest, OpenByLineNameOrByBoundRow) {
    EXPECT_EQ(CommOpen("no-such-line-or-device", 9600, 0, 8, 0), 1);
    EXPECT_EQ(CommOpen("port-test", 0, 0, 8, 0), 1);   // no speed
    EXPECT_EQ(CommOpen("port-test", 9600, 0, 9, 0), 1);  // 9 data bits
    EXPECT_EQ(CommIsOpen(), 0);                           // a failed open leaves nothing open
    EXPECT_FALSE(line.HostOpen());

    ASSERT_EQ(BindPort(11, "port-test"), 0);
    EXPECT_EQ(CommOpen(PortNames[11], 19200, 2, 7, 2), 0);
    EXPECT_TRUE(line.HostOpen());
    EXPECT_EQ(line.HostFormat(), (LineFormat{19200, 7, 2, 2}));
    EXPECT_EQ(CommOpen("port-test", 9600, 0, 8, 0), 1);  // one port per process
    EXPECT_EQ(CommClose(), 0);
}

TEST_F(PortTest, ReadWritePurgeAndBreak) {
    ASSERT_EQ(CommOpen("port-test", 9600, 0, 8, 0), 0);
    const Bytes frame{0x02, 0x00, 0x8F, 0x00, 0x8F, 0x03};
    EXPECT_EQ(CommWrite(frame), 0);
    EXPECT_EQ(PeerData(line), frame);

    Bytes big(300, 0xAB);
    line.Send(big);
    Bytes buf(300);
    EXPECT_EQ(CommRead(buf), 256);  // at most 256 per read
    EXPECT_EQ(CommRead(std::span(buf).first(10)), 10);
    EXPECT_EQ(CommRead(buf), 34);
    EXPECT_EQ(CommRead(buf), 0);

    line.Send(Bytes{1, 2, 3});
    EXPECT_EQ(CommPurgeInput(), 0);
    EXPECT_EQ(CommRead(buf), 0);

    // Reconfiguring discards what was received and what was not yet sent.
    line.Send(Bytes{4, 5});
    EXPECT_EQ(CommConfigure(38400, 0, 8, 0), 0);
    EXPECT_EQ(CommRead(buf), 0);
    EXPECT_EQ(line.HostFormat().baud, 38400U);

    EXPECT_EQ(CommWrite(Bytes(kCommWriteMax + 1)), 1);
    EXPECT_EQ(CommWrite({}), 0);

    ManualClockT clock;
    ScopedClockT use(clock);
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(CommBreak(500), 0);
    EXPECT_EQ(clock.NowMs() - t0, 500);
    LineUnit u[2];
    ASSERT_EQ(line.Receive(u), 1U);
    EXPECT_EQ(u[0].kind, LineUnitKind::Break);
    EXPECT_EQ(u[0].breakMs, 500U);
}

TEST_F(PortTest, SerialIOOpensItsRowWithTheDefaults) {
    BindPort(0, "port-test");
    {
        SerialIO io(0);
        EXPECT_EQ(CommIsOpen(), 1);
        EXPECT_EQ(io.ReadTimeout(), 0);
        CommSettings s{};
        io.GetSettings(s);
        EXPECT_EQ(s.nominalBaud, 38400);
        EXPECT_EQ(s.baudRate, 38400);
        EXPECT_EQ(s.parity, 1);
        EXPECT_EQ(s.stopBits, 0);
        EXPECT_EQ(s.byteSize, 8);
        EXPECT_EQ(line.HostFormat(), (LineFormat{38400, 8, 1, 0}));

        // Changing the speed the way the link does keeps the format.
        s.nominalBaud = s.baudRate = 9600;
        EXPECT_EQ(io.Configure(s), 0);
        EXPECT_EQ(line.HostFormat(), (LineFormat{9600, 8, 1, 0}));
    }
    EXPECT_EQ(CommIsOpen(), 0);  // the destructor closes the shared port

    // Row 9 and on are the device-path names.
    EXPECT_STREQ(PortNames[8], "COM9");
    EXPECT_STREQ(PortNames[9], "\\\\.\\COM10");
    EXPECT_STREQ(PortNames[19], "\\\\.\\COM20");
    BindPort(9, "port-test");
    {
        SerialIO io(9);
        EXPECT_EQ(CommIsOpen(), 1);
    }
    SerialIO outside(20);  // no such row: not opened, and no crash
    EXPECT_EQ(CommIsOpen(), 0);
    EXPECT_EQ(outside.Open(CommSettings{}), 1);
}

TEST_F(PortTest, SerialIOReadAndWrite) {
    line.SetFormat({38400, 8, 1, 0});
    BindPort(0, "port-test");
    ManualClockT clock;
    ScopedClockT use(clock);
    SerialIO io(0);

    std::uint8_t b = 0xEE;
    EXPECT_EQ(io.ReadByte(b), SerialIO::kNothingWaiting);
    EXPECT_EQ(b, 0xEE);
    line.Send(Bytes{0x42});
    EXPECT_EQ(io.ReadByte(b), 0);
    EXPECT_EQ(b, 0x42);

    // Time-out 0: only what is already waiting.
    Bytes buf(4, 0);
    line.Send(Bytes{7, 8, 9});
    std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(io.Read(std::span(buf).first(2)), 2);
    EXPECT_EQ(io.Read(buf), 1);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(clock.NowMs(), t0);

    // Time-out 1.5 s bounds the whole read: 2 of 4 bytes come.
    io.SetTimeout(15);
    line.Send(Bytes{0x11, 0x22});
    t0 = clock.NowMs();
    EXPECT_EQ(io.Read(buf), 2);
    EXPECT_THAT(Bytes(buf.begin(), buf.begin() + 2), ElementsAre(0x11, 0x22));
    EXPECT_EQ(clock.NowMs() - t0, 1500);
    // Only the low 16 bits count, unsigned: 0x10005 is half a second.
    io.SetTimeout(0x10005);
    t0 = clock.NowMs();
    EXPECT_EQ(io.Read(buf), 0);
    EXPECT_EQ(clock.NowMs() - t0, 500);

    const Bytes out{1, 2, 3, 4, 5};
    EXPECT_EQ(io.Write(out), 5);
    EXPECT_EQ(PeerData(line), out);
    EXPECT_EQ(io.Write(Bytes(40000)), 0);
    EXPECT_EQ(io.PurgeInput(), 0);
}

TEST_F(PortTest, SerialIOWriteThatCannotFinishGivesNothing) {
    // At 300 baud a character needs 33 ms, more than the 10 ms per byte a
    // write may take: the write fails as a whole, never as a part count.
    line.SetFormat({300, 8, 0, 0});
    line.SetPacing(true);
    BindPort(0, "port-test");
    SerialIO io(0);
    ASSERT_EQ(io.Configure(CommSettings{300, 300, 0, 0, 8, 0}), 0);
    EXPECT_EQ(io.Write(Bytes{1, 2}), 0);
    line.SetPacing(false);
    EXPECT_EQ(io.Write(Bytes{1, 2}), 2);
}

TEST_F(PortTest, SerialIOOnAClosedPort) {
    ManualClockT clock;
    ScopedClockT use(clock);
    BindPort(3, "/nonexistent/tty");  // never a real port, whatever this machine has
    SerialIO io(3);
    EXPECT_EQ(CommIsOpen(), 0);
    EXPECT_EQ(io.Open(CommSettings{}), 1);
    std::uint8_t b = 0;
    EXPECT_EQ(io.ReadByte(b), SerialIO::kNothingWaiting);
    EXPECT_EQ(io.Write(Bytes{1}), 0);
    EXPECT_EQ(io.PurgeInput(), 1);
    EXPECT_EQ(io.Configure(CommSettings{}), 1);
    io.SetTimeout(3);
    Bytes buf(2);
    const std::int64_t t0 = clock.NowMs();
    EXPECT_EQ(io.Read(buf), 0);
    EXPECT_EQ(clock.NowMs() - t0, 300);
}

// A USB adapter holds what it receives until its latency timer runs out or a
// packet is full; low-latency mode, asked for at open, shortens the timer.
TEST_F(PortTest, AdapterLatencyTimerAndLowLatencyMode) {
    const Bytes one{0x06};
    Bytes buf(256);
    line.SetAdapterLatency(std::chrono::seconds(30));
    ASSERT_EQ(CommOpen("port-test", 38400, 0, 8, 0), 0);
    EXPECT_EQ(CommLowLatency(), 0);
    line.Send(one);
    EXPECT_EQ(CommWaitInput(50), 0);
    EXPECT_EQ(CommRead(buf), 0);
    line.Send(Bytes(61, 0x55));  // the 62nd byte fills the packet
    ASSERT_EQ(CommWaitInput(1000), 1);
    EXPECT_EQ(CommRead(buf), 62);
    ASSERT_EQ(CommClose(), 0);

    CommPreferLowLatency(true);
    ASSERT_EQ(CommOpen("port-test", 38400, 0, 8, 0), 0);
    CommPreferLowLatency(false);
    EXPECT_EQ(CommLowLatency(), 1);
    line.Send(one);
    ASSERT_EQ(CommWaitInput(5000), 1);
    EXPECT_EQ(CommRead(buf), 1);
    ASSERT_EQ(CommClose(), 0);

    // Closing put the adapter back: the next port waits for the timer again.
    ASSERT_EQ(CommOpen("port-test", 38400, 0, 8, 0), 0);
    line.Send(one);
    EXPECT_EQ(CommWaitInput(50), 0);
}

// A line without an adapter has no such mode, and the port still opens.
TEST_F(PortTest, LowLatencyWithoutAnAdapterLeavesAWorkingPort) {
    CommPreferLowLatency(true);
    ASSERT_EQ(CommOpen("port-test", 38400, 0, 8, 0), 0);
    CommPreferLowLatency(false);
    EXPECT_EQ(CommLowLatency(), 0);
    line.Send(Bytes{0x06});
    ASSERT_EQ(CommWaitInput(1000), 1);
}

TEST(PortNamesRule, AdaptersFirstThenBuiltInPortsByNumber) {
    const std::vector<std::string> present{"ttyS1",   "ttyACM0", "ttyUSB10", "tty0",  "ttyS0",
                                           "ttyUSB2", "ttyS10",  "ttyS2",    "ttyUSBx", "console"};
    EXPECT_THAT(OrderSerialDevices(present),
                ElementsAre("/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1",
                            "/dev/ttyS2", "/dev/ttyS10"));
    EXPECT_EQ(PortIndexOfName("COM1"), 0);
    EXPECT_EQ(PortIndexOfName("\\\\.\\COM20"), 19);
    EXPECT_EQ(PortIndexOfName("COM10"), -1);

    EXPECT_EQ(BindPort(20, "x"), 1);
    EXPECT_EQ(BindPort(-1, "x"), 1);
    EXPECT_EQ(BindPort(4, ""), 1);
    EXPECT_EQ(BindPort(4, "/dev/pts/7"), 0);
    EXPECT_EQ(PortDevice(4), "/dev/pts/7");
    UnbindPort(4);
    EXPECT_NE(PortDevice(4), "/dev/pts/7");
    EXPECT_EQ(PortDevice(20), "");
#ifdef _WIN32
    // Windows names its ports: an unbound row reaches the port of its name.
    EXPECT_EQ(PortDevice(4), "COM5");
    EXPECT_EQ(PortDevice(12), "\\\\.\\COM13");
#else
    // Unbound rows follow the devices present now.
    const auto present_now = ListSerialDevices();
    EXPECT_EQ(PortDevice(0), present_now.empty() ? std::string() : present_now[0]);
#endif
}

}  // namespace
