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
// without padding between them make one stretch per band of rows, so that
// vector code meets few ragged ends. The bands go from the bottom up: a view
// shows a picture's top rows, which are then the last ones written and still
// in the cache when the view draws them right after the pass.
template <class Run> void forEachRun(const PixelRows& rows, Run&& run)
{
    constexpr std::size_t kBandRows = 64;
    const bool packed = rows.stride == 3 * rows.width;
    for (std::size_t end = rows.height; end > 0;) {
        const std::size_t begin = end > kBandRows ? end - kBandRows : 0;
        if (packed) {
            run(rows.first + begin * rows.stride, rows.width * (end - begin));
        } else {
            for (std::size_t y = begin; y < end; ++y)
                run(rows.first + y * rows.stride, rows.width);
        }
        end = begin;
    }
}

// The plain loop over `count` pixels: white when the pixel's luminanceSum
// reaches `floor` (see whiteFloor), black otherwise.
void binarizeRunPortable(std::uint8_t* pixels, std::size_t count, std::uint32_t floor) noexcept;

// The whole pass through the fastest path this processor runs.
void binarizeRows(const PixelRows& rows, std::uint32_t floor) noexcept;

} // namespace imaging::detail
