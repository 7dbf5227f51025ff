#include <gtest/gtest.h>

#include "HexConv.h"

TEST(HexConv, ByteDecodesBothCasesAndRejectsNonHex) {
    std::uint8_t v = 0xAA;
    HexToByte("4F", 1, v);
    EXPECT_EQ(v, 0x4F);
    HexToByte("4f", 1, v);
    EXPECT_EQ(v, 0x4F);
    v = 0xAA;
    HexToByte("4G", 1, v);
    EXPECT_EQ(v, 0);
    v = 0xAA;
    HexToByte("G4", 1, v);
    EXPECT_EQ(v, 0);
    HexToByte("ff", 1, v);
    EXPECT_EQ(v, 0xFF);
}

TEST(HexConv, WidthTooLargeReadsNothing) {
    // A null pointer would crash if any character were read.
    std::uint8_t b = 0xAA;
    HexToByte(nullptr, 2, b);
    EXPECT_EQ(b, 0);
    std::uint32_t l = 0xAAAA;
    HexToLong(nullptr, 5, l);
    EXPECT_EQ(l, 0u);
}

TEST(HexConv, LongDecodesExactlyTwoNCharacters) {
    std::uint32_t v = 0;
    HexToLong("00490000", 4, v);
    EXPECT_EQ(v, 0x00490000u);
    HexToLong("00490000ff", 4, v);  // characters past 2n are not read
    EXPECT_EQ(v, 0x00490000u);
    HexToLong("deadBEEF", 4, v);
    EXPECT_EQ(v, 0xDEADBEEFu);
    HexToLong("1234", 2, v);
    EXPECT_EQ(v, 0x1234u);
    HexToLong("12 4", 2, v);
    EXPECT_EQ(v, 0u);
    HexToLong("", 4, v);  // the terminator is a non-hex character: stops there
    EXPECT_EQ(v, 0u);
    HexToLong("FFFFFFFF", 0, v);
    EXPECT_EQ(v, 0u);
}

TEST(HexConv, DigitClassMatchesCLocale) {
    for (int c = -128; c < 128; ++c) {
        const char ch = static_cast<char>(c);
        const bool expected = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
        EXPECT_EQ(IsHexDigit(ch), expected) << c;
    }
}
