#include <gtest/gtest.h>

#include <cctype>

#include "SrecTestUtil.h"
#include "SxRecord.h"

namespace {

using Status = SXFILE_T::Status;
constexpr int kRead = kModeIn | kModeNoCreate;  // 33, as the ROM upload opens

class Reader : public ::testing::Test {
protected:
    std::unique_ptr<SXFILE_T> Open(const std::string& text) {
        return std::make_unique<SXFILE_T>(dir.Write("f" + std::to_string(n++) + ".s", text).c_str(), kRead);
    }
    ScratchDir dir;
    int n = 0;
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
};

const char* const kImageLine = "S314004900004FF9004A00004EB9004905BC4E7560DC";

TEST_F(Reader, DecodesTheImageLineExactly) {
    auto f = Open(std::string(kImageLine) + "\n");
    ASSERT_EQ(f->Fail(), 0);
    ASSERT_EQ(f->ReadRecord(address, length, data.data()), 0);
    EXPECT_EQ(address, 0x00490000u);
    ASSERT_EQ(length, 15);
    const std::uint8_t expected[] = {0x4F, 0xF9, 0x00, 0x4A, 0x00, 0x00, 0x4E, 0xB9,
                                     0x00, 0x49, 0x05, 0xBC, 0x4E, 0x75, 0x60};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), data.begin()));
    EXPECT_EQ(f->LastStatus(), Status::Ok);

    std::string bad = kImageLine;
    bad.back() = 'D';
    auto g = Open(bad + "\n");
    EXPECT_EQ(g->ReadRecord(address, length, data.data()), -1);
    EXPECT_EQ(g->LastStatus(), Status::BadRecord);
}

TEST_F(Reader, AddressWidthFollowsTheType) {
    auto f = Open(
        "S1130000000102030405060708090A0B0C0D0E0F74\n"  // S1, count 0x13: 16 bytes at 0
        "S2081234560A0B0C0D2D\n"                      // S2: 24-bit address, count - 4 bytes
        "S30989ABCDEF01020304FC\n"                    // S3: 32-bit address, count - 5 bytes
        "S30512345678E6\n"                            // S3 with count 5: no data
        "s30989abcdef01020304fc\n"                    // lower-case type letter: not a record
        "S30989abcdef01020304fc\n");                  // lower-case digits
    const auto r = ReadAllRecords(*f);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].address, 0u);
    EXPECT_EQ(r[0].data.size(), 16u);
    EXPECT_EQ(r[0].data[15], 0x0F);
    EXPECT_EQ(r[1], (Record{0x123456, {0x0A, 0x0B, 0x0C, 0x0D}}));
    EXPECT_EQ(r[2], (Record{0x89ABCDEF, {1, 2, 3, 4}}));
    EXPECT_EQ(r[3], (Record{0x12345678, {}}));
    EXPECT_EQ(r[4], r[2]);
    EXPECT_EQ(f->LastStatus(), Status::EndOfFile);
}

TEST_F(Reader, HeaderAndStartOnlyGiveNoRecordAndKeepLength) {
    auto f = Open("S00600004844521B\nS9030000FC\n");
    length = 77;
    EXPECT_EQ(f->ReadRecord(address, length, data.data()), -1);
    EXPECT_EQ(length, 77);
    EXPECT_EQ(f->LastStatus(), Status::EndOfFile);
}

TEST_F(Reader, S5AndS7EndTheDataAndNothingAfterIsRead) {
    auto f = Open(
        "S00600004844521B\n"
        "S3090000000001020304EC\n"
        "S3090000000405060708D8\n"
        "S503000DEF\n"
        "S3090000000809101112B2\n"  // after the end: never delivered
        "S70500000000FA\n");
    length = 9;
    const auto r = ReadAllRecords(*f);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].address, 4u);
    EXPECT_EQ(f->LastStatus(), Status::EndRecord);
    length = 9;
    EXPECT_EQ(f->ReadRecord(address, length, data.data()), -1);  // the end stays the end
    EXPECT_EQ(length, 0);

    auto g = Open("S70500000000FA\nS3090000000001020304EC\n");
    EXPECT_EQ(g->ReadRecord(address, length, data.data()), -1);
    EXPECT_EQ(length, 0);
}

