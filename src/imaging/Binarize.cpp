#include "Binarize.h"

#include "Luminance.h"

#include <cstdint>

namespace imaging {

void Binarize(Picture& picture, int threshold) noexcept
{
    const int width = picture.Width();
    for (int y = 0; y < picture.Height(); ++y) {
        std::uint8_t* row = picture.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = row + 3 * x;
            const std::uint8_t value = Luminance(px[2], px[1], px[0]) > threshold ? 255 : 0;
            px[0] = value;
            px[1] = value;
            px[2] = value;
        }
    }
}

} // namespace imaging
