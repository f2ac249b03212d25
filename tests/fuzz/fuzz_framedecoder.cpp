// Camera frames as any driver, or anything pretending to be one, might hand
// them over: every format, any size, stride and bytes.
//
// Input: format (1 byte, taken modulo 4), flags (1 byte), width and height
// (int32 each), bytesPerLine (uint64), all little-endian, then the frame's
// bytes. Missing header bytes count as zero. Flag bit 0, for MJPEG, takes
// the size from the JPEG's own header so that the decoder gets past its size
// check and into the decompressor.

#include "FrameDecoder.h"
#include "FuzzTarget.h"
#include "YuyvToBgr.h"

#include <turbojpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using platform::Frame;
using platform::FrameDecoder;
using platform::FrameFormat;
using platform::FrameLayout;

namespace {

constexpr std::size_t kHeaderBytes = 18;

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

// The raw formats have an exact answer; YUYV is checked against the portable
// row so that the SIMD path the decoder picks is compared with it too.
void checkPixels(const Frame& out, const FrameLayout& layout, const std::uint8_t* data)
{
    const std::size_t width = static_cast<std::size_t>(layout.width);
    const std::size_t bpp = layout.format == FrameFormat::YUYV ? 2 : 3;
    const std::size_t row = layout.bytesPerLine ? layout.bytesPerLine : width * bpp;
    std::vector<std::uint8_t> expected(width * 3);
    for (int y = 0; y < layout.height; ++y) {
        const std::uint8_t* src = data + row * static_cast<std::size_t>(y);
        switch (layout.format) {
        case FrameFormat::BGR24:
            std::memcpy(expected.data(), src, width * 3);
            break;
        case FrameFormat::RGB24:
            for (std::size_t x = 0; x < width; ++x) {
                expected[3 * x] = src[3 * x + 2];
                expected[3 * x + 1] = src[3 * x + 1];
                expected[3 * x + 2] = src[3 * x];
            }
            break;
        case FrameFormat::YUYV:
            platform::yuyv::rowPortable(src, expected.data(), layout.width / 2);
            break;
        default:
            return;
        }
        require(std::memcmp(out.scanLine(y), expected.data(), width * 3) == 0,
                "decoded pixels differ from the reference");
    }
}

void checkDecoded(const Frame& out, const FrameLayout& layout, const std::uint8_t* data,
                  std::size_t size)
{
    require(FrameDecoder::supports(layout), "decoded a frame of an unsupported layout");
    checkShape(out, layout);
    if (layout.format == FrameFormat::MJPEG)
        return;
    const std::size_t bpp = layout.format == FrameFormat::YUYV ? 2 : 3;
    const std::size_t row =
        layout.bytesPerLine ? layout.bytesPerLine : static_cast<std::size_t>(layout.width) * bpp;
    require(size >= row * static_cast<std::size_t>(layout.height), "decoded a short frame");
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
    layout.format = static_cast<FrameFormat>(header[0] % 4);
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
