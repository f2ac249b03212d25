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

enum class FrameFormat {
    BGR24, // passed through exactly
    RGB24, // channels swapped, otherwise exact
    YUYV,  // 4:2:2, in the layout's YuvEncoding
    MJPEG, // one JPEG image per frame
};

struct FrameLayout {
    FrameFormat format = FrameFormat::BGR24;
    int width = 0;
    int height = 0;
    // Bytes from one row to the next in the camera's buffer; ignored for MJPEG.
    std::size_t bytesPerLine = 0;
    // What the driver declares YUYV's numbers to mean; ignored for the others.
    YuvEncoding yuv = YuvEncoding::Bt601Limited;
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
    // size of 1..kMaxSide each way, an even width for YUYV, and rows at least
    // as long as their pixels (bytesPerLine 0 means rows without padding).
    static bool supports(const FrameLayout& layout);

    const FrameLayout& layout() const { return layout_; }

    // Decodes `size` bytes into `out`, reusing its memory once it has the
    // right size. Returns false and leaves `out` as it was when the frame
    // cannot be decoded whole: shorter than the layout says, or for MJPEG
    // corrupt, truncated or of another size than the layout's.
    bool decode(const std::uint8_t* data, std::size_t size, Frame& out);

private:
    struct Jpeg;
    FrameLayout layout_;
    std::unique_ptr<Jpeg> jpeg_;
};

} // namespace platform
