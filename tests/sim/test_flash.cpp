// AM29F400 model against the data sheet's command sequences and status bits.
#include <gtest/gtest.h>

#include "Am29f400.h"

namespace {

using sim::Am29f400;
using sim::FlashTiming;
using sim::Picos;

constexpr std::uint32_t k555 = 0x555 * 2;  // byte offsets of word addresses 0x555 / 0x2AA
constexpr std::uint32_t k2AA = 0x2AA * 2;
constexpr std::uint32_t k5555 = 0x5555 * 2;  // the board's own command addresses
constexpr std::uint32_t k2AAA = 0x2AAA * 2;

void Program(Am29f400& f, std::uint32_t off, std::uint16_t v, Picos t = 0) {
    f.Write(0, 0xF0, t);
    f.Write(k5555, 0xAA, t);
    f.Write(k2AAA, 0x55, t);
    f.Write(k5555, 0xA0, t);
    f.Write(off, v, t);
}

void EraseSetup(Am29f400& f, Picos t) {
    f.Write(0, 0xF0, t);
    f.Write(k555, 0xAA, t);
    f.Write(k2AA, 0x55, t);
    f.Write(k555, 0x80, t);
    f.Write(k555, 0xAA, t);
    f.Write(k2AA, 0x55, t);
}

TEST(Flash, SectorMapIsBottomBoot) {
    const std::uint32_t sizes[] = {16, 8, 8, 32, 64, 64, 64, 64, 64, 64, 64};
    std::uint32_t start = 0;
    for (unsigned s = 0; s < Am29f400::kSectors; ++s) {
        EXPECT_EQ(Am29f400::SectorStart(s), start) << s;
        EXPECT_EQ(Am29f400::SectorSize(s), sizes[s] * 1024) << s;
        EXPECT_EQ(Am29f400::SectorOf(start), s);
        EXPECT_EQ(Am29f400::SectorOf(start + sizes[s] * 1024 - 2), s);
        start += sizes[s] * 1024;
    }
    EXPECT_EQ(start, Am29f400::kSize);
    EXPECT_EQ(Am29f400::SectorStart(10), 0x70000u);
}

TEST(Flash, ProgramsThroughUnlockSequenceAndOnlyClearsBits) {
    Am29f400 f;
    Program(f, 0x100, 0x1234);
    EXPECT_EQ(f.Read(0x100, 0), 0x1234);
    // Same value again: fine. A value that needs a 0 to become 1: never verifies.
    Program(f, 0x100, 0x1234);
    EXPECT_EQ(f.Read(0x100, 0), 0x1234);
    Program(f, 0x100, 0xFFFF);
    for (int i = 0; i < 5; ++i) EXPECT_NE(f.Read(0x100, 0), 0xFFFF);
    EXPECT_TRUE(f.Busy());
    f.Write(0, 0xF0, 1);  // only a reset ends it
    EXPECT_FALSE(f.Busy());
    EXPECT_EQ(f.Read(0x100, 1), 0x1234);
    // Clearing more bits works; the result is the AND.
    Program(f, 0x100, 0x1030, 2);
    EXPECT_EQ(f.Read(0x100, 2), 0x1030);
    // A write without the unlock cycles changes nothing.
    f.Write(0x200, 0x0000, 3);
    EXPECT_EQ(f.Read(0x200, 3), 0xFFFF);
}

TEST(Flash, WrongCycleReturnsToReading) {
    Am29f400 f;
    f.Write(k555, 0xAA, 0);
    f.Write(k2AA, 0x56, 0);  // wrong data
    f.Write(k555, 0xA0, 0);
    f.Write(0x10, 0x0000, 0);
    EXPECT_EQ(f.Read(0x10, 0), 0xFFFF);
    EXPECT_EQ(f.GetState(), Am29f400::State::Read);
    f.Write(k555, 0xAA, 0);
    f.Write(0x1234, 0x55, 0);  // wrong address
    EXPECT_EQ(f.GetState(), Am29f400::State::Read);
    EXPECT_EQ(f.GetCounters().programs, 0u);
}

TEST(Flash, ProgramStatusWhileBusyThenDataAndTimeLimitOnFault) {
    Am29f400 f(FlashTiming::Typical());
    Program(f, 0x40, 0x0F00, 0);
    const std::uint16_t s1 = f.Read(0x40, 1000);
    const std::uint16_t s2 = f.Read(0x40, 2000);
    EXPECT_EQ(s1 & 0x80, 0x80);             // DQ7 = complement of data bit 7
    EXPECT_NE(s1 & 0x40, s2 & 0x40);        // DQ6 toggles
    EXPECT_EQ(s1 & 0x20, 0);                // DQ5: no time-out
    EXPECT_EQ(f.Read(0x40, 13 * sim::kPicosPerMicro), 0x0F00);  // after 12 us: data

    f.FailWord(0x42);
    Program(f, 0x42, 0x0000, 20 * sim::kPicosPerMicro);
    EXPECT_EQ(f.Read(0x42, 30 * sim::kPicosPerMicro) & 0x20, 0);
    EXPECT_EQ(f.Read(0x42, 400 * sim::kPicosPerMicro) & 0x20, 0x20);  // past the limit
    f.Write(0, 0xF0, 401 * sim::kPicosPerMicro);
    EXPECT_EQ(f.Read(0x42, 402 * sim::kPicosPerMicro), 0xFFFF);  // cells stuck
    EXPECT_EQ(f.GetCounters().failures, 1u);
}

TEST(Flash, SectorEraseInMiddleOfSectorErasesWholeSectorWithDq7Polling) {
    Am29f400 f(FlashTiming::Typical());
    const Picos us = sim::kPicosPerMicro;  // each program takes 12 us here
    Program(f, 0x0FFFE, 0x1111, 0);
    Program(f, 0x10000, 0x2222, 20 * us);
    Program(f, 0x1FFFE, 0x3333, 40 * us);
    Program(f, 0x20000, 0x4444, 60 * us);
    const Picos t0 = sim::kPicosPerMilli;
    EraseSetup(f, t0);
    f.Write(0x18000, 0x30, t0);
    const std::uint16_t during = f.Read(0x18000, t0 + 10 * sim::kPicosPerMicro);
    EXPECT_EQ(during & 0x80, 0);   // DQ7 reads 0 while erasing
    EXPECT_EQ(during & 0x08, 0);   // DQ3: still in the erase window
    const std::uint16_t later = f.Read(0x18000, t0 + 500 * sim::kPicosPerMilli);
    EXPECT_EQ(later & 0x80, 0);
    EXPECT_EQ(later & 0x08, 0x08);  // erase has begun
    EXPECT_TRUE(f.NextEvent().has_value());
    const Picos end = *f.NextEvent();
    EXPECT_GE(end, t0 + sim::kPicosPerSecond);
    EXPECT_EQ(f.Read(0x18000, end), 0xFFFF);  // DQ7 = 1: done, array data
    EXPECT_EQ(f.Read(0x10000, end), 0xFFFF);
    EXPECT_EQ(f.Read(0x1FFFE, end), 0xFFFF);
    EXPECT_EQ(f.Read(0x0FFFE, end), 0x1111);
    EXPECT_EQ(f.Read(0x20000, end), 0x4444);
}

TEST(Flash, ChipEraseAndSectorFault) {
    Am29f400 f;
    for (std::uint32_t off : {0x0u, 0x4000u, 0x7FFFEu}) Program(f, off, 0x0000);
    EraseSetup(f, 0);
    f.Write(k555, 0x10, 0);
    for (std::uint32_t off : {0x0u, 0x4000u, 0x7FFFEu}) EXPECT_EQ(f.Read(off, 0), 0xFFFF);
    EXPECT_EQ(f.GetCounters().chipErases, 1u);

    Program(f, 0x70010, 0x0000);
    f.FailSector(10);
    EraseSetup(f, 1);
    f.Write(0x70000, 0x30, 1);
    const std::uint16_t s = f.Read(0x70010, 2);
    EXPECT_EQ(s & 0xA0, 0x20);  // DQ7 0, DQ5 1: failed
    f.Write(0, 0xF0, 3);
    EXPECT_EQ(f.Read(0x70010, 3), 0x0000);  // nothing erased
}

TEST(Flash, AutoselectGivesIds) {
    Am29f400 f;
    f.Write(k555, 0xAA, 0);
    f.Write(k2AA, 0x55, 0);
    f.Write(k555, 0x90, 0);
    EXPECT_EQ(f.Read(0, 0), Am29f400::kManufacturerId);
    EXPECT_EQ(f.Read(2, 0), Am29f400::kDeviceIdBottom);
    f.Write(0x100, 0x1234, 0);  // not a reset: still the ids
    f.Write(k555, 0xAA, 0);
    f.Write(k2AA, 0x55, 0);
    EXPECT_EQ(f.Read(2, 0), Am29f400::kDeviceIdBottom);
    f.Write(k555, 0xF0, 0);     // reset after the unlock cycles
    EXPECT_EQ(f.Read(0, 0), 0xFFFF);
    f.Write(k555, 0xAA, 0);
    f.Write(k2AA, 0x55, 0);
    f.Write(k555, 0x90, 0);
    f.Write(0, 0xF0, 0);        // reset alone
    EXPECT_EQ(f.Read(0, 0), 0xFFFF);
}

// During the sector-erase window only another sector's 0x30 is taken; any
// other command resets the chip and nothing is erased.
TEST(Flash, OtherCommandInTheEraseWindowResetsTheChip) {
    Am29f400 f(FlashTiming::Typical());
    Program(f, 0x10000, 0x2222, 0);
    const Picos t0 = sim::kPicosPerMilli;
    EraseSetup(f, t0);
    f.Write(0x18000, 0x30, t0);
    f.Write(k555, 0xAA, t0 + sim::kPicosPerMicro);
    EXPECT_FALSE(f.Busy());
    EXPECT_FALSE(f.NextEvent().has_value());
    EXPECT_EQ(f.Read(0x10000, t0 + 2 * sim::kPicosPerSecond), 0x2222);
}

}  // namespace
