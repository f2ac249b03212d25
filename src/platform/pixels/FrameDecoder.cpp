#include "FrameDecoder.h"

#include "YuyvToBgr.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace platform {

namespace {

// a * b into `out`, false when it does not fit.
bool mulFits(std::size_t a, std::size_t b, std::size_t& out)
{
    return !__builtin_mul_overflow(a, b, &out);
}

std::size_t bytesPerPixel(FrameFormat format)
{
    switch (format) {
    case FrameFormat::BGR24:
    case FrameFormat::RGB24:
        return 3;
    case FrameFormat::YUYV:
        return 2;
    case FrameFormat::MJPEG:
        return 0;
    default:
        return 0; // not read yet
    }
    return 0;
}

bool sizeAcceptable(int width, int height)
{
    return width > 0 && height > 0 && width <= FrameDecoder::kMaxSide &&
           height <= FrameDecoder::kMaxSide;
}

// Row length of a packed layout; 0 in bytesPerLine means rows follow each
// other without padding.
std::size_t rowBytes(const FrameLayout& layout)
{
    const std::size_t tight = static_cast<std::size_t>(layout.width) * bytesPerPixel(layout.format);
    return layout.bytesPerLine == 0 ? tight : layout.bytesPerLine;
}

// Gives `out` the size of a decoded frame of width x height; its memory is
// kept when the size is already right.
void shape(Frame& out, int width, int height)
{
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    const std::size_t size = stride * static_cast<std::size_t>(height);
    if (out.width == width && out.height == height && out.stride == stride &&
        out.bits.size() == size)
        return;
    out.width = width;
    out.height = height;
    out.stride = stride;
    // From zeros: no decoder writes the rows' padding, which must not keep
    // what a frame of another size left there.
    out.bits.assign(size, 0);
}

void swapRow(const std::uint8_t* __restrict src, std::uint8_t* __restrict dst, int width)
{
    for (int x = 0; x < width; ++x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
    }
}

// Whether a JPEG is coded as cameras code theirs: sequential Huffman coding
// (baseline or extended) in at most one scan per component. Progressive,
// lossless, hierarchical and arithmetic-coded frames, and frames cut into
// many scans, can cost many times a camera frame's decode for the same
// bytes. This walk over the markers reads each byte once and decodes
// nothing; a frame it cannot follow is damaged, and a frame that ends early
// is left to the decoder, which refuses it itself.
bool codedAsCamerasDo(const std::uint8_t* data, std::size_t size)
{
    constexpr int kMostScans = 4;
    if (size < 2 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    std::size_t pos = 2;
    int scans = 0;
    for (;;) {
        if (pos >= size)
            return true;
        if (data[pos] != 0xFF)
            return false;
        while (pos < size && data[pos] == 0xFF)
            ++pos; // fill bytes
        if (pos >= size)
            return true;
        const std::uint8_t marker = data[pos++];
        if (marker == 0xD9) // end of image
            return true;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // markers without a length
        // Any start of frame but baseline and extended sequential Huffman;
        // arithmetic conditioning; hierarchical expansion; a second start of image.
        const bool sof =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if ((sof && marker > 0xC1) || marker == 0xCC || marker == 0xDE || marker == 0xDF ||
            marker == 0xD8 || marker == 0x00)
            return false;
        if (size - pos < 2)
            return true;
        const std::size_t length = std::size_t(data[pos]) << 8 | data[pos + 1];
        if (length < 2)
            return false;
        if (length > size - pos)
            return true;
        pos += length;
        if (marker != 0xDA)
            continue;
        if (++scans > kMostScans)
            return false;
        // The scan's coded data runs to the next marker that is neither a
        // stuffed zero nor a restart marker.
        for (;;) {
            const auto* ff =
                static_cast<const std::uint8_t*>(std::memchr(data + pos, 0xFF, size - pos));
            if (!ff || ff + 1 >= data + size)
                return true;
            pos = std::size_t(ff - data);
            const std::uint8_t next = ff[1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7))
                pos += 2;
            else if (next == 0xFF)
                pos += 1;
            else
                break;
            if (pos >= size)
                return true;
        }
    }
}

} // namespace

