#include "Picture.h"

#include <cstring>
#include <limits>
#include <utility>

namespace imaging {

namespace {

// Widths and heights stay within what a signed 32-bit coordinate reaches, and
// the whole buffer within what a pointer difference can span.
void checkSize(int width, int height)
{
    if (width < 0 || height < 0)
        throw PictureSizeError("picture size is negative");
    if (width == 0 || height == 0)
        return;
    const std::size_t stride = Picture::StrideFor(width);
    const auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (stride > limit / static_cast<std::size_t>(height))
        throw PictureSizeError("picture is too large to address");
}

} // namespace

Picture::Picture(int width, int height)
{
    checkSize(width, height);
    if (width == 0 || height == 0)
        return;
    const std::size_t stride = StrideFor(width);
    bits_ =
        std::make_unique_for_overwrite<std::uint8_t[]>(stride * static_cast<std::size_t>(height));
    width_ = width;
    height_ = height;
    stride_ = stride;
    const std::size_t used = static_cast<std::size_t>(width) * kBytesPerPixel;
    if (used != stride) {
        for (int y = 0; y < height; ++y)
            std::memset(ScanLine(y) + used, 0, stride - used);
    }
}

Picture::Picture(const Picture& other)
    : width_(other.width_)
    , height_(other.height_)
    , stride_(other.stride_)
{
    if (other.bits_) {
        bits_ = std::make_unique_for_overwrite<std::uint8_t[]>(other.SizeInBytes());
        std::memcpy(bits_.get(), other.bits_.get(), other.SizeInBytes());
    }
}

Picture& Picture::operator=(const Picture& other)
{
    if (this != &other) {
        Picture copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Picture::Picture(Picture&& other) noexcept
    : width_(std::exchange(other.width_, 0))
    , height_(std::exchange(other.height_, 0))
    , stride_(std::exchange(other.stride_, 0))
    , bits_(std::move(other.bits_))
{}

Picture& Picture::operator=(Picture&& other) noexcept
{
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    stride_ = std::exchange(other.stride_, 0);
    bits_ = std::move(other.bits_);
    return *this;
}

} // namespace imaging
