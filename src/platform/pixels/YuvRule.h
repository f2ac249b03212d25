#pragma once

// The rule of YuyvToBgr.h worked out once for every path: its coefficients,
// derived from Kr and Kb at compile time, the exact integer form, and the
// portable row that the SIMD rows fall back on and are checked against.

#include "YuyvToBgr.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <numeric>

namespace platform::yuv::rule {

struct Ratio {
    std::int64_t num = 0;
    std::int64_t den = 1; // positive; num / den in lowest terms
};

constexpr Ratio ratio(std::int64_t num, std::int64_t den)
{
    const std::int64_t g = std::gcd(num, den);
    return den < 0 ? Ratio{-num / g, -den / g} : Ratio{num / g, den / g};
}
constexpr Ratio operator*(Ratio a, Ratio b)
{
    return ratio(a.num * b.num, a.den * b.den);
}
constexpr Ratio operator/(Ratio a, Ratio b)
{
    return ratio(a.num * b.den, a.den * b.num);
}
constexpr Ratio operator-(Ratio a, Ratio b)
{
    return ratio(a.num * b.den - b.num * a.den, a.den * b.den);
}

constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) // b > 0
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

inline constexpr int kFraction = 21;
inline constexpr std::int32_t kHalf = std::int32_t{1} << (kFraction - 1);
inline constexpr std::int32_t kFractionMask = (std::int32_t{1} << kFraction) - 1;
// Red and blue: the offset that, with their coefficients, makes V >> 21
// exact (see the header).
inline constexpr std::int32_t kOffset = 64;
// Green: the bound on its fixed-point error, carried as its offset, so that
// V >> 21 is right whenever V's fraction is at least twice it.
inline constexpr std::int32_t kMargin = 256;

// r * 2^21 rounded to nearest.
constexpr std::int32_t fixed(Ratio r)
{
    return static_cast<std::int32_t>(floorDiv(2 * (r.num << kFraction) + r.den, 2 * r.den));
}

// One output channel: 255 x = (ny c + ncb d + ncr f) / den exactly, and
// the same sum's coefficients and offset in fixed point.
struct Channel {
    std::int64_t ny, ncb, ncr, den;
    std::int32_t cb, cr; // luma's is the matrix's, the same for all three
    std::int32_t bias;   // 2^20 and the offset
};

// `adjust` moves the chroma coefficients by that many units.
constexpr Channel channel(Ratio y, Ratio cb, Ratio cr, std::int32_t offset, int adjust = 0)
{
    const std::int64_t den = std::lcm(std::lcm(y.den, cb.den), cr.den);
    return {y.num * (den / y.den),
            cb.num * (den / cb.den),
            cr.num * (den / cr.den),
            den,
            cb.num ? fixed(cb) + adjust : 0,
            cr.num ? fixed(cr) + adjust : 0,
            kHalf + offset};
}

struct Matrix {
    int yOffset;    // 16 for limited range, 0 for full
    std::int32_t y; // luma coefficient in fixed point
    Channel bgr[3]; // blue, green, red
};

// kr and kb in ten-thousandths; the units by which blue's and red's chroma
// coefficients move from nearest.
constexpr Matrix matrix(std::int64_t kr10k, std::int64_t kb10k, bool full, int blue, int red)
{
    const Ratio one = ratio(1, 1), two = ratio(2, 1);
    const Ratio kr = ratio(kr10k, 10000), kb = ratio(kb10k, 10000);
    const Ratio kg = one - kr - kb;
    // 255 Y' per step of Y, 255 Pb per step of Cb (and Pr of Cr).
    const Ratio ys = full ? one : ratio(255, 219);
    const Ratio cs = full ? one : ratio(255, 224);
    const Ratio zero = ratio(0, 1);
    return {full ? 0 : 16,
            fixed(ys),
            {channel(ys, two * (one - kb) * cs, zero, kOffset, blue),
             channel(ys, zero - two * kb * (one - kb) / kg * cs,
                     zero - two * kr * (one - kr) / kg * cs, kMargin),
             channel(ys, zero, two * (one - kr) * cs, kOffset, red)}};
}

inline constexpr Matrix kMatrices[] = {
    matrix(2990, 1140, false, 0, -1), // YuvEncoding::Bt601Limited
    matrix(2990, 1140, true, 0, 0),   // Bt601Full
    matrix(2126, 722, false, -1, 0),  // Rec709Limited
    matrix(2126, 722, true, 0, 0),    // Rec709Full
};