TEST_F(Reader, S8S9AndOtherLinesAreSkipped) {
    auto f = Open(
        "S9030000FC\n"
        "S804000000FB\n"
        "  S3090000000001020304EC\n"  // indented: not a record
        "\n"
        "garbage\n"
        "S3090000000405060708D8");  // last line without a line feed
    const auto r = ReadAllRecords(*f);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].address, 4u);
    EXPECT_EQ(f->LastStatus(), Status::EndOfFile);
}

TEST_F(Reader, CrLfAndTrailingTextAreIgnored) {
    auto f = Open("S3090000000001020304EC\r\nS3090000000405060708D8   \r\n");
    EXPECT_EQ(ReadAllRecords(*f).size(), 2u);
}

TEST_F(Reader, MalformedDataRecordsAreRejectedNotDelivered) {
    const std::string cases[] = {
        "S30400000000FB",          // count 4 < address width + 1: no room for a checksum
        "S1020000FD",              // S1 count 2 < 3
        "S30A00000000010203",      // shorter than the count says
        "S3",                      // no count at all
        "S3ZZ",                    // count not hex
        "S30900000000GG020304ED",  // "GG" would decode as 0 and pass this checksum
        "S3090000000001020304ED",  // checksum off by one
        std::string("S30900000000\0\x01" "020304EC", 22),  // a NUL inside the record
    };
    for (const auto& line : cases) {
        auto f = Open(line + "\nS3090000000405060708D8\n");
        EXPECT_EQ(f->ReadRecord(address, length, data.data()), -1) << line;
        EXPECT_EQ(f->LastStatus(), Status::BadRecord) << line;
    }
}

TEST_F(Reader, LongestRecordIsReadAndOverlongLinesAreNot) {
    // S1 with count 255: 252 data bytes, 514 characters, plus a CR.
    std::string rec = "S1FF0000";
    unsigned sum = 0xFF;
    for (int i = 0; i < 252; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", i);
        rec += b;
        sum += static_cast<unsigned>(i);
    }
    char ck[3];
    std::snprintf(ck, sizeof ck, "%02X", ~sum & 0xFF);
    rec += ck;
    ASSERT_EQ(rec.size(), 514u);
    auto f = Open(rec + "\r\n" + std::string(2000, 'x') + "\n" + rec + "\n" + rec + "  \r\n");
    const auto r = ReadAllRecords(*f);
    ASSERT_EQ(r.size(), 2u);  // the long junk line is skipped; data after it still comes
    EXPECT_EQ(r[0].data.size(), 252u);
    EXPECT_EQ(r[0].data[251], 251);
    // The third copy has 517 characters: too long to be a record, and it is
    // refused rather than dropped quietly.
    EXPECT_EQ(f->LastStatus(), Status::BadRecord);
}

TEST_F(Reader, EmptyAndBinaryFilesEndCleanly) {
    auto empty = Open("");
    length = 5;
    EXPECT_EQ(empty->ReadRecord(address, length, data.data()), -1);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(empty->LastStatus(), Status::EndOfFile);

    std::string bin;
    for (int i = 0; i < 70000; ++i) bin.push_back(static_cast<char>((i * 7919) & 0xFF));
    auto b = Open(bin);
    EXPECT_TRUE(ReadAllRecords(*b).empty());
}

TEST_F(Reader, MissingFileFailsAndReadsNothing) {
    SXFILE_T f(dir.Path("absent.s").c_str(), kRead);
    EXPECT_NE(f.Fail(), 0);
    EXPECT_EQ(f.ReadRecord(address, length, data.data()), -1);
    EXPECT_EQ(f.LastStatus(), Status::StreamFailed);
    std::array<char, XREC_T::kLineArea> text{};
    EXPECT_EQ(f.ReadLine(text.data()), -1);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("absent.s")));  // not created
}

