#pragma once

#include <cstdint>

namespace imaging {

// Luma with the BT.601 weights 0.299, 0.587 and 0.114 taken at the exact
// values of their IEEE doubles, each a whole multiple of 2^-56, summed without
// rounding and truncated toward zero. This is what an x87 evaluation of
// R*0.299 + G*0.587 + B*0.114 gives, and double arithmetic does not: white
// is 254 here and 255 in doubles.
constexpr int Luminance(std::uint8_t R, std::uint8_t G, std::uint8_t B) noexcept
{
    constexpr std::uint64_t kRed = 21545220617340452;   // 0.299 * 2^56
    constexpr std::uint64_t kGreen = 42297807700263696; // 0.587 * 2^56
    constexpr std::uint64_t kBlue = 8214565720323785;   // 0.114 * 2^56
    // 255 * (2^56 - 3) is the largest sum, below 2^64.
    return static_cast<int>((R * kRed + G * kGreen + B * kBlue) >> 56);
}

static_assert(Luminance(255, 255, 255) == 254);
static_assert(Luminance(255, 0, 0) == 76 && Luminance(0, 255, 0) == 149 && Luminance(0, 0, 255) == 29);
static_assert(Luminance(200, 100, 50) == 124);

} // namespace imaging
