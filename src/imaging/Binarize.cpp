#include "Binarize.h"

#include "BinarizeKernel.h"
#include "BinarizePaths.h"
#include "Luminance.h"

#include <cstdint>

namespace imaging {

namespace {

detail::PixelRows rowsOf(Picture& picture)
{
    if (picture.Empty())
        return {};
    return {picture.ScanLine(0), picture.Stride(), static_cast<std::size_t>(picture.Width()),
            static_cast<std::size_t>(picture.Height())};
}

} // namespace

void detail::binarizeRunPortable(std::uint8_t* pixels, std::size_t count,
                                 std::uint32_t floor) noexcept
{
    for (std::uint8_t* const end = pixels + 3 * count; pixels != end; pixels += 3) {
        // Compiles to a compare and a set, no branch: pictures are noise to a
        // branch predictor.
        const std::uint8_t value = luminanceSum(pixels[2], pixels[1], pixels[0]) >= floor ? 255 : 0;
        pixels[0] = value;
        pixels[1] = value;
        pixels[2] = value;
    }
}

void Binarize(Picture& picture, int threshold) noexcept
{
    if (!picture.Empty())
        detail::binarizeRows(rowsOf(picture), whiteFloor(threshold));
}

void binarizePortable(Picture& picture, int threshold) noexcept
{
    const std::uint32_t floor = whiteFloor(threshold);
    detail::forEachRun(rowsOf(picture), [floor](std::uint8_t* pixels, std::size_t count) {
        detail::binarizeRunPortable(pixels, count, floor);
    });
}

#ifndef THRESHCAM_SIMD

// A build without SIMD paths: the plain loop is the only one.

void detail::binarizeRows(const PixelRows& rows, std::uint32_t floor) noexcept
{
    forEachRun(rows, [floor](std::uint8_t* pixels, std::size_t count) {
        binarizeRunPortable(pixels, count, floor);
    });
}

std::vector<std::string> binarizeSimdTargets()
{
    return {};
}

bool useBinarizeSimdTarget(std::string_view name)
{
    return name.empty();
}

std::string binarizePath()
{
    return "C++";
}

#endif

} // namespace imaging
