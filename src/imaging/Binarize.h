#pragma once

#include "Picture.h"

namespace imaging {

// Turns every pixel of the picture white (255, 255, 255) when its Luminance is
// strictly above the threshold and black (0, 0, 0) otherwise, in place. Row
// padding is neither read nor written.
void Binarize(Picture& picture, int threshold) noexcept;

} // namespace imaging
