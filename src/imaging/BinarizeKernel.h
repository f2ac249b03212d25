#pragma once

// Pieces of the pass that its plain and SIMD paths share. Internal to the
// imaging library.

#include <cstddef>
#include <cstdint>

namespace imaging::detail {

// The pixels of a picture as the pass walks them.
struct PixelRows {
    std::uint8_t* first = nullptr; // first pixel of the top row
    std::size_t stride = 0;
    std::size_t width = 0;
    std::size_t height = 0;
};

// Calls run(pixels, count) for each stretch of adjacent whole pixels. Rows
// without padding between them make one stretch, so that vector code meets
// one ragged end per picture instead of one per row.
template <class Run> void forEachRun(const PixelRows& rows, Run&& run)
{
    if (rows.stride == 3 * rows.width) {
        run(rows.first, rows.width * rows.height);
        return;
    }
    for (std::size_t y = 0; y < rows.height; ++y)
        run(rows.first + y * rows.stride, rows.width);
}

// The plain loop over `count` pixels: white when the pixel's luminanceSum
// reaches `floor` (see whiteFloor), black otherwise.
void binarizeRunPortable(std::uint8_t* pixels, std::size_t count, std::uint32_t floor) noexcept;

// The whole pass through the fastest path this processor runs.
void binarizeRows(const PixelRows& rows, std::uint32_t floor) noexcept;

} // namespace imaging::detail
