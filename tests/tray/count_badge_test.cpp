// The count on the new-mail icon reads back from its pixels: the digits are
// there, in the corner, at 16 pixels as at 32.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tray/count_badge.h"

namespace {

constexpr uint32_t ICON = 0x80123456;   // what the icon had there: half clear

// The badge as a reader sees it: the box of changed pixels, and in it each
// glyph (a run of columns holding the lighter colour) as its lit pixels.
struct Badge {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool opaque = true;
    std::vector<std::string> glyphs;
};

Badge read_badge(const std::vector<uint32_t>& pixels, int size)
{
    Badge badge;
    badge.left = badge.top = size;
    uint32_t figure = 0;
    for (int i = 0; i < size * size; ++i) {
        if (pixels[i] == ICON)
            continue;
        const int x = i % size, y = i / size;
        badge.left = std::min(badge.left, x), badge.top = std::min(badge.top, y);
        badge.right = std::max(badge.right, x + 1), badge.bottom = std::max(badge.bottom, y + 1);
        badge.opaque = badge.opaque && pixels[i] >> 24 == 0xFF;
        figure = std::max(figure, pixels[i] & 0xFFFFFF);
    }
    std::string glyph;
    for (int x = badge.left; x <= badge.right; ++x) {
        std::string column;
        for (int y = badge.top; y < badge.bottom && x < badge.right; ++y)
            column += (pixels[y * size + x] & 0xFFFFFF) == figure ? '#' : '.';
        if (column.find('#') != std::string::npos) {
            glyph += column + "|";
        } else if (!glyph.empty()) {
            badge.glyphs.push_back(glyph);
            glyph.clear();
        }
    }
    return badge;
}

// Rows from the glyph's first lit pixel to its last.
size_t lit_height(const std::string& glyph)
{
    size_t first = std::string::npos, last = 0;
    for (size_t at = 0, end; (end = glyph.find('|', at)) != std::string::npos; at = end + 1) {
        const std::string column = glyph.substr(at, end - at);
        first = std::min(first, column.find('#'));
        last = std::max(last, column.rfind('#'));
    }
    return last - first + 1;
}

Badge painted(int size, int count)
{
    std::vector<uint32_t> pixels(size * size, ICON);
    EXPECT_TRUE(paint_count_badge(pixels.data(), size, count));
    return read_badge(pixels, size);
}

} // namespace

TEST(CountBadge, DigitsReadBackInTheCorner)
{
    for (int size : {16, 32}) {
        SCOPED_TRACE(size);
        const Badge one = painted(size, 1), nine = painted(size, 9), ten = painted(size, 10),
                    ninety_nine = painted(size, 99), hundred = painted(size, 100);
        ASSERT_EQ(one.glyphs.size(), 1u);
        ASSERT_EQ(nine.glyphs.size(), 1u);
        ASSERT_EQ(ten.glyphs.size(), 2u);
        ASSERT_EQ(ninety_nine.glyphs.size(), 2u);
        ASSERT_EQ(hundred.glyphs.size(), 3u);   // 99 and a plus
        const std::string& zero = ten.glyphs[1];
        const std::string& plus = hundred.glyphs[2];
        // Each digit its own shape, the same wherever it stands.
        EXPECT_NE(one.glyphs[0], nine.glyphs[0]);
        EXPECT_NE(zero, one.glyphs[0]);
        EXPECT_NE(zero, nine.glyphs[0]);
        EXPECT_NE(plus, nine.glyphs[0]);
        EXPECT_EQ(ten.glyphs[0], one.glyphs[0]);
        EXPECT_EQ(ninety_nine.glyphs, std::vector<std::string>(2, nine.glyphs[0]));
        EXPECT_EQ(hundred.glyphs[0], nine.glyphs[0]);
        EXPECT_EQ(hundred.glyphs[1], nine.glyphs[0]);
        for (const Badge* badge : {&one, &nine, &ten, &ninety_nine, &hundred}) {
            // In the lower right corner, opaque, under half the icon's height,
            // its digits five pixels high at least (two at 32).
            EXPECT_EQ(badge->right, size);
            EXPECT_EQ(badge->bottom, size);
            EXPECT_LE(badge->bottom - badge->top, size / 2);
            EXPECT_TRUE(badge->opaque);
            EXPECT_GE(lit_height(badge->glyphs[0]), size / 16 * 5u);
        }
    }
}

TEST(CountBadge, NothingPaintedWhereItDoesNotFitOrThereIsNoCount)
{
    struct Row { const char* what; int size, count; } rows[] = {
        {"three glyphs in 12 pixels", 12, 100}, {"no mail", 16, 0}, {"a count below zero", 16, -1},
        {"a picture larger than the buffer for its mask", BADGE_PICTURE_MAX + 2, 5},
    };
    for (const Row& row : rows) {
        std::vector<uint32_t> pixels(row.size * row.size, ICON);
        EXPECT_FALSE(paint_count_badge(pixels.data(), row.size, row.count)) << row.what;
        EXPECT_EQ(pixels, std::vector<uint32_t>(row.size * row.size, ICON)) << row.what;
    }
}