inline const Matrix& matrixOf(YuvEncoding encoding)
{
    const auto i = static_cast<std::size_t>(encoding);
    return kMatrices[i < std::size(kMatrices) ? i : 0];
}

inline std::uint8_t clamp8(std::int64_t v)
{
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(v, 0, 255));
}

// The rule itself, in 64-bit integers: floor(x + 1/2) with x = n / den.
constexpr std::int64_t exactChannel(const Channel& k, int c, int d, int f)
{
    const std::int64_t n = k.ny * c + k.ncb * d + k.ncr * f;
    return floorDiv(2 * n + k.den, 2 * k.den);
}

// Spot checks of the rule: a grey level the old 8-bit form had 1 low
// (255 * 70 / 219 = 81.507), a tie, and the coefficients' sizes.
static_assert(exactChannel(kMatrices[0].bgr[1], 70, 0, 0) == 82);
static_assert(exactChannel(kMatrices[1].bgr[0], 100, -125, 0) == 100 - 221); // -121.5 up
static_assert(kMatrices[1].y == 1 << kFraction && kMatrices[3].y == 1 << kFraction);
static_assert(kMatrices[0].y == 2441889 && kMatrices[0].bgr[2].cr == 3347111 - 1 &&
              kMatrices[2].bgr[0].cb == 4430028 - 1);

// What the header promises of V: its largest size stays in 32 bits, and the
// pieces the SIMD path splits coefficients into fit in 16.
constexpr bool fitsInt32(const Matrix& m)
{
    const std::int64_t cMax = m.yOffset ? 239 : 255;
    for (const Channel& k : m.bgr) {
        const std::int64_t chroma =
            128 * (std::max<std::int64_t>(k.cb, -k.cb) + std::max<std::int64_t>(k.cr, -k.cr));
        if (m.y * cMax + chroma + k.bias >= (std::int64_t{1} << 31) || (k.cb >> 8) > 32767 ||
            (k.cb >> 8) < -32768 || (k.cr >> 8) > 32767 || (k.cr >> 8) < -32768)
            return false;
    }
    return (m.y >> 7) <= 32767;
}
static_assert(std::all_of(std::begin(kMatrices), std::end(kMatrices), fitsInt32));

inline std::uint8_t exactly(const Channel& k, int c, int d, int f)
{
    return clamp8(exactChannel(k, c, d, f));
}

// Green: V >> 21 when V's fraction shows it is right, else the exact form.
inline std::uint8_t green(std::int32_t v, const Channel& k, int c, int d, int f)
{
    if ((v & kFractionMask) < 2 * kMargin)
        return exactly(k, c, d, f);
    return clamp8(v >> kFraction);
}

// The row from pixel x on (x even).
inline Row from(const Row& row, int x)
{
    const std::size_t pair = static_cast<std::size_t>(x / 2) * row.cStep;
    return {row.y + static_cast<std::size_t>(x) * row.yStep, row.cb + pair, row.cr + pair,
            row.yStep, row.cStep};
}

inline void pixelsPortable(const Row& row, std::uint8_t* __restrict dst, int width, const Matrix& m)
{
    const Channel& kb = m.bgr[0];
    const Channel& kg = m.bgr[1];
    const Channel& kr = m.bgr[2];
    for (int x = 0; x < width; x += 2) {
        const std::size_t pair = static_cast<std::size_t>(x / 2) * row.cStep;
        const int d = row.cb[pair] - 128;
        const int f = row.cr[pair] - 128;
        const std::int32_t b = kb.cb * d + kb.bias;
        const std::int32_t g = kg.cb * d + kg.cr * f + kg.bias;
        const std::int32_t r = kr.cr * f + kr.bias;
        const int n = std::min(2, width - x);
        for (int k = 0; k < n; ++k) {
            const int c = row.y[static_cast<std::size_t>(x + k) * row.yStep] - m.yOffset;
            const std::int32_t y = m.y * c;
            std::uint8_t* out = dst + 3 * (x + k);
            out[0] = clamp8((y + b) >> kFraction);
            out[1] = green(y + g, kg, c, d, f);
            out[2] = clamp8((y + r) >> kFraction);
        }
    }
}

} // namespace platform::yuv::rule
