#include "Grab.h"

#include "Camera.h"
#include "Decoders.h"

#include <QBuffer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace capture {

namespace {

// A clipboard owner answers a question in milliseconds; one that takes this
// long has stalled, or is about to. See ReadImage().
constexpr qint64 kPromptAnswerMs = 500;

constexpr const char* kNoAnswer = "無法從剪貼簿取得圖片，提供圖片的程式沒有回應。";

// Encoded image types in the order we would rather read them: lossless and
// simple first. Other image types that Qt reads follow, then JPEG.
int preference(const QString& mimeType)
{
    static const char* const order[] = {"image/png", "image/bmp", "image/x-bmp", "image/x-MS-bmp",
                                        "image/tiff"};
    for (int i = 0; i < int(std::size(order)); ++i)
        if (mimeType.compare(QLatin1String(order[i]), Qt::CaseInsensitive) == 0)
            return i;
    return mimeType.contains(QLatin1String("jpeg"), Qt::CaseInsensitive) ? 1000 : 100;
}

QStringList readableImageTypes(const QStringList& offered)
{
    const QList<QByteArray> readable = QImageReader::supportedMimeTypes();
    QStringList types;
    for (const QString& format : offered) {
        if (readable.contains(format.toLatin1()))
            types << format;
    }
    std::stable_sort(types.begin(), types.end(), [](const QString& a, const QString& b) {
        return preference(a) < preference(b);
    });
    return types;
}

// What the first bytes of a PNG, BMP or GIF file claim, read before any
// decoder runs: a decoder may give up on a huge header without saying why, and
// Qt's BMP reader takes a file cut short as a whole picture with a black end.
struct Header {
    qint64 width = 0;
    qint64 height = 0;
    // Bytes the file needs to hold all its pixels; 0 when unknown.
    qint64 requiredBytes = 0;
};

quint32 little32(const QByteArray& b, int at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}

quint16 little16(const QByteArray& b, int at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}

// Whether width x height is more than we take. The sides a header can claim
// (up to 2^32 - 1 each) have a product beyond 64 bits, so no multiplication.
bool overPixelLimit(qint64 width, qint64 height)
{
    return width > 0 && height > kMaxGrabPixels / width;
}

std::optional<Header> readHeader(const QByteArray& b)
{
    if (b.startsWith("\x89PNG\r\n\x1a\n") && b.size() >= 24 && b.mid(12, 4) == "IHDR")
        return Header{qFromBigEndian<quint32>(b.constData() + 16),
                      qFromBigEndian<quint32>(b.constData() + 20), 0};
    if (b.startsWith("GIF8") && b.size() >= 10)
        return Header{little16(b, 6), little16(b, 8), 0};
    if (b.startsWith("BM") && b.size() >= 26) {
        Header h;
        const quint32 infoSize = little32(b, 14);
        if (infoSize == 12) {
            h.width = little16(b, 18);
            h.height = little16(b, 20);
            return h;
        }
        h.width = std::abs(qint64{static_cast<qint32>(little32(b, 18))});
        h.height = std::abs(qint64{static_cast<qint32>(little32(b, 22))});
        if (b.size() >= 34) {
            const quint16 bitsPerPixel = little16(b, 28);
            const quint32 compression = little32(b, 30);
            // Uncompressed rows (plain or with bit fields) have a known length;
            // only worked out for a size we take, where it cannot overflow.
            if ((compression == 0 || compression == 3 || compression == 6) &&
                !overPixelLimit(h.width, h.height)) {
                const qint64 stride = (h.width * bitsPerPixel + 31) / 32 * 4;
                h.requiredBytes = qint64{little32(b, 10)} + stride * h.height;
            }
        }
        return h;
    }
    return std::nullopt;
}

// The fewest bytes a whole file of a format needs for each pixel it claims,
// as a fraction: one bit per pixel for PBM and XBM, a character per pixel for
// PGM and XPM, three for PPM (ASCII variants need more), a bit per 8 x 8 block
// for JPEG, and for GIF 12-bit codes that stand for 4096 pixels at most. A
// shorter file lies about its size or is cut short, and the decoder would
// reserve the whole picture (libjpeg fills in what is missing with grey).
struct BytesPerPixel {
    qint64 bytes = 0;
    qint64 pixels = 1;
};

BytesPerPixel fewestBytesPerPixel(const QByteArray& format)
{
    if (format == "pbm" || format == "xbm")
        return {1, 8};
    if (format == "pgm" || format == "xpm")
        return {1, 1};
    if (format == "ppm")
        return {3, 1};
    if (format == "jpeg")
        return {1, 8 * 64};
    if (format == "gif")
        return {12, 8 * 4096};
    return {};
}

[[noreturn]] void refuseTooLarge(qint64 width, qint64 height)
{
    throw GrabError(QStringLiteral("剪貼簿上的圖片太大（%1 × %2 像素），無法載入。")
                        .arg(width)
                        .arg(height)
                        .toStdString());
}

[[noreturn]] void refuseCorrupt()
{
    throw GrabError("剪貼簿上的圖片已損壞，無法讀取。");
}

// What can be told from the bytes before any decoder runs: a size over the
// limit, or length fields and sizes that run past the bytes offered.
void checkBeforeDecoding(const QByteArray& bytes)
{
    if (const std::optional<Header> header = readHeader(bytes)) {
        if (overPixelLimit(header->width, header->height))
            refuseTooLarge(header->width, header->height);
        if (header->requiredBytes > bytes.size())
            refuseCorrupt();
    }
}

QImage decodedOrRefused(const QImage& image)
{
    if (image.isNull())
        refuseCorrupt();
    return image;
}

QImage decode(const QByteArray& bytes)
{
    // An icon's image is read as the PNG or BMP file it is: Qt's icon reader
    // premultiplies colours and knows only the oldest bitmap header.
    if (const std::optional<QByteArray> image = IconImage(bytes))
        return decode(*image);
    checkBeforeDecoding(bytes);
    if (bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return decodedOrRefused(ReadPng(bytes));
    if (bytes.startsWith("BM")) {
        if (const std::optional<QImage> image = ReadBitmap(bytes))
            return decodedOrRefused(*image);
    }

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    // The content decides the decoder, whatever type the other program named.
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    // Room for the largest picture we take at 8 bytes per pixel (16-bit RGBA
    // from TIFF, say).
    reader.setAllocationLimit(static_cast<int>(kMaxGrabPixels * 8 >> 20));

    // Shown as viewers show it: a photo turned by its EXIF orientation.
    reader.setAutoTransform(true);

    QSize size = reader.size();
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        size.transpose();
    if (size.isValid()) {
        const qint64 pixels = qint64{size.width()} * size.height();
        if (pixels > kMaxGrabPixels)
            refuseTooLarge(size.width(), size.height());
        const BytesPerPixel fewest = fewestBytesPerPixel(reader.format());
        if (pixels * fewest.bytes / fewest.pixels > bytes.size())
            refuseCorrupt();
    }
    // Decoders write into the picture they are given when its size and
    // format are theirs: cleared, so that pixels a decoder skips are black
    // rather than whatever the memory held.
    // A size with no pixels (a WBMP 0 rows high) gets no picture here, and
    // its decoder's refusal follows.
    QImage image;
    if (!size.isEmpty() && reader.imageFormat() != QImage::Format_Invalid) {
        image = QImage(reader.size(), reader.imageFormat());
        if (image.isNull())
            throw std::bad_alloc();
        image.fill(0);
    }
    if (!reader.read(&image) || image.isNull())
        refuseCorrupt();
    // What a decoder makes can be larger than its header and size() said: a
    // GIF whose logical screen has no width takes its frames' reach instead.
    // The allocation limit above bounds what it costs to find out.
    if (overPixelLimit(image.width(), image.height()))
        refuseTooLarge(image.width(), image.height());
    return image;
}

} // namespace

QImage ReadImage(const QMimeData& data)
{
    // Data held in this process (placed by this program, or a clipboard that
    // lives in the process, as on the offscreen platform) costs nothing to
    // ask. Anything else is the platform's view of another program's
    // clipboard (Qt's QInternalMimeData): every question goes to that
    // program, and when it stalls Qt waits its whole clipboard timeout (5 s
    // on X11, not settable), once per question. QMimeData::hasImage() alone
    // asks once per image type Qt reads.
    const bool held = !data.inherits("QInternalMimeData");
    // So the grab asks the other program a question only while all earlier
    // ones came back promptly: a stall ends the grab after that one question,
    // and one grab waits at most kPromptAnswerMs plus one clipboard timeout.
    // (Qt restarts its timeout for each piece of a large transfer, so only an
    // owner that keeps sending can stretch that last question.)
    QElapsedTimer elapsed;
    elapsed.start();
    const auto prompt = [&] {
        return held || elapsed.elapsed() < kPromptAnswerMs;
    };

    const QStringList offered = data.formats(); // the owner's list of types
    const QStringList types = readableImageTypes(offered);
    if (types.isEmpty()) {
        // An image placed by this program itself is held as an image, not as
        // bytes, and needs no decoding.
        if (held && data.hasImage())
            return qvariant_cast<QImage>(data.imageData());
        // No list at all from an owner that took this long: it did not answer.
        if (offered.isEmpty() && !prompt())
            throw GrabError(kNoAnswer);
        return {};
    }
    // Another program's bytes are untrusted: read from the best type offered
    // that actually arrives.
    for (const QString& type : types) {
        if (!prompt())
            break;
        const QByteArray bytes = data.data(type);
        if (!bytes.isEmpty())
            return decode(bytes);
    }
    throw GrabError(kNoAnswer);
}

imaging::Picture PictureFromImage(const QImage& image)
{
    if (image.isNull())
        return {};
    // 16-bit channels keep their high byte, as libspng gives a PNG's: one
    // rule whatever the format (Qt's own conversion rounds).
    const bool rgb64 =
        image.format() == QImage::Format_RGBX64 || image.format() == QImage::Format_RGBA64;
    if (rgb64 || image.format() == QImage::Format_Grayscale16) {
        imaging::Picture picture(image.width(), image.height());
        for (int y = 0; y < image.height(); ++y) {
            const auto* in = reinterpret_cast<const quint16*>(image.constScanLine(y));
            std::uint8_t* out = picture.ScanLine(y);
            for (int x = 0; x < image.width(); ++x, out += 3) {
                const quint16* pixel = rgb64 ? in + 4 * x : in + x;
                out[0] = std::uint8_t(pixel[rgb64 ? 2 : 0] >> 8);
                out[1] = std::uint8_t(pixel[rgb64 ? 1 : 0] >> 8);
                out[2] = std::uint8_t(pixel[0] >> 8);
            }
        }
        return picture;
    }
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull())
        throw std::bad_alloc();
    imaging::Picture picture(bgr.width(), bgr.height());
    const std::size_t rowBytes =
        static_cast<std::size_t>(bgr.width()) * imaging::Picture::kBytesPerPixel;
    for (int y = 0; y < bgr.height(); ++y)
        std::memcpy(picture.ScanLine(y), bgr.constScanLine(y), rowBytes);
    return picture;
}

std::optional<imaging::Picture> GrabFrame(HWND window)
{
    GuardedSend(window, WM_CAP_EDIT_COPY, 0);
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return std::nullopt;
    const QImage image = ReadImage(*data);
    if (image.isNull())
        return std::nullopt;
    return PictureFromImage(image);
}

} // namespace capture
