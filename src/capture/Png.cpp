#include "Decoders.h"
#include "Grab.h"

#include <memory>
#include <new>
#include <spng.h>

namespace capture {

namespace {

// Ancillary chunks that libspng keeps (text, colour profiles, EXIF) may take
// this much memory together, decompressed: libpng's own default limit per
// chunk is 8 MB, and a clipboard picture needs none of them.
constexpr std::size_t kChunkCache = std::size_t{16} << 20;

// Deflate packs at most 1032 bytes into one: a file shorter than its rows
// could ever pack into is damaged, and would cost a whole picture to find out.
constexpr qint64 kDeflateRatio = 1032;

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

} // namespace

QImage ReadPng(const QByteArray& png)
{
    const std::unique_ptr<spng_ctx, ContextFree> ctx(spng_ctx_new(0));
    if (!ctx)
        throw std::bad_alloc();
    spng_ctx* const c = ctx.get();
    const auto size = static_cast<std::size_t>(png.size());
    // No chunk can be longer than the file; libspng refuses one that claims
    // more before it reserves anything for it.
    if (spng_set_png_buffer(c, png.constData(), size) != 0 ||
        spng_set_chunk_limits(c, size, kChunkCache) != 0 ||
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
    return status == SPNG_EOI ? image : QImage();
}

} // namespace capture
