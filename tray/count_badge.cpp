// The count in the corner of the new-mail icon.
#include "tray/count_badge.h"

namespace {

// Digits 0 to 9 and a plus, 3 x 5 pixels each, read from the top left.
constexpr uint16_t GLYPHS[11] = {0x7B6F, 0x2C97, 0x73E7, 0x73CF, 0x5BC9, 0x79CF,
                                 0x79EF, 0x7249, 0x7BEF, 0x7BCF, 0x05D0};
constexpr int PLUS = 10;
constexpr uint32_t BADGE = 0xFFC42B1C;   // red, as Windows marks what needs a look
constexpr uint32_t FIGURE = 0xFFFFFFFF;
// A pixel's rim above and left of the badge: on the new-mail icon's red
// arrow, red on red would read as one shape.
constexpr uint32_t RIM = 0xFFF0F0F0;

} // namespace

bool paint_count_badge(uint32_t* pixels, int size, int count)
{
    int glyphs[3];
    int n = 0;
    if (count > 99) {
        glyphs[n++] = 9;
        glyphs[n++] = 9;
        glyphs[n++] = PLUS;
    } else if (count > 0) {
        if (count > 9)
            glyphs[n++] = count / 10;
        glyphs[n++] = count % 10;
    } else {
        return false;
    }
    // One glyph pixel is scale x scale: whole pixels, as sharp at 32 as at 16.
    const int scale = size < 32 ? 1 : size / 16;
    // A glyph pixel of margin all round, one between glyphs.
    const int width = (4 * n + 1) * scale;
    const int height = 7 * scale;
    if (size > BADGE_PICTURE_MAX || width + 1 > size || height + 1 > size)
        return false;
    uint32_t* corner = pixels + (size - height) * size + (size - width);
    for (int x = 1; x <= width; ++x)
        corner[-size + x - 1] = RIM;
    for (int y = 0; y < height; ++y)
        corner[y * size - 1] = RIM;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            // Rounded corners: the icon shows through the outermost pixels.
            const int from_side = x < width - 1 - x ? x : width - 1 - x;
            const int from_end = y < height - 1 - y ? y : height - 1 - y;
            if (from_side + from_end < scale)
                continue;
            const int gx = x / scale - 1;
            const int gy = y / scale - 1;
            const bool lit = gx >= 0 && gy >= 0 && gy < 5 && gx % 4 < 3 && gx / 4 < n &&
                             (GLYPHS[glyphs[gx / 4]] >> (14 - 3 * gy - gx % 4) & 1) != 0;
            corner[y * size + x] = lit ? FIGURE : BADGE;
        }
    }
    return true;
}
