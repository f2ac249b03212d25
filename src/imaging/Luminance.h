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
static_assert(Luminance(255, 0, 0) == 76 && Luminance(0, 255, 0) == 149 &&
              Luminance(0, 0, 255) == 29);
static_assert(Luminance(200, 100, 50) == 124);

// The same rule in 32-bit arithmetic, for the pass. With these weights,
// luminanceSum(R, G, B) >> 23 equals Luminance(R, G, B) for every one of the
// 2^24 colours (the tests go through all of them), and the largest sum,
// 255 * 8388581, stays below 2^31.
inline constexpr std::uint32_t kRedWeight23 = 2508186;
inline constexpr std::uint32_t kGreenWeight23 = 4924091;
inline constexpr std::uint32_t kBlueWeight23 = 956304;

constexpr std::uint32_t luminanceSum(std::uint8_t R, std::uint8_t G, std::uint8_t B) noexcept
{
    return kRedWeight23 * R + kGreenWeight23 * G + kBlueWeight23 * B;
}

// The smallest luminanceSum whose luminance is above the threshold: a pixel
// is white exactly when its sum reaches it. Below 0 every sum reaches it;
// from 254 on (the largest luminance) none does.
constexpr std::uint32_t whiteFloor(int threshold) noexcept
{
    const int level = threshold < 0 ? 0 : threshold > 254 ? 255 : threshold + 1;
    return static_cast<std::uint32_t>(level) << 23;
}

static_assert(luminanceSum(255, 255, 255) < whiteFloor(254) &&
              luminanceSum(255, 255, 255) >= whiteFloor(253));
static_assert(luminanceSum(255, 255, 255) < (1u << 31));

} // namespace imaging
