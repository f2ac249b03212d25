#include "FrameDecoder.h"

#include "Rgb32ToBgr.h"
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

bool sizeAcceptable(int width, int height)
{
    return width > 0 && height > 0 && width <= FrameDecoder::kMaxSide &&
           height <= FrameDecoder::kMaxSide;
}

// What a format reads of each plane, in the order the planes lie in memory:
// the bytes of one row and the number of rows. No planes: not a format of
// rows (MJPEG) or not one we know.
struct Planes {
    int count = 0;
    std::size_t row[FramePlanes::kMost] = {};
    std::size_t rows[FramePlanes::kMost] = {};
};

Planes planesOf(const FrameLayout& layout)
{
    const std::size_t w = static_cast<std::size_t>(layout.width);
    const std::size_t h = static_cast<std::size_t>(layout.height);
    // A chroma sample covers the last odd row or column too.
    const std::size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    switch (layout.format) {
    case FrameFormat::BGR24:
    case FrameFormat::RGB24:
        return {1, {3 * w}, {h}};
    case FrameFormat::YUYV:
    case FrameFormat::UYVY:
    case FrameFormat::YVYU:
    case FrameFormat::VYUY:
        return {1, {4 * cw}, {h}}; // whole pairs: an odd last pixel comes with its pair
    case FrameFormat::BGRX:
    case FrameFormat::RGBX:
    case FrameFormat::XRGB:
    case FrameFormat::XBGR:
        return {1, {4 * w}, {h}};
    case FrameFormat::GREY:
        return {1, {w}, {h}};
    case FrameFormat::NV12:
    case FrameFormat::NV21:
        return {2, {w, 2 * cw}, {h, ch}};
    case FrameFormat::I420:
    case FrameFormat::YV12:
        return {3, {w, cw, cw}, {h, ch, ch}};
    case FrameFormat::MJPEG:
        break;
    }
    return {};
}

// Each plane's stride: its own when the planes come apart; when they come
// as one buffer, the chroma planes' follow the first's as V4L2 lays them
// out. A stride of 0 is a row without padding.
bool stridesOf(const Planes& need, const FramePlanes& planes,
               std::size_t (&stride)[FramePlanes::kMost])
{
    const bool apart = planes.count > 1 && need.count > 1;
    if (planes.count < 1 || (apart && planes.count < need.count))
        return false;
    const std::size_t first = planes.plane[0].stride;
    for (int p = 0; p < need.count; ++p) {
        const std::size_t given = apart                  ? planes.plane[p].stride
                                  : p == 0 || first == 0 ? first
                                  : need.count == 2      ? first
                                                         : first / 2;
        // 0 is a row without padding where no stride came at all; half of a
        // one-byte first stride is no chroma row, and is refused below.
        const bool derived = !apart && p > 0 && first != 0;
        stride[p] = given || derived ? given : need.row[p];
        if (stride[p] < need.row[p])
            return false;
    }
    return true;
}

