#include <cstdio>
#include <string>

#include "DaemonImage.h"
#include "WorkflowFixture.h"

namespace {

std::string S3(std::uint32_t address, const Bytes& data) {
    char buf[8];
    std::string body;
    unsigned sum = static_cast<unsigned>(data.size() + 5);
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(data.size() + 5));
    body += buf;
    for (int i = 3; i >= 0; --i) {
        const unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        std::snprintf(buf, sizeof buf, "%02X", b);
        body += buf;
    }
    for (auto b : data) {
        sum += b;
        std::snprintf(buf, sizeof buf, "%02X", b);
        body += buf;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
    return "S3" + body + buf;
}

// An image shaped like the shipped one: 0x490000 to 0x4908C1 in records of
// 15 bytes, with a 6-byte record ending the first section at 0x49070D and a
// 1-byte record at 0x4908C1: 151 records.
std::string ShippedShape() {
    std::string text = "S00600004844521B";
    auto section = [&](std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t a = from; a <= to; a += 15) {
            const std::uint32_t n = std::min<std::uint32_t>(15, to - a + 1);
            Bytes d(n);
            for (std::uint32_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(a + i);
            text += S3(a, d);
        }
    };
    section(0x490000, 0x49070D);
    section(0x49070E, 0x4908C1);
    return text + "S503009765S70500000000FA";
}

class Download : public WorkflowTest {
protected:
    // The monitor acknowledges; the speed change is acknowledged at 9600
    // before the board moves to 38400.
    void Monitor() {
        OpenLink();
        peer.Answer([this](const PeerRequest& r, std::size_t) -> Bytes {
            if (r.Cmd() == 0x86) {
                peer.Line().Send(std::uint8_t{0x06});
                peer.Line().SetFormat({38400, 8, 0, 0});
                return {};
            }
            return {0x06};
        });
    }
};

TEST_F(Download, ShippedShapeGoesInTenBlocks) {
    Monitor();
    const std::string image = ShippedShape();
    EXPECT_EQ(DownloadDaemonImage(image.c_str(), progress), 0);
    const auto stores = FramesWith(0x81);
    const std::vector<std::pair<std::uint32_t, std::size_t>> expected{
        {0x490000, 240}, {0x4900F0, 240}, {0x4901E0, 240}, {0x4902D0, 240}, {0x4903C0, 240},
        {0x4904B0, 240}, {0x4905A0, 240}, {0x490690, 231}, {0x490777, 240}, {0x490867, 91}};
    ASSERT_EQ(stores.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Address(stores[i]), expected[i].first) << i;
        EXPECT_EQ(stores[i].Data().size(), expected[i].second + 4) << i;
        // Data arrives in order: each byte holds its address's low bits.
        EXPECT_EQ(stores[i].Data()[4], static_cast<std::uint8_t>(expected[i].first)) << i;
    }
    EXPECT_EQ(progress.events, (std::vector<std::string>{"set 17", "set 33", "set 49", "set 65", "set 81", "set 97",
                                                         "set 113", "set 129", "set 145", "fill"}));
    EXPECT_EQ(recordCounter, 152);
    ASSERT_EQ(FramesWith(0x82).size(), 1u);
    EXPECT_EQ(Address(FramesWith(0x82)[0]), 0x490000u);  // not the S7 address
    ASSERT_EQ(FramesWith(0x86).size(), 1u);
    EXPECT_EQ(FramesWith(0x86)[0].Data(), Bytes{0x0C});
    EXPECT_TRUE(daemonRunning);
    CommSettings s{};
    TargetLink->GetSettings(s);
    EXPECT_EQ(s.baudRate, 38400);
    EXPECT_TRUE(TargetLink->IsAlive());  // both ends agree afterwards
}

TEST_F(Download, GapsAndThe230ByteRuleSplitBlocks) {
    Monitor();
    std::string image = "S00600004844521B";
    for (int i = 0; i < 23; ++i) image += S3(0x490000 + 10u * static_cast<unsigned>(i), Bytes(10, 1));  // 230 bytes
    image += S3(0x4900E6, Bytes(10, 2));  // a block of exactly 230 takes one more
    image += S3(0x4900F0, Bytes(10, 3));  // now above 230: stored first
    image += S3(0x490200, Bytes(4, 4));   // after a gap
    image += "S5030019E3";
    EXPECT_EQ(DownloadDaemonImage(image.c_str(), progress), 0);
    const auto stores = FramesWith(0x81);
    ASSERT_EQ(stores.size(), 3u);
    EXPECT_EQ(stores[0].Data().size(), 4u + 240);
    EXPECT_EQ(Address(stores[1]), 0x4900F0u);
    EXPECT_EQ(stores[1].Data().size(), 4u + 10);
    EXPECT_EQ(Address(stores[2]), 0x490200u);
}

TEST_F(Download, MalformedImagesFailWithoutRunning) {
    const std::string noEnd = "S00600004844521B" + S3(0x490000, Bytes(15, 0));
    const std::string truncated = "S00600004844521B" + S3(0x490000, Bytes(15, 0)).substr(0, 20);
    const std::string skippedPastEnd = "S0FF0000";  // a count that runs past the text's end
    // Records are checked as a ROM file's are: a wrong checksum is no record.
    std::string badSum = "S00600004844521B" + S3(0x490000, Bytes(15, 0)) + "S5030001FB";
    badSum[16 + 40] = badSum[16 + 40] == '0' ? '1' : '0';
    for (const std::string& image : {noEnd, truncated, skippedPastEnd, std::string("S503000DEF"), badSum}) {
        Monitor();
        daemonRunning = false;
        EXPECT_EQ(DownloadDaemonImage(image.c_str(), progress), -104) << image;
        EXPECT_TRUE(FramesWith(0x82).empty());
        EXPECT_FALSE(daemonRunning);
    }
}

TEST_F(Download, UnacknowledgedStoreOrRunFails) {
    Monitor();
    peer.Answer([](const PeerRequest& r, std::size_t) { return r.Cmd() == 0x81 ? Bytes{0x15} : Bytes{0x06}; });
    EXPECT_EQ(DownloadDaemon(progress), -105);
    EXPECT_EQ(FramesWith(0x81).size(), 5u);  // one block, five sends
    EXPECT_FALSE(daemonRunning);

    peer.Answer([](const PeerRequest& r, std::size_t) { return r.Cmd() == 0x82 ? Bytes{} : Bytes{0x06}; });
    EXPECT_EQ(DownloadDaemon(progress), -103);
    EXPECT_FALSE(daemonRunning);
}

TEST_F(Download, RunningDaemonIsNotSentAgain) {
    Monitor();
    daemonRunning = true;
    EXPECT_EQ(DownloadDaemon(progress), 1);
    EXPECT_TRUE(peer.Requests().empty());
    EXPECT_TRUE(progress.events.empty());
}

TEST_F(Download, EmbeddedImageIsWellFormedForTheDownload) {
    const char* p = daemonImage;
    std::array<std::uint8_t, kImageRecordMax> data{};
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::uint32_t next = daemonLoadAddress;
    unsigned records = 0;
    int r = 0;
    while ((r = NextImageRecord(p, data, address, length)) == 1) {
        EXPECT_EQ(address, next);
        next = address + length;
        ++records;
    }
    EXPECT_EQ(r, 0);
    EXPECT_GT(records, 100u);
    EXPECT_LE(records, daemonMaxRecords);
}

}  // namespace
