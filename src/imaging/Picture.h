#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace imaging {

// A picture whose size no row layout can hold (negative, or beyond what a
// pointer can span).
class PictureSizeError : public std::length_error {
public:
    using std::length_error::length_error;
};

// A 24-bit bitmap: each pixel is three bytes in the order blue, green, red, and
// every row is padded to a multiple of four bytes, the layout of a
// device-independent bitmap. Copies are deep; a moved-from picture is empty.
class Picture {
public:
    static constexpr int kBytesPerPixel = 3;

    Picture() = default;
    // Throws PictureSizeError for a size no row layout can hold and
    // std::bad_alloc when the memory cannot be had. The pixels are left
    // unset for the caller to fill; the row padding is zeroed.
    Picture(int width, int height);

    Picture(const Picture& other);
    Picture& operator=(const Picture& other);
    Picture(Picture&& other) noexcept;
    Picture& operator=(Picture&& other) noexcept;
    ~Picture() = default;

    int Width() const noexcept { return width_; }
    int Height() const noexcept { return height_; }
    bool Empty() const noexcept { return width_ == 0 || height_ == 0; }
    // Bytes from the start of one row to the start of the next.
    std::size_t Stride() const noexcept { return stride_; }
    std::size_t SizeInBytes() const noexcept { return stride_ * static_cast<std::size_t>(height_); }

    // Address of the first pixel of row y, 0 being the top row.
    std::uint8_t* ScanLine(int y) noexcept
    {
        return bits_.get() + stride_ * static_cast<std::size_t>(y);
    }
    const std::uint8_t* ScanLine(int y) const noexcept
    {
        return bits_.get() + stride_ * static_cast<std::size_t>(y);
    }

    static std::size_t StrideFor(int width) noexcept
    {
        return (static_cast<std::size_t>(width) * kBytesPerPixel + 3) & ~std::size_t{3};
    }

private:
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    std::unique_ptr<std::uint8_t[]> bits_;
};

} // namespace imaging
