#pragma once

// 32-bit RGB (a padding or alpha byte beside blue, green and red) to 24-bit
// blue-green-red rows: the fourth byte is dropped, the others kept exactly.

#include <cstdint>

namespace platform::rgb32 {

// Where blue, green and red sit among a pixel's four bytes.
struct Order {
    int b, g, r;
};

using RowFunction = void (*)(const std::uint8_t* src, std::uint8_t* dst, int width, Order order);

void rowPortable(const std::uint8_t* src, std::uint8_t* dst, int width, Order order);
// SSSE3, four pixels a shuffle; null when the processor lacks SSSE3.
RowFunction rowSsse3();
RowFunction bestRow();

} // namespace platform::rgb32
