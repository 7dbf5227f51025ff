#include <gtest/gtest.h>

#include <random>

#include "SrecTestUtil.h"

namespace {

// Binary, so that the bytes are the documented ones everywhere: a text
// stream on Windows ends each line with CR LF.
constexpr int kWrite = kModeOut | kModeTrunc | kModeBinary;

TEST(Writer, WritesTheDocumentedBytes) {
    ScratchDir dir;
    const auto path = dir.Path("w.s");
    {
        SXFILE_T f(path.c_str(), kWrite);
        const std::uint8_t d[] = {0x4F, 0xF9, 0x00, 0x4A};
        ASSERT_EQ(f.WriteRecord(0x00490000, 4, d, '3'), 0);
        EXPECT_EQ(f.dataRecordCount, 1u);
    }
    EXPECT_EQ(ReadAll(path), "S309004900004FF9004A1B\n");
}

TEST(Writer, TerminationIsPrecededByTheCountRecord) {
    ScratchDir dir;
    const auto a = dir.Path("a.s");
    {
        SXFILE_T f(a.c_str(), kWrite);
        ASSERT_EQ(f.WriteRecord(0, 0, nullptr, '7'), 0);
    }
    EXPECT_EQ(ReadAll(a), "S50500000000FA\nS70500000000FA\n");

    // The S5 carries the number of data records written before it, of any type.
    const auto b = dir.Path("b.s");
    {
        SXFILE_T f(b.c_str(), kWrite);
        const std::uint8_t d[] = {1, 2};
        f.WriteRecord(0x10, 2, d, '1');
        f.WriteRecord(0x20, 2, d, '2');
        f.WriteRecord(0x30, 2, d, '3');
        f.WriteRecord(0, 3, reinterpret_cast<const std::uint8_t*>("HDR"), '0');
        EXPECT_EQ(f.dataRecordCount, 3u);
        f.WriteRecord(0x400, 0, nullptr, '9');
    }
    EXPECT_EQ(ReadAll(b),
              "S10500100102E7\n"
              "S2060000200102D6\n"  // S2: three address bytes
              "S307000000300102C5\n"
              "S00600004844521B\n"
              "S50500000003F7\n"
              "S9030400F8\n");
}

TEST(Writer, RefusesWhatCannotBeEncoded) {
    ScratchDir dir;
    const auto path = dir.Path("r.s");
    {
        SXFILE_T f(path.c_str(), kWrite);
        std::array<std::uint8_t, 255> d{};
        EXPECT_EQ(f.WriteRecord(0, 251, d.data(), '3'), -1);  // count would exceed 255
        EXPECT_EQ(f.WriteRecord(0, 250, d.data(), '3'), 0);   // the longest S3
        EXPECT_EQ(f.WriteRecord(0x10000, 1, d.data(), '1'), -1);  // S1 holds 16 bits
        EXPECT_EQ(f.WriteRecord(0x1000000, 1, d.data(), '2'), -1);
        EXPECT_EQ(f.dataRecordCount, 1u);  // refused records are not counted
        EXPECT_EQ(f.WriteLine("free text\n"), 0);
    }
    const auto text = ReadAll(path);
    EXPECT_EQ(text.size(), 514u + 1u + 10u);
    EXPECT_EQ(text.substr(0, 4), "S3FF");
    EXPECT_EQ(text.substr(515), "free text\n");
}

TEST(Writer, ReaderGetsBackWhatWriterWrote) {
    ScratchDir dir;
    const auto path = dir.Path("rt.s");
    std::mt19937 rng(12345);
    std::vector<Record> written;
    {
        SXFILE_T f(path.c_str(), kWrite);
        f.WriteRecord(0, 3, reinterpret_cast<const std::uint8_t*>("HDR"), '0');
        const char types[] = {'1', '2', '3'};
        for (int i = 0; i < 300; ++i) {
            const char type = types[i % 3];
            const std::uint32_t mask = type == '1' ? 0xFFFF : type == '2' ? 0xFFFFFF : 0xFFFFFFFF;
            Record r{static_cast<std::uint32_t>(rng()) & mask, {}};
            r.data.resize(rng() % 249);
            for (auto& b : r.data) b = static_cast<std::uint8_t>(rng());
            ASSERT_EQ(f.WriteRecord(r.address, static_cast<std::uint8_t>(r.data.size()), r.data.data(), type), 0);
            written.push_back(r);
        }
        f.WriteRecord(0, 0, nullptr, '7');
    }
    SXFILE_T in(path.c_str(), kModeIn | kModeNoCreate);
    EXPECT_EQ(ReadAllRecords(in), written);
    EXPECT_EQ(in.LastStatus(), SXFILE_T::Status::EndRecord);
}

}  // namespace
