// The committed image and map, as the loader gets them: their form, the
// loader's walk over them, and agreement with the linked program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonImage.h"
#include "board_map.h"
#include "crc_applet.h"
#include "fast_stage.h"
#include "first_loader.h"
#include "ElfFile.h"
#include "HexConv.h"

namespace {

struct Record {
    char type = 0;
    std::uint8_t count = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
};

std::uint8_t Byte(const std::string& text, std::size_t at) {
    std::uint8_t b = 0;
    HexToByte(text.c_str() + at, 1, b);
    return b;
}

// Splits the NUL-terminated text into records, checking each one's digits,
// length and checksum on the way.
std::vector<Record> ParseImage(const std::string& text) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (at < text.size()) {
        EXPECT_EQ(text[at], 'S') << "at " << at;
        if (text[at] != 'S' || at + 4 > text.size()) return {};
        Record r;
        r.type = text[at + 1];
        r.count = Byte(text, at + 2);
        const std::size_t end = at + 4 + 2u * r.count;
        if (end > text.size()) {
            ADD_FAILURE() << "record at " << at << " runs past the end";
            return {};
        }
        unsigned sum = r.count;
        for (std::size_t i = at + 4; i < end; i += 2) sum += Byte(text, i);
        EXPECT_EQ(sum & 0xFF, 0xFFu) << "checksum of the record at " << at;
        const unsigned width = r.type == '0' || r.type == '5' ? 2 : 4;
        for (unsigned i = 0; i < width; ++i) r.address = (r.address << 8) | Byte(text, at + 4 + 2 * i);
        for (std::size_t i = at + 4 + 2 * width; i + 2 < end; i += 2) r.data.push_back(Byte(text, i));
        records.push_back(r);
        at = end;
    }
    return records;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Other compiler versions link other, equally good code: the committed image
// matches the linked program only when the same tools made both.
bool LinkedBySameTools() {
    return FileText(ZELMO_DAEMON_TOOLCHAIN) == FileText(std::string(ZELMO_DAEMON_GENERATED) + "/toolchain.txt");
}

class CommittedImage : public ::testing::Test {
protected:
    void SetUp() override {
        text_ = daemonImage;
        records_ = ParseImage(text_);
        ASSERT_GE(records_.size(), 4u);
        for (const Record& r : records_) {
            if (r.type == '3') s3_.push_back(r);
        }
    }
    std::string text_;
    std::vector<Record> records_;
    std::vector<Record> s3_;
};

TEST_F(CommittedImage, HasOnlyRecordCharactersAndNoSeparators) {
    EXPECT_TRUE(std::all_of(text_.begin(), text_.end(), [](char c) {
        return c == 'S' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    }));
}

TEST_F(CommittedImage, IsHeaderThenCodeThenCountThenStart) {
    EXPECT_EQ(text_.substr(0, 16), "S00600004844521B");
    EXPECT_EQ(records_.front().type, '0');
    EXPECT_EQ(std::string(records_.front().data.begin(), records_.front().data.end()), "HDR");
    ASSERT_EQ(records_.size(), s3_.size() + 3);
    for (std::size_t i = 1; i <= s3_.size(); ++i) EXPECT_EQ(records_[i].type, '3');
    const Record& count = records_[records_.size() - 2];
    EXPECT_EQ(count.type, '5');
    EXPECT_EQ(count.count, 3u);  // 16-bit field
    EXPECT_EQ(count.address, s3_.size());
    const Record& start = records_.back();
    EXPECT_EQ(start.type, '7');
    EXPECT_EQ(start.address, 0u);
    EXPECT_EQ(text_.substr(text_.size() - 14), "S70500000000FA");
}

TEST_F(CommittedImage, CodeRunsFromTheEntryUpwardWithoutGapsAndFitsTheLoader) {
    std::uint32_t next = daemonLoadAddress;
    std::size_t bytes = 0;
    for (const Record& r : s3_) {
        EXPECT_EQ(r.address, next);
        EXPECT_GE(r.data.size(), 1u);
        EXPECT_LE(r.data.size(), 15u);
        next = r.address + static_cast<std::uint32_t>(r.data.size());
        bytes += r.data.size();
    }
    EXPECT_LE(s3_.size(), daemonMaxRecords);
    EXPECT_LE(bytes, daemonMaxRecords * 15u);
    // The stack starts at 0x4A0000 and grows down; the code keeps 4 KiB clear.
    EXPECT_LE(next, 0x4A0000u - 0x1000u);
}

// The first-step loader is stored before the daemon and takes the daemon's
// image while it runs: the image must not reach the loader's code or its
// request buffer, and both lie in the RAM the daemon download uses.
TEST_F(CommittedImage, StaysClearOfTheFirstStepLoader) {
    EXPECT_LE(FIRST_LOADER_BASE + firstLoaderSize, FIRST_LOADER_CODE_END);
    EXPECT_GE(FIRST_LOADER_BASE, 0x480000u);
    EXPECT_LE(FIRST_LOADER_END, 0x4A000Cu);
    for (const Record& r : s3_) {
        const std::uint32_t end = r.address + static_cast<std::uint32_t>(r.data.size());
        EXPECT_TRUE(end <= FIRST_LOADER_BASE || r.address >= FIRST_LOADER_END) << std::hex << r.address;
    }
}

// The loader's walk: records gathered into blocks, a block stored when the next
// record does not follow it or it already holds more than 230 bytes. Every
// block must fit one store frame (245 data bytes), and the progress count
// (one per record, the S5 included) must stay within the range of 160.
TEST_F(CommittedImage, LoaderBlocksFitOneFrameEach) {
    std::uint32_t blockAddress = 0;
    std::size_t pending = 0;
    std::vector<std::size_t> blocks;
    for (const Record& r : s3_) {
        if (pending == 0) blockAddress = r.address;
        if (blockAddress + pending != r.address || pending > 230) {
            blocks.push_back(pending);
            pending = 0;
            blockAddress = r.address;
        }
        pending += r.data.size();
    }
    blocks.push_back(pending);
    for (std::size_t b : blocks) EXPECT_LE(b, 245u);
    EXPECT_LE(s3_.size() + 1, 160u);
}

TEST_F(CommittedImage, MatchesTheLinkedProgramAndEndsEachSectionWithItsOwnRecord) {
    if (!LinkedBySameTools()) GTEST_SKIP() << "the daemon was linked by other tools than the committed image";
    ElfFile elf;
    std::string error;
    ASSERT_EQ(ReadElf(ZELMO_DAEMON_ELF, elf, error), 0) << error;
    std::map<std::uint32_t, std::uint8_t> linked;
    std::vector<std::uint32_t> sectionEnds;
    for (const ElfSection& s : elf.sections) {
        if ((s.flags & ElfFile::kFlagAlloc) == 0 || s.type != ElfFile::kProgBits || s.bytes.empty()) continue;
        for (std::size_t i = 0; i < s.bytes.size(); ++i) linked[s.address + static_cast<std::uint32_t>(i)] = s.bytes[i];
        sectionEnds.push_back(s.address + static_cast<std::uint32_t>(s.bytes.size()));
    }
    std::map<std::uint32_t, std::uint8_t> image;
    for (const Record& r : s3_) {
        for (std::size_t i = 0; i < r.data.size(); ++i) image[r.address + static_cast<std::uint32_t>(i)] = r.data[i];
        const std::uint32_t end = r.address + static_cast<std::uint32_t>(r.data.size());
        const bool endsSection = std::find(sectionEnds.begin(), sectionEnds.end(), end) != sectionEnds.end();
        // Only a section's last record may be short, and no record crosses a section's end.
        if (r.data.size() < 15) {
            EXPECT_TRUE(endsSection) << std::hex << r.address;
        }
        for (std::uint32_t e : sectionEnds) {
            EXPECT_FALSE(e > r.address && e < end) << std::hex << r.address;
        }
    }
    EXPECT_EQ(image, linked);
    EXPECT_EQ(sectionEnds.size(), 3u);  // one per module
}

TEST_F(CommittedImage, EmbeddedTextIsTheCommittedRecordFileJoined) {
    std::ifstream in(std::string(ZELMO_DAEMON_GENERATED) + "/daemon.srec");
    ASSERT_TRUE(in);
    std::string joined;
    for (std::string line; std::getline(in, line);) joined += line;
    EXPECT_EQ(joined, text_);
}

// Symbol map -----------------------------------------------------------------

std::map<std::string, std::map<std::string, std::uint32_t>> ParseMap(const std::string& text) {
    std::map<std::string, std::map<std::string, std::uint32_t>> modules;
    std::istringstream in(text);
    std::string word;
    std::string module;
    while (in >> word) {
        if (word == "$$") {
            if (in >> word) {
                module = word;
                modules[module];
            }
            continue;
        }
        std::string value;
        in >> value;
        EXPECT_EQ(word[0], '_') << word;
        EXPECT_EQ(value.size(), 9u) << value;
        EXPECT_EQ(value[0], '$') << value;
        std::uint32_t address = 0;
        HexToLong(value.c_str() + 1, 4, address);
        modules[module][word.substr(1)] = address;
    }
    return modules;
}

TEST(CommittedMap, HasTheFormTheLoaderCarries) {
    const std::string map = daemonSymbolMap;
    EXPECT_EQ(map.rfind("$$ de_demon  _", 0), 0u);
    EXPECT_EQ(map.substr(map.size() - 4), "  $$");
    EXPECT_EQ(map.find("   "), std::string::npos);  // one or two blanks only
    std::ifstream in(std::string(ZELMO_DAEMON_GENERATED) + "/daemon.map");
    std::string committed;
    std::getline(in, committed);
    EXPECT_EQ(committed, map);
}

TEST(CommittedMap, NamesEveryPublicRoutineAndDataWordAtItsPlace) {
    const auto modules = ParseMap(daemonSymbolMap);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"de_demon",
         {"entry_point", "main", "set_port", "get_next_command", "get_byte_timeout", "get_n_bytes", "get_address",
          "is_odd", "wait", "send_buffer", "upload_data", "download_data", "run_code_at", "flash_program",
          "baud_control", "send_version", "go_to_monitor", "erase_chip", "erase_serial_num", "have_serial_number",
          "save_serial_number", "restore_serial_number", "have_last_page", "save_last_page", "erase_last_page",
          "restore_last_page", "am_busy", "PORT", "address", "address2"}},
        {"de_am29f400", {"am_program_word", "am_erase_page", "am_erase_chip"}},
        {"de_mc68681",
         {"mc_byte_ready", "mc_duart_break", "mc_reset_break", "mc_get_byte", "mc_send_byte", "mc_set_baud_rate",
          "mc_reset_baud", "mc_take_byte"}},
    };
    ASSERT_EQ(modules.size(), expected.size());
    if (!LinkedBySameTools()) GTEST_SKIP() << "the daemon was linked by other tools than the committed image";
    ElfFile elf;
    std::string error;
    ASSERT_EQ(ReadElf(ZELMO_DAEMON_ELF, elf, error), 0) << error;
    for (const auto& [module, names] : expected) {
        ASSERT_TRUE(modules.contains(module)) << module;
        const auto& symbols = modules.at(module);
        EXPECT_EQ(symbols.size(), names.size()) << module;
        for (const std::string& name : names) {
            ASSERT_TRUE(symbols.contains(name)) << name;
            const auto linked = std::find_if(elf.symbols.begin(), elf.symbols.end(),
                                             [&](const ElfSymbol& s) { return s.name == name; });
            ASSERT_NE(linked, elf.symbols.end()) << name;
            EXPECT_EQ(symbols.at(name), linked->value) << name;
        }
    }
    const auto& demon = modules.at("de_demon");
    EXPECT_EQ(demon.at("entry_point"), 0x490000u);
    EXPECT_EQ(demon.at("PORT"), 0x4A0000u);
    EXPECT_EQ(demon.at("address"), 0x4A0004u);
    EXPECT_EQ(demon.at("address2"), 0x4A0008u);
}

}  // namespace