TEST_F(Reader, ADirectoryIsAFailedStreamNotAnException) {
    SXFILE_T f(dir.Path("").c_str(), kRead);
    EXPECT_EQ(f.ReadRecord(address, length, data.data()), -1);
    EXPECT_EQ(f.LastStatus(), Status::StreamFailed);
    std::array<char, XREC_T::kLineArea> text{};
    SXFILE_T g(dir.Path("").c_str(), kRead);
    EXPECT_EQ(g.ReadLine(text.data()), -1);
}

TEST_F(Reader, TextInMemoryReadsLikeTheFile) {
    const std::string text = "S00600004844521B\nS1060000010203F3\nS9030000FC\n";
    auto file = Open(text);
    SXFILE_T memory(text);
    const auto records = ReadAllRecords(memory);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records, ReadAllRecords(*file));
    EXPECT_EQ(memory.LastStatus(), Status::EndOfFile);
}

TEST_F(Reader, ReadLineSplitsLongLinesAndEnds) {
    const std::string content = "first\r\n" + std::string(300, 'a') + "\nlast";
    auto f = Open(content);
    std::array<char, XREC_T::kLineArea> text{};
    std::vector<std::string> lines;
    while (f->ReadLine(text.data()) == 0) lines.emplace_back(text.data());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[1], std::string(255, 'a'));
    EXPECT_EQ(lines[2], std::string(45, 'a'));
    EXPECT_EQ(lines[3], "last");
    // The count of a text in memory is the count ReadLine gives.
    EXPECT_EQ(SxLineCount(content), 4u);

    auto g = Open("a\nb\n");  // nothing after the last line feed is no line
    int count = 0;
    while (g->ReadLine(text.data()) == 0) ++count;
    EXPECT_EQ(count, 2);
    EXPECT_EQ(SxLineCount("a\nb\n"), 2u);
    // Exactly 255 characters are one line, 510 two; an empty line is one.
    EXPECT_EQ(SxLineCount(std::string(255, 'x') + "\n\n" + std::string(510, 'y')), 4u);
}

TEST(SxRecord, OneDecoderWhereverARecordStarts) {
    // Back to back, as the daemon image holds them: each record's size
    // says where the next begins; what follows a record is not looked at.
    const std::string packed = std::string(kImageLine) + "S503009765";
    SxRecordT r;
    const std::size_t size = DecodeSxRecord(packed, r);
    ASSERT_EQ(size, std::string(kImageLine).size());
    EXPECT_EQ(r.type, '3');
    EXPECT_EQ(r.address, 0x490000u);
    EXPECT_EQ(r.length, 15);
    ASSERT_EQ(DecodeSxRecord(std::string_view(packed).substr(size), r), 10u);
    EXPECT_EQ(r.type, '5');
    EXPECT_EQ(r.length, 2);  // S5's field is not an address: its bytes are data
    // Lower case is a record too; a wrong checksum or a cut record is not.
    std::string lower = kImageLine;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    lower[0] = 'S';
    EXPECT_EQ(DecodeSxRecord(lower, r), lower.size());
    std::string wrong = kImageLine;
    wrong.back() = 'D';
    EXPECT_EQ(DecodeSxRecord(wrong, r), 0u);
    EXPECT_EQ(DecodeSxRecord(std::string_view(kImageLine).substr(0, 20), r), 0u);
}

TEST(RecordStream, BaseRefusesEverything) {
    XREC_T base;
    XREC_T& x = base;
    std::uint32_t a = 1;
    std::uint8_t l = 2;
    std::uint8_t d[4] = {};
    char t[4] = {};
    EXPECT_EQ(x.ReadRecord(a, l, d), -1);
    EXPECT_EQ(x.ReadLine(t), -1);
    EXPECT_EQ(x.WriteRecord(0, 0, d, '3'), -1);
    EXPECT_EQ(x.WriteLine("x"), -1);
    EXPECT_EQ(x.Fail(), -1);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(l, 2);
}

}  // namespace