// Whether the format and size can be decoded, whatever the strides.
bool shapeSupported(const FrameLayout& layout)
{
    if (!sizeAcceptable(layout.width, layout.height))
        return false;
    if (layout.format == FrameFormat::MJPEG)
        return true;
    return planesOf(layout).count > 0;
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

rgb32::Order orderOf(FrameFormat format)
{
    switch (format) {
    case FrameFormat::RGBX:
        return {2, 1, 0};
    case FrameFormat::XRGB:
        return {3, 2, 1};
    case FrameFormat::XBGR:
        return {1, 2, 3};
    default:
        return {0, 1, 2};
    }
}

// Where Y0, Cb and Cr sit among a 4:2:2 pair's four bytes (Y1 two after Y0).
struct PairOrder {
    int y, cb, cr;
};

PairOrder pairOrderOf(FrameFormat format)
{
    switch (format) {
    case FrameFormat::UYVY:
        return {1, 0, 2};
    case FrameFormat::YVYU:
        return {0, 3, 1};
    case FrameFormat::VYUY:
        return {1, 2, 0};
    default:
        return {0, 1, 3};
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
    if (!shapeSupported(layout))
        return false;
    if (layout.format == FrameFormat::MJPEG)
        return true;
    const Planes need = planesOf(layout);
    FramePlanes one;
    one.plane[0].stride = layout.bytesPerLine;
    one.count = 1;
    std::size_t stride[FramePlanes::kMost] = {};
    if (!stridesOf(need, one, stride))
        return false;
    // Sides of at most kMaxSide keep each plane's rows within reach; the
    // stride may not.
    std::size_t total = 0;
    for (int p = 0; p < need.count; ++p) {
        std::size_t bytes = 0;
        if (!mulFits(stride[p], need.rows[p], bytes) ||
            __builtin_add_overflow(total, bytes, &total))
            return false;
    }
    return true;
}

bool FrameDecoder::decode(const std::uint8_t* data, std::size_t size, Frame& out)
{
    FramePlanes one;
    one.plane[0] = {data, size, layout_.bytesPerLine};
    one.count = 1;
    return decode(one, out);
}

bool FrameDecoder::decode(const FramePlanes& planes, Frame& out)
{
    // The strides are the planes' own, checked below.
    if (planes.count < 1 || planes.count > FramePlanes::kMost || !planes.plane[0].data ||
        !shapeSupported(layout_))
        return false;
    const int width = layout_.width;
    const int height = layout_.height;

    if (layout_.format == FrameFormat::MJPEG) {
        const std::uint8_t* data = planes.plane[0].data;
        const std::size_t size = planes.plane[0].size;
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

    // Every plane, found and checked to hold all its rows before anything is
    // written.
    const Planes need = planesOf(layout_);
    std::size_t stride[FramePlanes::kMost] = {};
    const std::uint8_t* plane[FramePlanes::kMost] = {};
    if (!stridesOf(need, planes, stride))
        return false;
    const bool apart = planes.count > 1 && need.count > 1;
    std::size_t used = 0; // of the one buffer, by the planes before
    for (int p = 0; p < need.count; ++p) {
        std::size_t bytes = 0;
        if (!mulFits(stride[p], need.rows[p], bytes))
            return false;
        const FramePlanes::Plane& given = planes.plane[apart ? p : 0];
        const std::size_t offset = apart ? 0 : used;
        if (!given.data || given.size < offset || given.size - offset < bytes)
            return false;
        plane[p] = given.data + offset;
        used += bytes;
    }

    shape(out, width, height);
    const std::size_t rowOut = static_cast<std::size_t>(width) * 3;
    const FrameFormat format = layout_.format;
    const yuv::RowFunction yuvRow = yuv::bestRow();
    const rgb32::RowFunction rgb32Row = rgb32::bestRow();
    const rgb32::Order order = orderOf(format);
    const PairOrder pair = pairOrderOf(format);
    // The plane order in memory puts Cr first in YV12 and in NV21's pairs.
    const bool crFirst = format == FrameFormat::YV12 || format == FrameFormat::NV21;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = plane[0] + stride[0] * static_cast<std::size_t>(y);
        const std::size_t chromaRow = static_cast<std::size_t>(y / 2);
        std::uint8_t* dst = out.scanLine(y);
        switch (format) {
        case FrameFormat::BGR24:
            std::memcpy(dst, src, rowOut);
            break;
        case FrameFormat::RGB24:
            swapRow(src, dst, width);
            break;
        case FrameFormat::BGRX:
        case FrameFormat::RGBX:
        case FrameFormat::XRGB:
        case FrameFormat::XBGR:
            rgb32Row(src, dst, width, order);
            break;
        case FrameFormat::GREY:
            yuv::greyRow(src, dst, width, layout_.yuv);
            break;
        case FrameFormat::YUYV:
        case FrameFormat::UYVY:
        case FrameFormat::YVYU:
        case FrameFormat::VYUY:
            yuvRow({src + pair.y, src + pair.cb, src + pair.cr, 2, 4}, dst, width, layout_.yuv);
            break;
        case FrameFormat::NV12:
        case FrameFormat::NV21: {
            const std::uint8_t* c = plane[1] + stride[1] * chromaRow;
            yuvRow({src, c + crFirst, c + !crFirst, 1, 2}, dst, width, layout_.yuv);
            break;
        }
        case FrameFormat::I420:
        case FrameFormat::YV12: {
            const std::uint8_t* first = plane[1] + stride[1] * chromaRow;
            const std::uint8_t* second = plane[2] + stride[2] * chromaRow;
            yuvRow({src, crFirst ? second : first, crFirst ? first : second, 1, 1}, dst, width,
                   layout_.yuv);
            break;
        }
        case FrameFormat::MJPEG:
            break;
        }
    }
    return true;
}

} // namespace platform
