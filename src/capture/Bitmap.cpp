#include "Decoders.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <new>

namespace capture {

namespace {

enum Compression : quint32 { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6 };

constexpr qsizetype kFileHeader = 14;

quint32 field32(const QByteArray& b, qint64 at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}

quint16 field16(const QByteArray& b, qint64 at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}

// What a BMP's headers say about where its pixels are.
struct Layout {
    qint64 width = 0;
    qint64 height = 0;
    bool topDown = false;
    int bitsPerPixel = 0;
    quint32 compression = kRgb;
    qint64 infoSize = 0;
    qint64 paletteAt = 0; // after the headers and any masks that follow them
    qint64 colours = 0;   // palette entries
    qint64 dataAt = 0;
};

// Empty for headers too short or of a kind we do not know: Qt's reader has
// its own answer for those.
std::optional<Layout> readLayout(const QByteArray& b)
{
    if (b.size() < kFileHeader + 16)
        return std::nullopt;
    Layout l;
    l.dataAt = field32(b, 10);
    l.infoSize = field32(b, 14);
    if (l.infoSize == 12) { // OS/2: 16-bit sides, 3-byte palette entries
        l.width = field16(b, 18);
        l.height = field16(b, 20);
        l.bitsPerPixel = field16(b, 24);
        l.paletteAt = kFileHeader + 12;
        l.colours = l.bitsPerPixel <= 8 ? qint64{1} << l.bitsPerPixel : 0;
        return l;
    }
    if (l.infoSize < 40 || b.size() < kFileHeader + 40)
        return std::nullopt;
    const qint32 height = static_cast<qint32>(field32(b, 22));
    l.width = static_cast<qint32>(field32(b, 18));
    l.height = std::abs(qint64{height});
    l.topDown = height < 0;
    l.bitsPerPixel = field16(b, 28);
    l.compression = field32(b, 30);
    // A 40-byte header is followed by its bit fields' masks.
    const qint64 masks = l.infoSize != 40                   ? 0
                         : l.compression == kBitFields      ? 12
                         : l.compression == kAlphaBitFields ? 16
                                                            : 0;
    l.paletteAt = kFileHeader + l.infoSize + masks;
    const quint32 used = field32(b, 46);
    l.colours = l.bitsPerPixel > 8 ? 0 : used ? used : qint64{1} << l.bitsPerPixel;
    return l;
}

QImage blackPicture(const Layout& l)
{
    QImage image(int(l.width), int(l.height), QImage::Format_BGR888);
    if (image.isNull())
        throw std::bad_alloc();
    image.fill(0);
    return image;
}

// Walks RLE data, giving each pixel it sets to put(x, y, index) with y
// counted from the first row stored. A skip (end of line, delta) leaves
// pixels as they are. False when a run or escape reaches past the end, or the
// data ends without its end-of-bitmap marker.
template <typename Put> bool walkRle(const uchar* p, const uchar* end, bool fourBits, Put put)
{
    qint64 x = 0;
    qint64 y = 0;
    while (end - p >= 2) {
        const int count = p[0];
        const int code = p[1];
        p += 2;
        if (count > 0) { // a run of one byte's index, or its two alternating
            for (int i = 0; i < count; ++i)
                put(x + i, y, fourBits ? (i % 2 ? code & 15 : code >> 4) : code);
            x += count;
        } else if (code == 0) { // end of line
            x = 0;
            ++y;
        } else if (code == 1) { // end of bitmap
            return true;
        } else if (code == 2) { // delta
            if (end - p < 2)
                return false;
            x += p[0];
            y += p[1];
            p += 2;
        } else { // absolute: code indices, padded to a 16-bit boundary
            const qint64 bytes = fourBits ? (code + 1) / 2 : code;
            const qint64 padded = (bytes + 1) / 2 * 2;
            if (end - p < padded)
                return false;
            for (int i = 0; i < code; ++i)
                put(x + i, y, fourBits ? (i % 2 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
            x += code;
            p += padded;
        }
    }
    return false;
}

QImage readRle(const QByteArray& b, const Layout& l)
{
    const bool fourBits = l.compression == kRle4;
    if (l.bitsPerPixel != (fourBits ? 4 : 8) || l.dataAt > b.size())
        return {};
    const auto* data = reinterpret_cast<const uchar*>(b.constData());
    const uchar* end = data + b.size();
    // The whole walk first, so that damaged data costs no picture.
    if (!walkRle(data + l.dataAt, end, fourBits, [](qint64, qint64, int) {}))
        return {};
    std::array<std::array<uchar, 3>, 256> palette{}; // entries past the table are black
    for (qint64 i = 0; i < std::min<qint64>(l.colours, 256); ++i)
        std::copy_n(data + l.paletteAt + 4 * i, 3, palette[i].begin());
    QImage image = blackPicture(l);
    uchar* const pixels = image.bits();
    const qsizetype stride = image.bytesPerLine();
    walkRle(data + l.dataAt, end, fourBits, [&](qint64 x, qint64 y, int i) {
        if (x < l.width && y < l.height) {
            const qint64 row = l.topDown ? y : l.height - 1 - y;
            std::copy_n(palette[i].begin(), 3, pixels + row * stride + 3 * x);
        }
    });
    return image;
}

struct Channel {
    quint32 mask = 0;
    int shift = 0;
    quint64 max = 0;
};

Channel channel(quint32 mask)
{
    const int shift = mask ? std::countr_zero(mask) : 0;
    return {mask, shift, mask >> shift};
}

bool contiguous(const Channel& c)
{
    return (c.max & (c.max + 1)) == 0;
}

// A channel of any width scaled to 0..255, rounded to the nearest.
uchar scaled(quint32 pixel, const Channel& c)
{
    if (c.max == 0)
        return 0;
    const quint64 v = (pixel & c.mask) >> c.shift;
    return uchar((v * 510 + c.max) / (2 * c.max));
}

// The masks of 16- and 32-bit pixels, when Qt's reader does not scale them
// right: any width but 8. Qt reads 8-bit masks, as programs put them on the
// clipboard, exactly.
std::optional<std::array<Channel, 3>> oddBitFields(const QByteArray& b, const Layout& l)
{
    if (l.bitsPerPixel != 16 && l.bitsPerPixel != 32)
        return std::nullopt;
    std::array<Channel, 3> fields;
    if (l.compression == kRgb && l.bitsPerPixel == 16) {
        fields = {channel(0x7C00), channel(0x03E0), channel(0x001F)};
    } else if ((l.compression == kBitFields || l.compression == kAlphaBitFields) &&
               l.infoSize != 64 && b.size() >= kFileHeader + 52) { // 64: OS/2's Huffman
        for (int i = 0; i < 3; ++i)
            fields[i] = channel(field32(b, kFileHeader + 40 + 4 * i));
    } else {
        return std::nullopt;
    }
    if (std::all_of(fields.begin(), fields.end(), [](const Channel& c) { return c.max == 255; }))
        return std::nullopt;
    return fields;
}

QImage readBitFields(const QByteArray& b, const Layout& l, const std::array<Channel, 3>& fields)
{
    if (!std::all_of(fields.begin(), fields.end(), contiguous))
        return {};
    const qint64 stride = (l.width * l.bitsPerPixel + 31) / 32 * 4;
    if (l.dataAt + stride * l.height > b.size())
        return {};
    QImage image = blackPicture(l);
    for (qint64 y = 0; y < l.height; ++y) {
        const qint64 row = l.dataAt + stride * (l.topDown ? y : l.height - 1 - y);
        uchar* out = image.scanLine(int(y));
        for (qint64 x = 0; x < l.width; ++x, out += 3) {
            const quint32 pixel =
                l.bitsPerPixel == 16 ? field16(b, row + 2 * x) : field32(b, row + 4 * x);
            out[0] = scaled(pixel, fields[2]);
            out[1] = scaled(pixel, fields[1]);
            out[2] = scaled(pixel, fields[0]);
        }
    }
    return image;
}

} // namespace

std::optional<QImage> ReadBitmap(const QByteArray& bmp)
{
    const std::optional<Layout> layout = readLayout(bmp);
    if (!layout)
        return std::nullopt;
    // Qt reads a palette of the size the header gives and then the pixels
    // from where it stopped, if the header's offset lies before that.
    const qint64 entryBytes = layout->infoSize == 12 ? 3 : 4;
    if (layout->dataAt < layout->paletteAt + layout->colours * entryBytes)
        return QImage();
    const bool rle = layout->compression == kRle8 || layout->compression == kRle4;
    const auto fields = rle ? std::nullopt : oddBitFields(bmp, *layout);
    if (!rle && !fields)
        return std::nullopt;
    if (layout->width <= 0 || layout->height <= 0)
        return QImage();
    return rle ? readRle(bmp, *layout) : readBitFields(bmp, *layout, *fields);
}

std::optional<QByteArray> IconImage(const QByteArray& ico)
{
    if (!(ico.startsWith(QByteArray("\0\0\1\0", 4)) || ico.startsWith(QByteArray("\0\0\2\0", 4))) ||
        ico.size() < 6 + 16 || field16(ico, 4) == 0)
        return std::nullopt;
    // Qt's icon reader takes the first image too.
    const qint64 length = field32(ico, 6 + 8);
    const qint64 offset = field32(ico, 6 + 12);
    if (offset + length > ico.size())
        return std::nullopt;
    const QByteArray image = ico.mid(offset, length);
    if (image.startsWith("\x89PNG\r\n\x1a\n"))
        return image;
    if (image.size() < 40 || field32(image, 0) < 40 || field32(image, 0) > quint32(image.size()))
        return std::nullopt;
    // A bitmap without its file header, twice its height: its pixels, then a
    // 1-bit mask of transparency, which is dropped as alpha is. Its pixels
    // follow its palette.
    QByteArray bmp = "BM" + QByteArray(kFileHeader - 2, '\0') + image;
    qToLittleEndian(quint32(bmp.size()), bmp.data() + 2);
    qToLittleEndian(static_cast<qint32>(field32(image, 8)) / 2, bmp.data() + kFileHeader + 8);
    const Layout layout = *readLayout(bmp); // a header of 40 bytes or more, checked above
    const qint64 dataAt = layout.paletteAt + 4 * layout.colours;
    qToLittleEndian(quint32(std::min<qint64>(dataAt, 0xFFFFFFFF)), bmp.data() + 10);
    return bmp;
}

} // namespace capture
