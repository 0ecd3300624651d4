// The count in the corner of the new-mail icon, painted pixel by pixel: at
// 16 pixels a font of five-pixel digits is the only one that stays legible.
#pragma once

#include <stdint.h>

// The largest picture a badge is painted into (the notification area asks
// 80 pixels at 500 %).
constexpr int BADGE_PICTURE_MAX = 128;

// Paints count as a badge into the lower right corner of a size x size
// picture (rows top-down, pixels 0xAARRGGBB, opaque): 1 to 99, "99+" above.
// False, and the picture untouched, where the badge does not fit.
bool paint_count_badge(uint32_t* pixels, int size, int count);