// The applet calls the daemon's send_buffer at the address it was linked
// with; a daemon refreshed without the applet would make it jump into other
// code. Its first long says which address that is.
TEST(CommittedCrcApplet, CallsSendBufferWhereTheDaemonMapPutsItAndFitsItsArea) {
    const auto modules = ParseMap(daemonSymbolMap);
    ASSERT_TRUE(modules.contains("de_demon") && modules.at("de_demon").contains("send_buffer"));
    ASSERT_GE(crcAppletSize, 8u);
    const std::uint32_t linked = (std::uint32_t{crcApplet[0]} << 24) | (std::uint32_t{crcApplet[1]} << 16) |
                                 (std::uint32_t{crcApplet[2]} << 8) | crcApplet[3];
    EXPECT_EQ(linked, modules.at("de_demon").at("send_buffer"));
    EXPECT_LE(CRC_APPLET_BASE + crcAppletSize, CRC_APPLET_CODE_END);
    // The daemon's code, stack and data words end at 0x4A000C; the fuzz test
    // stores into RAM up to 0x4B0000, the applet's work areas stay below.
    EXPECT_GE(CRC_APPLET_BASE, 0x4A000Cu);
    EXPECT_LE(CRC_APPLET_REPLY + 260u, 0x4B0000u);
}

