// Checks the reader and writer against Debian's srecord tools, an
// implementation of the format that we did not write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "SrecTestUtil.h"

namespace {

int Shell(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

struct Variant {
    const char* name;
    const char* options;  // srec_cat output options
    std::uint32_t offset;
};

TEST(Interop, ReaderMatchesSrecCatConversions) {
    ScratchDir dir;
    const std::string bin = RandomBytes(5000, 7);
    const auto binPath = dir.Write("in.bin", bin);
    const Variant variants[] = {
        {"s19_16", "-Output_Block_Size=16 -Address_Length=2", 0x1000},
        {"s28_32", "-Output_Block_Size=32 -Address_Length=3", 0x20000},
        {"s37_15", "-Output_Block_Size=15 -Address_Length=4", 0x490000},
        {"s37_250", "-Output_Block_Size=250 -Address_Length=4", 0x400000},
        {"s28_crlf", "-Output_Block_Size=64 -Address_Length=3 -Line_Termination=CRLF", 0x30000},
        {"s19_lower", "-Output_Block_Size=8 -Address_Length=2", 0x0},
    };
    for (const auto& v : variants) {
        SCOPED_TRACE(v.name);
        const auto srec = dir.Path(std::string(v.name) + ".s");
        ASSERT_EQ(Shell(std::string(SREC_CAT) + " " + binPath + " -binary -offset " + std::to_string(v.offset) +
                      " -o " + srec + " " + v.options),
                  0);
        if (std::string(v.name) == "s19_lower") {
            // The format allows lower-case digits; srec_cat writes only upper.
            auto text = ReadAll(srec);
            for (auto& c : text)
                if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
            dir.Write(std::string(v.name) + ".s", text);
        }
        SXFILE_T f(srec.c_str(), kModeIn | kModeNoCreate);
        ASSERT_EQ(f.Fail(), 0);
        std::map<std::uint32_t, std::uint8_t> image;
        std::size_t records = 0;
        for (const auto& r : ReadAllRecords(f)) {
            ++records;
            for (std::size_t i = 0; i < r.data.size(); ++i) image[r.address + static_cast<std::uint32_t>(i)] = r.data[i];
        }
        EXPECT_GT(records, 1u);
        ASSERT_EQ(image.size(), bin.size());
        EXPECT_EQ(image.begin()->first, v.offset);
        bool same = true;
        for (std::size_t i = 0; i < bin.size(); ++i)
            same = same && image[v.offset + static_cast<std::uint32_t>(i)] == static_cast<std::uint8_t>(bin[i]);
        EXPECT_TRUE(same);
    }
}

TEST(Interop, WriterOutputPassesSrecordTools) {
    ScratchDir dir;
    const std::string bin = RandomBytes(3001, 11);
    const auto srec = dir.Path("ours.s");
    {
        SXFILE_T f(srec.c_str(), kModeOut | kModeTrunc);
        f.WriteRecord(0, 3, reinterpret_cast<const std::uint8_t*>("HDR"), '0');
        // Uneven record sizes, from 1 to 250 bytes.
        std::size_t pos = 0;
        std::mt19937 rng(3);
        while (pos < bin.size()) {
            const std::size_t n = std::min<std::size_t>(bin.size() - pos, 1 + rng() % 250);
            ASSERT_EQ(f.WriteRecord(0x490000 + static_cast<std::uint32_t>(pos), static_cast<std::uint8_t>(n),
                                    reinterpret_cast<const std::uint8_t*>(bin.data() + pos), '3'),
                      0);
            pos += n;
        }
        f.WriteRecord(0, 0, nullptr, '7');
    }
    // srec_info verifies every checksum and the S5 count.
    EXPECT_EQ(Shell(std::string(SREC_INFO) + " " + srec), 0);
    const auto out = dir.Path("out.bin");
    ASSERT_EQ(Shell(std::string(SREC_CAT) + " " + srec + " -offset -0x490000 -o " + out + " -binary"), 0);
    EXPECT_EQ(ReadAll(out), bin);
}

TEST(Interop, SrecordToolsRejectACorruptedWriterRecord) {
    // Guards the previous test: srec_info must really check checksums here.
    ScratchDir dir;
    const auto path = dir.Write("bad.s", "S309004900004FF9004A1C\n");
    EXPECT_NE(Shell(std::string(SREC_INFO) + " " + path), 0);
}

}  // namespace
