#include "Decoders.h"
#include "Grab.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <spng.h>
#include <vector>
#include <zlib.h>

namespace capture {

namespace {

// Ancillary chunks that libspng keeps (text, colour profiles, EXIF) may take
// this much memory together, decompressed, or as much as a larger file:
// libpng's own default limit per chunk is 8 MB, and a clipboard picture
// needs none of them.
constexpr std::size_t kChunkCache = std::size_t{16} << 20;

// Deflate packs at most 1032 bytes into one: a file shorter than its rows
// could ever pack into is damaged, and would cost a whole picture to find out.
constexpr qint64 kDeflateRatio = 1032;

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

struct InflateEnd {
    void operator()(z_stream* z) const { inflateEnd(z); }
};

// Bytes that the image data inflates to: every row of every pass, each with
// its filter byte.
std::uint64_t filteredSize(const spng_ihdr& ihdr)
{
    static constexpr unsigned kChannels[] = {1, 0, 3, 1, 2, 0, 4}; // by colour type
    const std::uint64_t bits = std::uint64_t{kChannels[ihdr.color_type]} * ihdr.bit_depth;
    const auto pass = [&](std::uint32_t first, std::uint32_t step, std::uint32_t size) {
        return size > first ? (std::uint64_t{size} - first + step - 1) / step : 0;
    };
    const auto rows = [&](std::uint64_t width, std::uint64_t height) {
        return width ? height * (1 + (width * bits + 7) / 8) : 0;
    };
    if (ihdr.interlace_method == SPNG_INTERLACE_NONE)
        return rows(ihdr.width, ihdr.height);
    // Adam7: each pass's first column and row, and its steps.
    static constexpr std::uint32_t kX[] = {0, 4, 0, 2, 0, 1, 0}, kY[] = {0, 0, 4, 0, 2, 0, 1},
                                   kDx[] = {8, 8, 4, 4, 2, 2, 1}, kDy[] = {8, 8, 8, 4, 4, 2, 2};
    std::uint64_t total = 0;
    for (int p = 0; p < 7; ++p)
        total += rows(pass(kX[p], kDx[p], ihdr.width), pass(kY[p], kDy[p], ihdr.height));
    return total;
}

std::uint32_t bigEndian(const unsigned char* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Whether the image data is a zlib stream of exactly `expected` bytes whose
// Adler-32 is right. libspng stops reading it at the last row, before its
// end and checksum, so it is inflated once more here; no further than one
// byte past what the rows need, so that a stream longer than its picture
// costs nothing. The file's chunks are whole, as libspng has read them all.
bool imageDataIntact(const QByteArray& png, std::uint64_t expected)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        throw std::bad_alloc();
    const std::unique_ptr<z_stream, InflateEnd> end(&z);
    std::vector<unsigned char> scratch(std::size_t{64} << 10);
    std::uint64_t produced = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(png.constData());
    const auto size = static_cast<std::size_t>(png.size());
    int status = Z_OK;
    for (std::size_t at = 8; status == Z_OK && at + 12 <= size;) {
        const std::uint32_t length = bigEndian(bytes + at);
        if (length > size - at - 12 || std::memcmp(bytes + at + 4, "IEND", 4) == 0)
            break;
        if (std::memcmp(bytes + at + 4, "IDAT", 4) == 0 && length > 0) {
            z.next_in = const_cast<unsigned char*>(bytes + at + 8); // zlib only reads it
            z.avail_in = length;
            do {
                const auto room = static_cast<uInt>(
                    std::min<std::uint64_t>(scratch.size(), expected + 1 - produced));
                z.next_out = scratch.data();
                z.avail_out = room;
                status = inflate(&z, Z_NO_FLUSH);
                produced += room - z.avail_out;
                if (produced > expected)
                    return false;
            } while (status == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
            if (status == Z_BUF_ERROR)
                status = Z_OK; // this chunk is used up; the stream goes on in the next
        }
        at += 12 + std::size_t{length};
    }
    return status == Z_STREAM_END && produced == expected;
}

} // namespace

QImage ReadPng(const QByteArray& png)
{
    const std::unique_ptr<spng_ctx, ContextFree> ctx(spng_ctx_new(0));
    if (!ctx)
        throw std::bad_alloc();
    spng_ctx* const c = ctx.get();
    const auto size = static_cast<std::size_t>(png.size());
    // No chunk can be longer than the file; libspng refuses one that claims
    // more before it reserves anything for it. It takes no chunk limit above
    // the cache limit, so a larger file raises that too (its image data may
    // be one chunk). A wrong checksum on any chunk, ancillary ones too, is
    // damage: the bytes are not what their writer wrote.
    if (spng_set_png_buffer(c, png.constData(), size) != 0 ||
        spng_set_crc_action(c, SPNG_CRC_ERROR, SPNG_CRC_ERROR) != 0 ||
        spng_set_chunk_limits(c, size, std::max(size, kChunkCache)) != 0 ||
        spng_set_image_limits(c, std::uint32_t{kMaxGrabPixels}, std::uint32_t{kMaxGrabPixels}) != 0)
        return {};
    spng_ihdr ihdr{};
    std::size_t rawBytes = 0;
    if (spng_get_ihdr(c, &ihdr) != 0 || spng_decoded_image_size(c, SPNG_FMT_PNG, &rawBytes) != 0)
        return {};
    if (qint64(rawBytes) / kDeflateRatio > png.size())
        return {};
    // Reads and checks every chunk up to the image data, before the picture
    // is reserved. No flags: tRNS and gAMA are not applied.
    if (spng_decode_image(c, nullptr, 0, SPNG_FMT_RGB8, SPNG_DECODE_PROGRESSIVE) != 0)
        return {};

    QImage image(int(ihdr.width), int(ihdr.height), QImage::Format_RGB888);
    if (image.isNull())
        throw std::bad_alloc();
    // Interlaced rows are filled over several passes; a file that ends
    // before the last is refused, but nothing unwritten is ever read.
    image.fill(0);
    const std::size_t rowBytes = std::size_t{ihdr.width} * 3;
    int status = 0;
    for (;;) {
        spng_row_info row{};
        status = spng_get_row_info(c, &row);
        if (status != 0)
            break;
        status = spng_decode_row(c, image.scanLine(int(row.row_num)), rowBytes);
        if (status != 0)
            break;
    }
    // The rest of the file, up to its end, with every chunk's checksum (the
    // last image data's too); then the image data's own.
    if (status != SPNG_EOI || spng_decode_chunks(c) != 0 ||
        !imageDataIntact(png, filteredSize(ihdr)))
        return {};
    return image;
}

} // namespace capture