// The fast stage reads the daemon's PORT word at the address it was linked
// with, and lies in the RAM the loader has always used, clear of the
// daemon's code (its map's last routine).
TEST(CommittedFastStage, ReadsPortWhereTheDaemonMapPutsItAndStaysInTheProvenRam) {
    const auto modules = ParseMap(daemonSymbolMap);
    ASSERT_TRUE(modules.contains("de_demon") && modules.at("de_demon").contains("PORT"));
    ASSERT_GE(fastStageSize, 8u);
    const std::uint32_t linked = (std::uint32_t{fastStage[0]} << 24) | (std::uint32_t{fastStage[1]} << 16) |
                                 (std::uint32_t{fastStage[2]} << 8) | fastStage[3];
    EXPECT_EQ(linked, modules.at("de_demon").at("PORT"));
    EXPECT_LE(STAGE_BASE + fastStageSize, STAGE_CODE_END);
    std::uint32_t daemonEnd = 0;
    for (const auto& [module, symbols] : modules)
        for (const auto& [name, address] : symbols)
            if (address < 0x4A0000u) daemonEnd = std::max(daemonEnd, address);
    EXPECT_LT(daemonEnd + 0x400u, STAGE_BASE);
    // Its ring and its copy of the serial-number area: in the daemon's erase
    // save buffer, apart.
    EXPECT_GE(STAGE_RING, STAGE_SERIAL_COPY + 0x1000u);
    EXPECT_GE(STAGE_SERIAL_COPY, BOARD_SAVE_BUFFER);
    EXPECT_LE(STAGE_RING + STAGE_SLOTS * STAGE_SLOT_SIZE, BOARD_SAVE_BUFFER + 0xF000u);
}
