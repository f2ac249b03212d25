#pragma once

// Y'CbCr to blue-green-red, one row at a time: the 4:2:2 packed orders
// (YUYV and the others) and the 4:2:0 planes alike. Both pixels of a pair
// share one Cb and one Cr; in 4:2:0 the two rows of a pair of rows share a
// row of them. Grey is luma alone, read by the same rule.
//
// The rule. With the encoding's Kr and Kb (BT.601: 0.299 and 0.114,
// Rec. 709: 0.2126 and 0.0722, taken as the exact decimals) and
// Kg = 1 - Kr - Kb:
//   limited range: Y' = (Y - 16) / 219, Pb = (Cb - 128) / 224, Pr = (Cr - 128) / 224
//   full range:    Y' = Y / 255,        Pb = (Cb - 128) / 255, Pr = (Cr - 128) / 255
//   R = Y' + 2 (1 - Kr) Pr
//   G = Y' - 2 Kb (1 - Kb) / Kg Pb - 2 Kr (1 - Kr) / Kg Pr
//   B = Y' + 2 (1 - Kb) Pb
// Each channel is 255 R (or G, or B) in exact rational arithmetic, rounded
// to the nearest integer with a tie going up, then clamped to 0..255. Ties
// occur only in BT.601 full range (Cb 3 puts B at Y - 221.5).
//
// Why the fast form equals it. Both paths form each channel as
//   V = a c + b d + e f + 2^20 + t
// in 32 bits, where c, d, f are Y - 16 (Y in full range), Cb - 128 and
// Cr - 128, and a, b, e are the channel's coefficients times 2^21, rounded
// to nearest.
// - Blue and red have two terms, and 21 bits get them exact: with t = 64,
//   and BT.601 limited red's and Rec. 709 limited blue's chroma coefficient
//   one below nearest, V >> 21 is the exactly rounded value for every Y, Cb
//   and Cr (the tests go through all of them).
// - Green has three, and in limited range its exact values come within
//   2^-23 of a step, finer than 21 bits resolve. Each rounding is off by at
//   most 1/2 and |c| + |d| + |f| <= 511, so with t = 256 V is within 256 of
//   2^21 (x + 1/2) + 256, x being the exact value. Hence whenever the low 21
//   bits of V are at least 512, V >> 21 is the exactly rounded value.
//   Otherwise (about one green in 4096) the exact integer form decides:
//   x = n / q with 64-bit integers n and q, rounded as floor((2n + q) / 2q).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// How a camera's Y, Cb and Cr are to be read, as its driver declares them.
enum class YuvEncoding : std::uint8_t { Bt601Limited, Bt601Full, Rec709Limited, Rec709Full };

namespace yuv {

// Where one row's samples are: pixel x's Y at y[x * yStep], the Cb and Cr
// of the pair holding it at cb[x / 2 * cStep] and cr[x / 2 * cStep]. The
// steps name the layouts the fast path knows: 2 and 4 packed 4:2:2, 1 and 2
// semi-planar (Cb and Cr side by side), 1 and 1 planar.
struct Row {
    const std::uint8_t* y;
    const std::uint8_t* cb;
    const std::uint8_t* cr;
    int yStep;
    int cStep;
};

// Converts `width` pixels (3 bytes out each); an odd last pixel takes the
// pair's chroma that covers it.
using RowFunction = void (*)(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding);

// Plain C++, for any processor: the reference the SIMD rows are held to.
void rowPortable(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding);
// The fastest row this processor runs: SIMD through Highway, 16 pixels at a
// time, in the best instruction set built for, else the portable row. It
// looks the choice up at each call, so that useRowPath takes effect.
RowFunction bestRow();

// The ways bestRow can run, best first: the SIMD instruction sets the rows
// were built for that this processor runs, by Highway's names ("AVX2",
// "SSSE3", "NEON", "SVE2"), then "C++", the portable row. While useRowPath
// holds a SIMD one, it is the only one listed of them.
std::vector<std::string> rowPaths();
// Makes bestRow take the named path (one of rowPaths()), or the best one
// again for an empty name; false for any other name. The SIMD ones go
// through Highway's test hook, which is process-wide and shared with every
// other user of Highway: call it only while no other thread converts.
bool useRowPath(std::string_view name);

// Grey: each Y as the encoding's range reads it (full range as it is,
// limited range stretched), the same in blue, green and red.
void greyRow(const std::uint8_t* src, std::uint8_t* dst, int width, YuvEncoding encoding);

} // namespace yuv

// YUYV by the functions above, as the exhaustive tests call it.
namespace yuyv {

// Converts `pairs` pairs of pixels (4 bytes in, 6 bytes out each).
using RowFunction = void (*)(const std::uint8_t* src, std::uint8_t* dst, int pairs,
                             YuvEncoding encoding);

// Plain C++, for any processor.
void rowPortable(const std::uint8_t* src, std::uint8_t* dst, int pairs,
                 YuvEncoding encoding = YuvEncoding::Bt601Limited);
// yuv::bestRow's choice, as it stands at each call.
RowFunction bestRow();

} // namespace yuyv

} // namespace platform
