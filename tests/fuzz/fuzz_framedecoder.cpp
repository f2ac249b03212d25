// Camera frames as any driver, or anything pretending to be one, might hand
// them over: every format, any size, stride and bytes.
//
// Input: format (1 byte, taken modulo the 16 formats), flags (1 byte), width
// and height (int32 each), bytesPerLine (uint64), all little-endian, then the
// frame's bytes. Missing header bytes count as zero. Flag bit 0, for MJPEG,
// takes the size from the JPEG's own header so that the decoder gets past
// its size check and into the decompressor; bits 1 and 2 are the YUV
// encoding.

#include "FrameDecoder.h"
#include "FuzzTarget.h"
#include "YuyvToBgr.h"

#include <turbojpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using platform::Frame;
using platform::FrameDecoder;
using platform::FrameFormat;
using platform::FrameLayout;

namespace {

constexpr std::size_t kHeaderBytes = 18;
constexpr int kFormats = 16;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_framedecoder: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

std::uint64_t little(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool same(const Frame& a, const Frame& b)
{
    return a.width == b.width && a.height == b.height && a.stride == b.stride && a.bits == b.bits;
}

// What `out` holds before a decode: a frame of another size with known bytes,
// so that a refusal that touches it shows.
Frame sentinel()
{
    Frame f;
    f.width = 3;
    f.height = 2;
    f.stride = 12;
    f.bits.assign(24, 0xA5);
    return f;
}

// The shape every decoded frame has: the layout's size, rows of 3 bytes a
// pixel padded to four bytes.
void checkShape(const Frame& out, const FrameLayout& layout)
{
    require(out.width == layout.width && out.height == layout.height, "decoded size differs");
    const std::size_t stride = (static_cast<std::size_t>(layout.width) * 3 + 3) & ~std::size_t{3};
    require(out.stride == stride, "stride is not the padded row");
    require(out.bits.size() == stride * static_cast<std::size_t>(layout.height),
            "pixel buffer of the wrong size");
}

// Where a frame's planes lie in its one buffer, as V4L2 lays them out: the
// first plane's stride, the chroma planes' stride and where each starts.
struct Layout {
    std::size_t row, chromaRow, chroma[2], need;
    int bytes; // per pixel of the first plane
};

Layout layoutOf(const FrameLayout& layout)
{
    const std::size_t w = static_cast<std::size_t>(layout.width);
    const std::size_t h = static_cast<std::size_t>(layout.height);
    const std::size_t cw = (w + 1) / 2, ch = (h + 1) / 2, given = layout.bytesPerLine;
    const bool semi = layout.format == FrameFormat::NV12 || layout.format == FrameFormat::NV21;
    const bool planar = layout.format == FrameFormat::I420 || layout.format == FrameFormat::YV12;
    int bytes = 2;
    switch (layout.format) {
    case FrameFormat::BGR24:
    case FrameFormat::RGB24:
        bytes = 3;
        break;
    case FrameFormat::BGRX:
    case FrameFormat::RGBX:
    case FrameFormat::XRGB:
    case FrameFormat::XBGR:
        bytes = 4;
        break;
    case FrameFormat::GREY:
        bytes = 1;
        break;
    default:
        bytes = semi || planar ? 1 : 2;
    }
    Layout l{};
    l.bytes = bytes;
    // A 4:2:2 row holds whole pairs.
    l.row = given ? given : bytes == 2 ? 4 * cw : w * static_cast<std::size_t>(bytes);
    l.chromaRow = semi ? (given ? given : 2 * cw) : given ? given / 2 : cw;
    l.chroma[0] = l.row * h;
    l.chroma[1] = l.chroma[0] + l.chromaRow * ch;
    l.need = semi ? l.chroma[1] : planar ? l.chroma[1] + l.chromaRow * ch : l.chroma[0];
    return l;
}

// The raw formats have an exact answer. The YUV ones are checked against
// the portable YUYV row, fed a YUYV row made of the frame's samples, so that
// the layouts and the SIMD paths of the decoder's rows are compared with it.
void checkPixels(const Frame& out, const FrameLayout& layout, const std::uint8_t* data)
{
    const std::size_t width = static_cast<std::size_t>(layout.width);
    const Layout l = layoutOf(layout);
    std::vector<std::uint8_t> expected(width * 3 + 3), yuyv(2 * width + 2);
    // Where blue, green and red sit (RGB formats), or Y0, Cb and Cr (4:2:2).
    int at[3] = {0, 1, 2};
    switch (layout.format) {
    case FrameFormat::RGB24:
    case FrameFormat::RGBX:
        at[0] = 2, at[2] = 0;
        break;
    case FrameFormat::XRGB:
        at[0] = 3, at[1] = 2, at[2] = 1;
        break;
    case FrameFormat::XBGR:
        at[0] = 1, at[1] = 2, at[2] = 3;
        break;
    case FrameFormat::YUYV:
        at[2] = 3;
        break;
    case FrameFormat::UYVY:
        at[0] = 1, at[1] = 0, at[2] = 2;
        break;
    case FrameFormat::YVYU:
        at[1] = 3, at[2] = 1;
        break;
    case FrameFormat::VYUY:
        at[0] = 1, at[1] = 2, at[2] = 0;
        break;
    default:
        break;
    }
    const bool crFirst = layout.format == FrameFormat::NV21 || layout.format == FrameFormat::YV12;
    const bool rgb = l.bytes >= 3;
    for (int y = 0; y < layout.height; ++y) {
        const std::uint8_t* src = data + l.row * static_cast<std::size_t>(y);
        const std::uint8_t* chroma =
            data + l.chroma[0] + l.chromaRow * static_cast<std::size_t>(y / 2);
        // Y of pixel x; Cb (k 0) or Cr (k 1) of pair i.
        auto luma = [&](std::size_t x) -> std::uint8_t {
            return x >= width ? 0 : l.bytes == 2 ? src[x / 2 * 4 + at[0] + 2 * (x % 2)] : src[x];
        };
        auto colour = [&](std::size_t i, int k) -> std::uint8_t {
            switch (layout.format) {
            case FrameFormat::NV12:
            case FrameFormat::NV21:
                return chroma[2 * i + (k ^ crFirst)];
            case FrameFormat::I420:
            case FrameFormat::YV12:
                return chroma[((k ^ crFirst) ? l.chroma[1] - l.chroma[0] : 0) + i];
            case FrameFormat::GREY:
                return 128;
            default:
                return src[4 * i + at[1 + k]];
            }
        };
        if (rgb) {
            for (std::size_t x = 0; x < width; ++x)
                for (int k = 0; k < 3; ++k)
                    expected[3 * x + k] = src[x * static_cast<std::size_t>(l.bytes) + at[k]];
        } else {
            for (std::size_t i = 0; 2 * i < width; ++i) {
                yuyv[4 * i] = luma(2 * i);
                yuyv[4 * i + 1] = colour(i, 0);
                yuyv[4 * i + 2] = luma(2 * i + 1);
                yuyv[4 * i + 3] = colour(i, 1);
            }
            platform::yuyv::rowPortable(yuyv.data(), expected.data(), int((width + 1) / 2),
                                        layout.yuv);
        }
        require(std::memcmp(out.scanLine(y), expected.data(), width * 3) == 0,
                "decoded pixels differ from the reference");
    }
}

bool usesYuvRows(FrameFormat format)
{
    switch (format) {
    case FrameFormat::YUYV:
    case FrameFormat::UYVY:
    case FrameFormat::YVYU:
    case FrameFormat::VYUY:
    case FrameFormat::NV12:
    case FrameFormat::NV21:
    case FrameFormat::I420:
    case FrameFormat::YV12:
        return true;
    default:
        return false;
    }
}

void checkDecoded(const Frame& out, const FrameLayout& layout, const std::uint8_t* data,
                  std::size_t size)
{
    require(FrameDecoder::supports(layout), "decoded a frame of an unsupported layout");
    checkShape(out, layout);
    if (layout.format == FrameFormat::MJPEG)
        return;
    require(size >= layoutOf(layout).need, "decoded a short frame");
    checkPixels(out, layout, data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize)
{
    const std::size_t headerSize = inputSize < kHeaderBytes ? inputSize : kHeaderBytes;
    std::uint8_t header[kHeaderBytes] = {};
    if (headerSize > 0)
        std::memcpy(header, input, headerSize);
    const std::uint8_t* data = input + headerSize;
    const std::size_t size = inputSize - headerSize;

    FrameLayout layout;
    layout.format = static_cast<FrameFormat>(header[0] % kFormats);
    layout.yuv = static_cast<platform::YuvEncoding>((header[1] >> 1) % 4);
    layout.width = static_cast<std::int32_t>(little(header + 2, 4));
    layout.height = static_cast<std::int32_t>(little(header + 6, 4));
    layout.bytesPerLine = static_cast<std::size_t>(little(header + 10, 8));
    if (layout.format == FrameFormat::MJPEG && (header[1] & 1) && size > 0) {
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, subsampling = 0, colorspace = 0;
        if (tj && tjDecompressHeader3(tj, const_cast<std::uint8_t*>(data),
                                      static_cast<unsigned long>(size), &w, &h, &subsampling,
                                      &colorspace) == 0) {
            layout.width = w;
            layout.height = h;
        }
        if (tj)
            tjDestroy(tj);
    }

    FrameDecoder decoder(layout);
    Frame out = sentinel();
    const Frame before = out;
    const bool decoded = decoder.decode(data, size, out);
    if (decoded)
        checkDecoded(out, layout, data, size);
    else
        require(same(out, before), "a refused frame changed the output");

    // The best SIMD path did the decode above; every other one built for
    // this processor decodes the same frame too.
    if (decoded && usesYuvRows(layout.format)) {
        const std::vector<std::string> paths = platform::yuv::rowPaths();
        for (const std::string& path : paths) {
            if (path == "C++" || path == paths.front())
                continue;
            require(platform::yuv::useRowPath(path), "a listed row path cannot be chosen");
            Frame viaPath;
            require(decoder.decode(data, size, viaPath), "a SIMD path refused a frame");
            checkDecoded(viaPath, layout, data, size);
        }
        platform::yuv::useRowPath("");
    }

    // The capture thread decodes into the same frame again and again: the
    // same bytes give the same answer and picture, in the same memory for
    // the raw formats (MJPEG swaps with a scratch frame of its own).
    const Frame first = out;
    const std::uint8_t* memory = out.bits.data();
    const bool again = decoder.decode(data, size, out);
    require(again == decoded, "the same frame decoded differently the second time");
    require(same(out, first), "the same frame gave another picture the second time");
    if (decoded && layout.format != FrameFormat::MJPEG)
        require(out.bits.data() == memory, "a frame of the same size was not decoded in place");

    // One byte short: refused, leaving the previous picture, unless the
    // frame had bytes to spare.
    if (size > 0) {
        const Frame kept = out;
        if (decoder.decode(data, size - 1, out))
            checkDecoded(out, layout, data, size - 1);
        else
            require(same(out, kept), "a refused short frame changed the output");
    }
    return 0;
}
