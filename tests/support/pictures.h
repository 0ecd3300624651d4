// An icon's picture as a test reads it back: its own pixels, alpha and all.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <vector>

struct Picture {
    int size;
    std::vector<uint32_t> pixels;   // rows top-down, 0xAARRGGBB
};

inline Picture picture_of(HICON icon, bool destroy = false)
{
    Picture picture = {0, {}};
    ICONINFO info;
    BITMAP bitmap;
    if (icon == nullptr || !GetIconInfo(icon, &info))
        return picture;
    GetObjectA(info.hbmColor, sizeof bitmap, &bitmap);
    picture = {bitmap.bmWidth, std::vector<uint32_t>(bitmap.bmWidth * bitmap.bmWidth)};
    BITMAPINFO format = {{sizeof(BITMAPINFOHEADER), picture.size, -picture.size, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, info.hbmColor, 0, picture.size, picture.pixels.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    if (destroy)
        DestroyIcon(icon);
    return picture;
}
