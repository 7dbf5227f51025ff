// The image tool's pieces: record layout through the project's writer, the
// symbol map's form, and the ELF reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ElfFile.h"
#include "ImageText.h"
#include "SxFile.h"

namespace {

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

// Runs WriteImageRecords through a real SXFILE_T and returns the lines.
class RecordsTest : public ::testing::Test {
protected:
    int Write(const std::vector<ImageSection>& sections) {
        int result = 0;
        {
            SXFILE_T out(path_.c_str(), kModeOut | kModeTrunc);
            result = WriteImageRecords(out, sections);
        }
        std::ifstream in(path_);
        lines_.clear();
        for (std::string line; std::getline(in, line);) lines_.push_back(line);
        return result;
    }
    void TearDown() override { std::filesystem::remove(path_); }

    std::string path_ = (std::filesystem::temp_directory_path() /
                         ("daemon_records_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                          ".srec"))
                            .string();
    std::vector<std::string> lines_;
};

TEST_F(RecordsTest, SplitsEachSectionIntoFifteenByteRecordsWithAShortLast) {
    const std::vector<ImageSection> sections = {{0x490000, Bytes(31, 0x00)}, {0x49001F, Bytes(15, 0x40)}};
    ASSERT_EQ(Write(sections), 4);
    ASSERT_EQ(lines_.size(), 7u);
    EXPECT_EQ(lines_[0], "S00600004844521B");
    // 15 bytes, 15 bytes, the 1-byte end of the first section, then the second.
    EXPECT_EQ(lines_[1].substr(0, 12), "S31400490000");
    EXPECT_EQ(lines_[2].substr(0, 12), "S3140049000F");
    EXPECT_EQ(lines_[3], "S3060049001E1E74");
    EXPECT_EQ(lines_[4].substr(0, 12), "S3140049001F");
    EXPECT_EQ(lines_[5], "S5030004F8");
    EXPECT_EQ(lines_[6], "S70500000000FA");
}

TEST_F(RecordsTest, RefusesGapsOverlapsAndEmptySections) {
    EXPECT_EQ(Write({{0x490000, Bytes(4, 0)}, {0x490006, Bytes(4, 0)}}), -1);
    EXPECT_EQ(Write({{0x490000, Bytes(4, 0)}, {0x490002, Bytes(4, 0)}}), -1);
    EXPECT_EQ(Write({{0x490000, Bytes(4, 0)}, {0x490004, {}}}), -1);
    EXPECT_EQ(Write({}), -1);
    EXPECT_EQ(Write({{0xFFFFFFF0, Bytes(32, 0)}}), -1);
}

TEST(CountRecord, HasASixteenBitField) {
    EXPECT_EQ(CountRecordLine(151), "S503009765\n");
    EXPECT_EQ(CountRecordLine(0xFFFF), "S503FFFFFE\n");
    EXPECT_EQ(StartRecordLine(0), "S70500000000FA\n");
}

TEST(SymbolMap, ListsModulesWithSymbolsByAddress) {
    const std::vector<MapModule> modules = {
        {"de_demon", {{"main", 0x4906A0}, {"entry_point", 0x490000}, {"PORT", 0x4A0000}}},
        {"de_mc68681", {{"mc_get_byte", 0x490888}}},
    };
    EXPECT_EQ(FormatSymbolMap(modules),
              "$$ de_demon  _entry_point $00490000  _main $004906A0  _PORT $004A0000"
              "  $$ de_mc68681  _mc_get_byte $00490888  $$");
    EXPECT_EQ(FormatSymbolMap({}), "$$");
}

TEST(EmbedSource, QuotesEveryRecordAndMapPieceInOrder) {
    const std::vector<std::string> records = {"S00600004844521B", "S5030000FC", "S70500000000FA"};
    const std::string src = EmbedSource(records, "$$ a  _x $00000001  $$ b  $$");
    const auto image = src.find("daemonImage[]");
    const auto map = src.find("daemonSymbolMap[]");
    ASSERT_NE(image, std::string::npos);
    ASSERT_NE(map, std::string::npos);
    EXPECT_LT(image, src.find("\"S00600004844521B\""));
    EXPECT_LT(src.find("\"S00600004844521B\""), src.find("\"S5030000FC\""));
    EXPECT_LT(src.find("\"S70500000000FA\""), map);
    EXPECT_NE(src.find("\"$$ a  _x $00000001\"\n    \"  $$ b\"\n    \"  $$\""), std::string::npos);
}

TEST(ElfReader, RejectsWhatIsNotABigEndianElf32) {
    ElfFile elf;
    std::string error;
    const std::vector<std::uint8_t> empty;
    EXPECT_EQ(ParseElf(empty, elf, error), -1);
    std::vector<std::uint8_t> header(52, 0);
    header[0] = 0x7F, header[1] = 'E', header[2] = 'L', header[3] = 'F', header[4] = 1, header[5] = 1;
    EXPECT_EQ(ParseElf(header, elf, error), -1);  // little-endian
    header[5] = 2;
    header[35] = 200;  // section table beyond the end
    header[47] = 40;
    header[49] = 3;
    EXPECT_EQ(ParseElf(header, elf, error), -1);
    EXPECT_FALSE(error.empty());
}

TEST(ElfReader, ReadsTheLinkedDaemon) {
    ElfFile elf;
    std::string error;
    ASSERT_EQ(ReadElf(ZELMO_DAEMON_ELF, elf, error), 0) << error;
    bool sawCode = false;
    for (const ElfSection& s : elf.sections) {
        if (s.name == ".de_demon") {
            sawCode = true;
            EXPECT_EQ(s.address, 0x490000u);
            ASSERT_GE(s.bytes.size(), 6u);
            // move.l #0x4A0000,%sp
            EXPECT_EQ(std::vector<std::uint8_t>(s.bytes.begin(), s.bytes.begin() + 6),
                      (std::vector<std::uint8_t>{0x2E, 0x7C, 0x00, 0x4A, 0x00, 0x00}));
        }
    }
    EXPECT_TRUE(sawCode);
    const auto globals = DefinedGlobals(elf);
    EXPECT_NE(std::find(globals.begin(), globals.end(), "am_program_word"), globals.end());
}

}  // namespace
