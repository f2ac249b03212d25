#pragma once

// YUYV 4:2:2 to blue-green-red, one row at a time. BT.601, limited range
// (Y 16..235, Cb and Cr 16..240), 8 fractional bits:
//   C = Y - 16, D = Cb - 128, E = Cr - 128
//   R = (298 C           + 409 E + 128) >> 8
//   G = (298 C - 100 D   - 208 E + 128) >> 8
//   B = (298 C + 516 D           + 128) >> 8
// each clamped to 0..255 (>> rounds toward minus infinity). Both pixels of a
// pair share one Cb and one Cr. Every path below gives exactly these values.

#include <cstdint>

namespace platform::yuyv {

// Converts `pairs` pairs of pixels (4 bytes in, 6 bytes out each).
using RowFunction = void (*)(const std::uint8_t* src, std::uint8_t* dst, int pairs);

// Plain C++, for any processor.
void rowPortable(const std::uint8_t* src, std::uint8_t* dst, int pairs);
// SSSE3, 16 pixels at a time; null when the processor lacks SSSE3.
RowFunction rowSsse3();
// The fastest of the above that this processor runs.
RowFunction bestRow();

} // namespace platform::yuyv