struct FrameDecoder::Jpeg {
    tjhandle handle = tjInitDecompress();
    // Decoded into first and swapped with the caller's frame on success, so
    // that a frame that fails half way leaves the caller's frame as it was.
    Frame scratch;

    Jpeg() = default;
    Jpeg(const Jpeg&) = delete;
    Jpeg& operator=(const Jpeg&) = delete;
    ~Jpeg()
    {
        if (handle)
            tjDestroy(handle);
    }
};

FrameDecoder::FrameDecoder(const FrameLayout& layout)
    : layout_(layout)
{
    if (layout_.format == FrameFormat::MJPEG)
        jpeg_ = std::make_unique<Jpeg>();
}

FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::supports(const FrameLayout& layout)
{
    if (!sizeAcceptable(layout.width, layout.height))
        return false;
    if (bytesPerPixel(layout.format) == 0 && layout.format != FrameFormat::MJPEG)
        return false;
    if (layout.format == FrameFormat::MJPEG)
        return true;
    if (layout.format == FrameFormat::YUYV && layout.width % 2 != 0)
        return false;
    // Sides of at most kMaxSide keep every product below in range.
    const std::size_t tight = static_cast<std::size_t>(layout.width) * bytesPerPixel(layout.format);
    const std::size_t row = rowBytes(layout);
    std::size_t total = 0;
    return row >= tight && mulFits(row, static_cast<std::size_t>(layout.height), total);
}

bool FrameDecoder::decode(const std::uint8_t* data, std::size_t size, Frame& out)
{
    if (!data || !supports(layout_))
        return false;
    const int width = layout_.width;
    const int height = layout_.height;

    if (layout_.format == FrameFormat::MJPEG) {
        if (!jpeg_->handle || size == 0 ||
            size > static_cast<std::size_t>(std::numeric_limits<unsigned long>::max()))
            return false;
        if (!codedAsCamerasDo(data, size))
            return false;
        int w = 0, h = 0, subsampling = 0, colorspace = 0;
        // TurboJPEG takes a non-const pointer but does not write through it.
        auto* jpegBuf = const_cast<unsigned char*>(data);
        if (tjDecompressHeader3(jpeg_->handle, jpegBuf, static_cast<unsigned long>(size), &w, &h,
                                &subsampling, &colorspace) != 0)
            return false;
        if (w != width || h != height)
            return false;
        Frame& scratch = jpeg_->scratch;
        shape(scratch, width, height);
        // Any warning too (a truncated or damaged stream decodes to grey
        // blocks), so such a frame is dropped rather than shown.
        if (tjDecompress2(jpeg_->handle, jpegBuf, static_cast<unsigned long>(size),
                          scratch.bits.data(), width, static_cast<int>(scratch.stride), height,
                          TJPF_BGR, TJFLAG_STOPONWARNING) != 0)
            return false;
        std::swap(out, scratch);
        return true;
    }

    const std::size_t row = rowBytes(layout_);
    // Fits: supports() checked it.
    const std::size_t need = row * static_cast<std::size_t>(height);
    if (size < need)
        return false;

    shape(out, width, height);
    const std::size_t rowOut = static_cast<std::size_t>(width) * 3;
    const yuyv::RowFunction yuyvRow = yuyv::bestRow();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = data + row * static_cast<std::size_t>(y);
        std::uint8_t* dst = out.scanLine(y);
        switch (layout_.format) {
        case FrameFormat::BGR24:
            std::memcpy(dst, src, rowOut);
            break;
        case FrameFormat::RGB24:
            swapRow(src, dst, width);
            break;
        case FrameFormat::YUYV:
            yuyvRow(src, dst, width / 2, layout_.yuv);
            break;
        default:
            break;
        }
    }
    return true;
}

bool FrameDecoder::decode(const FramePlanes& planes, Frame& out)
{
    if (planes.count < 1)
        return false;
    return decode(planes.plane[0].data, planes.plane[0].size, out);
}

} // namespace platform
