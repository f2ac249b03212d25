#pragma once

// The YUYV conversion worked out for tests on their own, from Kr and Kb in
// ten-thousandths. Everything times m = ly lc 10^4 Kg (ly and lc 219 and 224
// in limited range, both 255 in full) is whole, so 255 R = n / m exactly; it
// is rounded as floor(n / m + 1/2), a tie going up, and clamped to 0..255.

#include <algorithm>
#include <cstdint>

struct YuvReference {
    std::int64_t kr, kb;
    bool full;

    // Blue, green and red of one pixel.
    void bgr(int y, int u, int v, int out[3]) const
    {
        const std::int64_t kg = 10000 - kr - kb, ly = full ? 255 : 219, lc = full ? 255 : 224;
        const std::int64_t m = ly * lc * 10000 * kg;
        const std::int64_t luma = (y - (full ? 0 : 16)) * lc * 10000 * kg;
        const std::int64_t d = u - 128, f = v - 128;
        out[0] = rounded(luma + 2 * (10000 - kb) * d * ly * kg, m);
        out[1] = rounded(luma - 2 * kb * (10000 - kb) * d * ly - 2 * kr * (10000 - kr) * f * ly, m);
        out[2] = rounded(luma + 2 * (10000 - kr) * f * ly * kg, m);
    }

    static int rounded(std::int64_t n, std::int64_t m)
    {
        const std::int64_t num = 2 * 255 * n + m, den = 2 * m;
        const std::int64_t q = num / den - (num % den != 0 && num < 0);
        return int(std::clamp<std::int64_t>(q, 0, 255));
    }
};
