// The count on the new-mail icon reads back from its pixels: the digits are
// there, in the corner, at 16 pixels as at 32.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tray/count_badge.h"

namespace {

constexpr uint32_t ICON = 0x80123456;   // what the icon had there: half clear

// The badge's glyphs as a reader sees them, left to right: each a run of
// columns holding white, as those columns. Fails where a changed pixel is
// not opaque or lies outside the lower right corner; lit_rows: how many rows
// hold white.
std::vector<std::string> glyphs_of(int size, int count, int* lit_rows)
{
    std::vector<uint32_t> pixels(size * size, ICON);
    EXPECT_TRUE(paint_count_badge(pixels.data(), size, count));
    std::vector<std::string> glyphs(1);
    std::vector<bool> lit(size);
    bool right_edge = false;
    for (int x = 0; x < size; ++x) {
        std::string column;
        for (int y = 0; y < size; ++y) {
            const uint32_t pixel = pixels[y * size + x];
            EXPECT_TRUE(pixel == ICON || (pixel >> 24 == 0xFF && y >= size / 2)) << x << ", " << y;
            right_edge = right_edge || (x == size - 1 && pixel != ICON);
            lit[y] = lit[y] || pixel == 0xFFFFFFFF;
            column += pixel == 0xFFFFFFFF ? '#' : '.';
        }
        if (column.find('#') != std::string::npos)
            glyphs.back() += column + "|";
        else if (!glyphs.back().empty())
            glyphs.emplace_back();
    }
    EXPECT_TRUE(right_edge);
    *lit_rows = static_cast<int>(std::count(lit.begin(), lit.end(), true));
    if (glyphs.back().empty())
        glyphs.pop_back();
    return glyphs;
}

} // namespace

TEST(CountBadge, DigitsReadBackInTheCorner)
{
    for (int size : {16, 32}) {
        SCOPED_TRACE(size);
        int rows = 0;
        const auto one = glyphs_of(size, 1, &rows), nine = glyphs_of(size, 9, &rows),
                   ten = glyphs_of(size, 10, &rows), ninety_nine = glyphs_of(size, 99, &rows),
                   hundred = glyphs_of(size, 100, &rows);
        EXPECT_GE(rows, size / 16 * 5) << "five-pixel digits, scaled by whole pixels";
        // 100 shows as 99 and a plus.
        ASSERT_EQ((std::vector<size_t>{one.size(), nine.size(), ten.size(), hundred.size()}),
                  (std::vector<size_t>{1, 1, 2, 3}));
        // Each digit its own shape, the same wherever it stands.
        EXPECT_NE(one[0], nine[0]);
        EXPECT_EQ(ten[0], one[0]);
        EXPECT_NE(ten[1], one[0]);
        EXPECT_NE(ten[1], nine[0]);
        EXPECT_EQ(ninety_nine, std::vector<std::string>(2, nine[0]));
        EXPECT_EQ(std::vector<std::string>(hundred.begin(), hundred.begin() + 2), ninety_nine);
        EXPECT_NE(hundred[2], nine[0]);
    }
}
