// The fast stage's plan with erases in it: every sector asked for is erased
// once, before any frame lands in it (a compressed chunk's DATA frames
// included), and sectors no frame lands in come first; the check of the
// flash comes last and covers the file once.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "FastStagePlan.h"
#include "FastVerify.h"
#include "FlashMap.h"
#include "fast_stage.h"

namespace {

std::uint32_t Address(const StageFrameT& f) {
    return (std::uint32_t{f.data[0]} << 24) | (std::uint32_t{f.data[1]} << 16) | (std::uint32_t{f.data[2]} << 8) |
           f.data[3];
}

TEST(StagePlan, EachSectorIsErasedOnceBeforeItsFramesAndBlankSectorsFirst) {
    std::vector<std::int16_t> image(kFlashSize, -1);
    std::mt19937 random(7);
    const auto fill = [&](std::uint32_t from, std::uint32_t to, int value) {
        for (std::uint32_t a = from; a < to; ++a)  // few values: it compresses
            image[a - kFlashBase] = static_cast<std::int16_t>(value < 0 ? static_cast<int>(random() % 4) : value);
    };
    fill(0x404000, 0x405800, -1);
    fill(0x406000, 0x408000, 0xFF);  // blank: left to the erase
    fill(0x410000, 0x411000, -1);
    const std::uint32_t asked = (1u << 1) | (1u << 2) | (1u << 4) | (1u << 10);
    const StagePlanT plan = PlanStageUpload(image, true, asked);
    EXPECT_EQ(plan.erases, 4u);
    ASSERT_GE(plan.frames.size(), 2u);
    EXPECT_EQ(plan.frames[0].command, STAGE_CMD_ERASE);
    EXPECT_EQ(Address(plan.frames[0]), 0x406000u);
    EXPECT_EQ(plan.frames[1].command, STAGE_CMD_ERASE);
    EXPECT_EQ(Address(plan.frames[1]), 0x470000u);
    EXPECT_GT(plan.chunks, 0u);

    std::uint32_t erased = 0;
    std::uint32_t erasedBeforeData = 0;  // when the chunk being gathered began
    for (std::size_t i = 0; i < plan.frames.size(); ++i) {
        const StageFrameT& f = plan.frames[i];
        if (f.command == STAGE_CMD_ERASE) {
            const auto bit = 1u << FlashSectorIndex(Address(f));
            EXPECT_EQ(erased & bit, 0u) << "erased twice";
            erased |= bit;
            continue;
        }
        if (f.command == STAGE_CMD_DATA) {
            if (i == 0 || plan.frames[i - 1].command != STAGE_CMD_DATA) erasedBeforeData = erased;
            continue;
        }
        const auto bit = 1u << FlashSectorIndex(Address(f));
        EXPECT_NE(erased & bit, 0u) << "a frame before its sector's erase at 0x" << std::hex << Address(f);
        // A chunk's erase comes before its DATA frames, not between them.
        if (f.command == STAGE_CMD_INFLATE) {
            EXPECT_NE(erasedBeforeData & bit, 0u);
        }
    }
    EXPECT_EQ(erased, asked);
    // The check comes last, covers every byte of the file once, and leaves
    // the blank range to a blank check: its CRC is over the other bytes.
    std::uint32_t covered = 0;
    bool checking = false;
    std::vector<std::uint8_t> crcBytes;
    for (const StageFrameT& f : plan.frames) {
        if (f.command != STAGE_CMD_CHECK) {
            EXPECT_FALSE(checking) << "a frame after the check";
            continue;
        }
        checking = true;
        for (std::size_t at = 0; at + 8 <= f.data.size(); at += 8) {
            const auto field = [&](std::size_t k) {
                return (std::uint32_t{f.data[at + k]} << 24) | (std::uint32_t{f.data[at + k + 1]} << 16) |
                       (std::uint32_t{f.data[at + k + 2]} << 8) | f.data[at + k + 3];
            };
            const std::uint32_t from = field(0);
            const std::uint32_t word = field(4);
            const std::uint32_t length = word & ~STAGE_CHECK_BLANK;
            covered += length;
            for (std::uint32_t a = from; a < from + length; ++a) {
                ASSERT_GE(image[a - kFlashBase], 0);
                if ((word & STAGE_CHECK_BLANK) != 0)
                    EXPECT_EQ(image[a - kFlashBase], 0xFF);
                else
                    crcBytes.push_back(static_cast<std::uint8_t>(image[a - kFlashBase]));
            }
        }
    }
    EXPECT_EQ(covered, plan.fileBytes);
    EXPECT_EQ(plan.check, Crc32(crcBytes));
    EXPECT_LT(crcBytes.size(), plan.fileBytes - 0x1000);  // the blank 8 KiB mostly outside the CRC
}

}  // namespace
