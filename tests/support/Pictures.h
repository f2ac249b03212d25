#pragma once

// Pictures for tests: made whole from one colour, and compared pixel by pixel
// (row padding left out, as the program never reads it).

#include "Picture.h"

#include <cstdint>
#include <cstring>

inline imaging::Picture filled(int width, int height, std::uint8_t B, std::uint8_t G,
                               std::uint8_t R)
{
    imaging::Picture p(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = p.ScanLine(y) + 3 * x;
            px[0] = B;
            px[1] = G;
            px[2] = R;
        }
    }
    return p;
}

inline imaging::Picture solid(int width, int height, std::uint8_t value)
{
    return filled(width, height, value, value, value);
}

inline bool samePixels(const imaging::Picture& a, const imaging::Picture& b)
{
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), 3 * static_cast<std::size_t>(a.Width())) != 0)
            return false;
    return true;
}
