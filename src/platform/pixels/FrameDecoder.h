#pragma once

// Turns one frame as a camera delivers it into 24-bit blue-green-red rows.
// Frames come from outside the program, so every decoder takes any bytes:
// a frame that is short, corrupt or of another size is refused, never read
// past its end.

#include "YuyvToBgr.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// Named by the order of the bytes in memory. YUV formats are read in the
// layout's YuvEncoding; a chroma sample stands for the pixels it covers.
enum class FrameFormat {
    BGR24, // passed through exactly
    RGB24, // channels swapped, otherwise exact
    YUYV,  // 4:2:2 packed: Y0 Cb Y1 Cr
    MJPEG, // one JPEG image per frame
    UYVY,  // 4:2:2 packed: Cb Y0 Cr Y1
    YVYU,  // 4:2:2 packed: Y0 Cr Y1 Cb
    VYUY,  // 4:2:2 packed: Cr Y0 Cb Y1
    NV12,  // 4:2:0: a Y plane, then one plane of Cb Cr pairs
    NV21,  // 4:2:0: a Y plane, then one plane of Cr Cb pairs
    I420,  // 4:2:0: Y, Cb and Cr planes (V4L2's YU12)
    YV12,  // 4:2:0: Y, Cr and Cb planes
    BGRX,  // 32 bits: blue, green, red, then padding or alpha (dropped)
    RGBX,  // 32 bits: red, green, blue, padding or alpha
    XRGB,  // 32 bits: padding or alpha, red, green, blue
    XBGR,  // 32 bits: padding or alpha, blue, green, red
    GREY,  // 8-bit luma alone, in the YuvEncoding's range
};

struct FrameLayout {
    FrameFormat format = FrameFormat::BGR24;
    int width = 0;
    int height = 0;
    // Bytes from one row to the next in the camera's buffer (the first plane
    // of a planar format); ignored for MJPEG.
    std::size_t bytesPerLine = 0;
    // What the driver declares the YUV formats' numbers (and GREY's range) to
    // mean; ignored for the others.
    YuvEncoding yuv = YuvEncoding::Bt601Limited;

    bool operator==(const FrameLayout&) const = default;
};

// A frame's bytes as a camera delivers them: one plane, or for the planar
// formats one per plane, each with its own stride. A stride of 0 means rows
// without padding.
struct FramePlanes {
    static constexpr int kMost = 3;
    struct Plane {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        std::size_t stride = 0;
    };
    Plane plane[kMost];
    int count = 0;
};

// A decoded frame: blue, green, red per pixel, rows padded to four bytes.
struct Frame {
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    std::vector<std::uint8_t> bits;

    const std::uint8_t* scanLine(int y) const
    {
        return bits.data() + stride * static_cast<std::size_t>(y);
    }
    std::uint8_t* scanLine(int y) { return bits.data() + stride * static_cast<std::size_t>(y); }
};

class FrameDecoder {
public:
    explicit FrameDecoder(const FrameLayout& layout);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Largest width or height taken; no camera delivers more, and it keeps
    // every size computed from a layout far from overflowing.
    static constexpr int kMaxSide = 8192;

    // Whether frames of this layout can be decoded at all: a known format, a
    // size of 1..kMaxSide each way, and rows at least as long as their pixels
    // (bytesPerLine 0 means rows without padding; a 4:2:2 row holds whole
    // pairs, so an odd width takes a pixel's bytes more).
    static bool supports(const FrameLayout& layout);

    const FrameLayout& layout() const { return layout_; }

    // Decodes `size` bytes into `out`, reusing its memory once it has the
    // right size. Returns false and leaves `out` as it was when the frame
    // cannot be decoded whole: shorter than the layout says, or for MJPEG
    // corrupt, truncated or of another size than the layout's.
    // Planar formats take their planes one after another in the buffer, as
    // V4L2's single-planar formats lay them out: chroma rows of
    // bytesPerLine (NV12, NV21) or bytesPerLine / 2 (I420, YV12).
    bool decode(const std::uint8_t* data, std::size_t size, Frame& out);
    // The same from planes given apart. A planar format given as one plane
    // is split as above.
    bool decode(const FramePlanes& planes, Frame& out);

private:
    struct Jpeg;
    FrameLayout layout_;
    std::unique_ptr<Jpeg> jpeg_;
};

} // namespace platform
