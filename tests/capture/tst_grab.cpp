#include "Encoded.h"
#include "Grab.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>
#include <QtEndian>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Reading pictures from the clipboard: conversions to 24 bits, and clipboard
// content from other programs that is not what it claims to be.
class TestGrab : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void withoutAWindowTheClipboardImageIsTaken();
    void noImageOnTheClipboardGivesNothing();
    void everySourceBecomesThreeBytesPerPixel_data();
    void everySourceBecomesThreeBytesPerPixel();
    void encodedBytesFromAnotherProgramAreDecoded_data();
    void encodedBytesFromAnotherProgramAreDecoded();
    void corruptImagesAreReported_data();
    void corruptImagesAreReported();
    void oversizedImagesAreRefusedFromTheirHeader_data();
    void oversizedImagesAreRefusedFromTheirHeader();
    void layoutsReadAsStoredOrRefused_data();
    void layoutsReadAsStoredOrRefused();
};

namespace {

QImage sample()
{
    QImage image(5, 3, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(40 * x, 100 + 50 * y, 7 * x + y));
    return image;
}

void offer(const QString& type, const QByteArray& bytes)
{
    auto* data = new QMimeData;
    data->setData(type, bytes);
    QGuiApplication::clipboard()->setMimeData(data);
}

quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendBigEndian(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    QByteArray chunk;
    appendBigEndian(chunk, quint32(data.size()));
    const QByteArray typed = type + data;
    chunk.append(typed);
    appendBigEndian(chunk, crc32(typed));
    return chunk;
}

// A PNG signature and header chunk that claim the given size, and nothing else.
QByteArray pngHeader(quint32 width, quint32 height, const char* depthAndType = "\x08\x02",
                     char interlace = 0)
{
    QByteArray ihdr;
    appendBigEndian(ihdr, width);
    appendBigEndian(ihdr, height);
    ihdr.append(depthAndType, 2).append("\0\0", 2).append(interlace);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr);
}

// A whole PNG: header, the chunks given, and rows (each with its filter byte)
// compressed as image data.
QByteArray png(QByteArray header, const QByteArray& chunks, const QByteArray& rows)
{
    return header + chunks + pngChunk("IDAT", qCompress(rows).mid(4)) + pngChunk("IEND", {});
}

QByteArray little(quint32 value, int bytes = 4)
{
    QByteArray out(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        out[i] = char(value >> 8 * i);
    return out;
}

// A bitmap's info header of the given size (40 and up), masks in place for
// sizes that hold them.
QByteArray bmpInfo(int size, qint32 width, qint32 height, int bits, quint32 compression,
                   const QByteArray& masks = {}, quint32 colours = 0)
{
    QByteArray info = little(size) + little(quint32(width)) + little(quint32(height)) +
                      little(1, 2) + little(bits, 2) + little(compression) + QByteArray(12, '\0') +
                      little(colours);
    info.append(QByteArray(40 - info.size(), '\0')).append(masks);
    return info.append(QByteArray(size - info.size(), '\0'));
}

// A BMP file: its header, the info header, what follows it (masks, palette),
// and the pixels from where the header says.
QByteArray bmpFile(const QByteArray& info, const QByteArray& palette, const QByteArray& pixels)
{
    const int at = 14 + info.size() + palette.size();
    return "BM" + little(at + pixels.size()) + little(0) + little(at) + info + palette + pixels;
}

// An icon file holding one image (a bitmap's info header and on, or a PNG).
QByteArray icon(const QByteArray& image)
{
    return QByteArray("\0\0\1\0\1\0\2\2\0\0\1\0\x20\0", 14) + little(image.size()) + little(22) +
           image;
}

// A BMP file header and info header that claim the given size (24 bits).
QByteArray bmpHeader(qint32 width, qint32 height)
{
    QByteArray bmp(54, '\0');
    auto put32 = [&](int at, quint32 v) {
        qToLittleEndian(v, bmp.data() + at);
    };
    auto put16 = [&](int at, quint16 v) {
        qToLittleEndian(v, bmp.data() + at);
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(2, 54 + 16);
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<quint32>(width));
    put32(22, static_cast<quint32>(height));
    put16(26, 1);
    put16(28, 24);
    return bmp + QByteArray(16, '\x7f');
}

// The JPEG with an EXIF segment that gives its orientation (1 upright, 6 to
// be turned a quarter clockwise, 8 anticlockwise), as cameras write it.
QByteArray withOrientation(QByteArray jpeg, quint16 orientation)
{
    QByteArray exif("Exif\0\0MM\0\x2a\0\0\0\x08"      // big-endian, first directory at 8
                    "\0\x01\x01\x12\0\x03\0\0\0\x01", // 1 entry: orientation, 1 short
                    24);
    exif.append(char(orientation >> 8)).append(char(orientation)).append(6, '\0');
    QByteArray segment("\xff\xe1", 2);
    segment.append(char((exif.size() + 2) >> 8)).append(char(exif.size() + 2)).append(exif);
    return jpeg.insert(2, segment);
}

} // namespace

void TestGrab::cleanup()
{
    QGuiApplication::clipboard()->clear();
}

void TestGrab::withoutAWindowTheClipboardImageIsTaken()
{
    const QImage image = sample();
    QGuiApplication::clipboard()->setImage(image);
    const std::optional<imaging::Picture> picture = capture::GrabFrame(nullptr);
    QVERIFY(picture);
    QCOMPARE(picture->Width(), 5);
    QCOMPARE(picture->Height(), 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            const QRgb want = image.pixel(x, y);
            const std::uint8_t* px = picture->ScanLine(y) + 3 * x;
            QCOMPARE(px[0], std::uint8_t(qBlue(want)));
            QCOMPARE(px[1], std::uint8_t(qGreen(want)));
            QCOMPARE(px[2], std::uint8_t(qRed(want)));
        }
    }
}

void TestGrab::noImageOnTheClipboardGivesNothing()
{
    QGuiApplication::clipboard()->clear();
    QVERIFY(!capture::GrabFrame(nullptr));
    QGuiApplication::clipboard()->setText(QStringLiteral("not a picture"));
    QVERIFY(!capture::GrabFrame(nullptr));
}

void TestGrab::everySourceBecomesThreeBytesPerPixel_data()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QRgb>("expected"); // of pixel (1, 0)

    QImage alpha(2, 1, QImage::Format_ARGB32);
    alpha.setPixel(0, 0, qRgba(0, 0, 0, 0));
    alpha.setPixel(1, 0, qRgba(200, 100, 50, 17)); // alpha dropped, colour kept
    QTest::newRow("32-bit with alpha") << alpha << qRgb(200, 100, 50);

    QImage palette(2, 1, QImage::Format_Indexed8);
    palette.setColorTable({qRgb(1, 2, 3), qRgb(250, 128, 9)});
    palette.setPixel(0, 0, 0);
    palette.setPixel(1, 0, 1);
    QTest::newRow("8-bit palette") << palette << qRgb(250, 128, 9);

    QImage gray(2, 1, QImage::Format_Grayscale8);
    gray.fill(0);
    gray.scanLine(0)[1] = 77;
    QTest::newRow("grayscale") << gray << qRgb(77, 77, 77);

    QImage deep(2, 1, QImage::Format_RGBA64);
    deep.setPixelColor(1, 0, QColor::fromRgba64(0xFFFF, 0x8080, 0x0000, 0xFFFF));
    QTest::newRow("16 bits per channel") << deep << qRgb(255, 128, 0);
    // The high byte, as a PNG's: not rounded to the nearest.
    deep.setPixelColor(1, 0, QColor::fromRgba64(0x80FF, 0x01FF, 0xFEFF, 0x0000));
    QTest::newRow("16 bits keep their high byte") << deep << qRgb(0x80, 0x01, 0xFE);
    QImage gray16(2, 1, QImage::Format_Grayscale16);
    gray16.fill(0);
    reinterpret_cast<quint16*>(gray16.scanLine(0))[1] = 0x12FF;
    QTest::newRow("16-bit grey") << gray16 << qRgb(0x12, 0x12, 0x12);

    QImage rgb565(2, 1, QImage::Format_RGB16);
    rgb565.setPixel(1, 0, qRgb(255, 0, 255));
    QTest::newRow("16-bit 5-6-5") << rgb565 << qRgb(255, 0, 255);
}

void TestGrab::everySourceBecomesThreeBytesPerPixel()
{
    QFETCH(QImage, source);
    QFETCH(QRgb, expected);
    const imaging::Picture picture = capture::PictureFromImage(source);
    QCOMPARE(picture.Width(), 2);
    QCOMPARE(picture.Height(), 1);
    QCOMPARE(picture.Stride(), std::size_t{8});
    const std::uint8_t* px = picture.ScanLine(0) + 3;
    QCOMPARE(px[0], std::uint8_t(qBlue(expected)));
    QCOMPARE(px[1], std::uint8_t(qGreen(expected)));
    QCOMPARE(px[2], std::uint8_t(qRed(expected)));
}

void TestGrab::encodedBytesFromAnotherProgramAreDecoded_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<int>("tolerance"); // per channel, for lossy formats
    QTest::newRow("BMP") << QStringLiteral("image/bmp") << encoded(sample(), "BMP") << QSize(5, 3)
                         << QPoint(4, 2) << sample().pixel(4, 2) << 0;
    QTest::newRow("PNG") << QStringLiteral("image/png") << encoded(sample(), "PNG") << QSize(5, 3)
                         << QPoint(3, 1) << sample().pixel(3, 1) << 0;
    // Stored 32 x 16, red on the left; a viewer shows it 16 x 32, red on top.
    QImage halves(32, 16, QImage::Format_RGB32);
    halves.fill(qRgb(0, 0, 255));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            halves.setPixel(x, y, qRgb(255, 0, 0));
    QTest::newRow("JPEG turned by its EXIF orientation")
        << QStringLiteral("image/jpeg") << withOrientation(encoded(halves, "JPEG"), 6)
        << QSize(16, 32) << QPoint(8, 8) << qRgb(255, 0, 0) << 24;
}

void TestGrab::encodedBytesFromAnotherProgramAreDecoded()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(QPoint, at);
    QFETCH(QRgb, colour);
    QFETCH(int, tolerance);
    // Another program offers bytes, under whatever type it likes.
    offer(type, bytes);
    const std::optional<imaging::Picture> picture = capture::GrabFrame(nullptr);
    QVERIFY(picture);
    QCOMPARE(QSize(picture->Width(), picture->Height()), size);
    const std::uint8_t* px = picture->ScanLine(at.y()) + 3 * at.x();
    QVERIFY2(std::abs(px[0] - qBlue(colour)) <= tolerance &&
                 std::abs(px[1] - qGreen(colour)) <= tolerance &&
                 std::abs(px[2] - qRed(colour)) <= tolerance,
             qPrintable(QStringLiteral("BGR %1 %2 %3").arg(px[0]).arg(px[1]).arg(px[2])));
}

void TestGrab::corruptImagesAreReported_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("bytes");
    const QImage big = sample().scaled(200, 150);
    const QByteArray png = encoded(big, "PNG");
    const QByteArray bmp = encoded(big, "BMP");
    QTest::newRow("truncated PNG") << QStringLiteral("image/png") << png.left(png.size() / 2);
    QTest::newRow("truncated BMP") << QStringLiteral("image/bmp") << bmp.left(bmp.size() / 2);
    QTest::newRow("PNG signature only") << QStringLiteral("image/png") << png.left(8);
    QTest::newRow("garbage named PNG") << QStringLiteral("image/png") << QByteArray(4096, '\x5a');
    QTest::newRow("WBMP of no rows") << QStringLiteral("image/png") << QByteArray("\0\0\x05\0", 4);
    QByteArray flipped = png;
    for (qsizetype i = 100; i < flipped.size(); i += 7)
        flipped[i] = char(flipped[i] ^ 0x55);
    QTest::newRow("PNG with damaged data") << QStringLiteral("image/png") << flipped;
    // Checksums alone wrong: a chunk's CRC, the last image data's too, and
    // the image data's Adler-32, read here from a chunk of its own.
    const QByteArray header = pngHeader(1, 2), end = pngChunk("IEND", {});
    const QByteArray rows("\0\x10\x20\x30\0\x40\x50\x60", 8);
    const QByteArray data = qCompress(rows).mid(4);
    const auto wrongCrc = [](QByteArray chunk) {
        chunk.back() = char(chunk.back() ^ 1);
        return chunk;
    };
    QByteArray wrongAdler = data;
    wrongAdler.back() = char(wrongAdler.back() ^ 1);
    QTest::newRow("PNG with a wrong image-data CRC")
        << QStringLiteral("image/png") << header + wrongCrc(pngChunk("IDAT", data)) + end;
    QTest::newRow("PNG with a wrong text-chunk CRC")
        << QStringLiteral("image/png")
        << header + wrongCrc(pngChunk("tEXt", QByteArray("a\0b", 3))) + pngChunk("IDAT", data) +
               end;
    QTest::newRow("PNG with a wrong Adler-32") << QStringLiteral("image/png")
                                               << header + pngChunk("IDAT", wrongAdler.chopped(4)) +
                                                      pngChunk("IDAT", wrongAdler.right(4)) + end;
    QTest::newRow("PNG whose image data has no end")
        << QStringLiteral("image/png") << header + pngChunk("IDAT", data.chopped(4)) + end;
    QTest::newRow("PNG with more image data than rows")
        << QStringLiteral("image/png")
        << header + pngChunk("IDAT", qCompress(rows + rows).mid(4)) + end;
    // A JPEG cut short is filled in with grey by the decoder: a few bytes
    // that claim 8000 x 8000 would cost a whole picture.
    QByteArray jpeg = encoded(big, "JPEG");
    const qsizetype frame = jpeg.indexOf("\xff\xc0");
    qToBigEndian<quint16>(8000, jpeg.data() + frame + 5);
    qToBigEndian<quint16>(8000, jpeg.data() + frame + 7);
    QTest::newRow("JPEG far shorter than its size") << QStringLiteral("image/jpeg") << jpeg;
}

void TestGrab::corruptImagesAreReported()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, bytes);
    offer(type, bytes);
    try {
        capture::GrabFrame(nullptr);
        QFAIL("a corrupt image was taken");
    } catch (const capture::GrabError& error) {
        QCOMPARE(QString::fromUtf8(error.what()),
                 QStringLiteral("剪貼簿上的圖片已損壞，無法讀取。"));
    }
}

void TestGrab::oversizedImagesAreRefusedFromTheirHeader_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("size");
    const QString big = QStringLiteral("100000 × 100000");
    QTest::newRow("PNG 100000 x 100000")
        << QStringLiteral("image/png") << pngHeader(100000, 100000) << big;
    QTest::newRow("BMP 100000 x 100000")
        << QStringLiteral("image/bmp") << bmpHeader(100000, 100000) << big;
    QTest::newRow("BMP 100000 x 100000 top-down")
        << QStringLiteral("image/bmp") << bmpHeader(100000, -100000) << big;
    // Sizes whose pixel count, or a BMP's byte count, is beyond 64 bits.
    QTest::newRow("PNG of the largest size")
        << QStringLiteral("image/png") << pngHeader(0xFFFFFFFFu, 0xFFFFFFFFu)
        << QStringLiteral("4294967295 × 4294967295");
    QTest::newRow("BMP of the largest size")
        << QStringLiteral("image/bmp") << bmpHeader(INT32_MIN, INT32_MIN)
        << QStringLiteral("2147483648 × 2147483648");
    // 25 bytes that decode to 8193 x 8193: a logical screen 0 wide and 8193
    // high, and a frame placed at x = 8193. Neither the header nor Qt's size()
    // (8193 x 73) tells; the decoded picture does. Padded to the fewest bytes
    // a GIF of 8193 x 73 needs.
    const QByteArray gif = QByteArray("GIF89a\x00\x00\x01\x20\x00\x00\x00"
                                      ",\x01\x20\x49\x00\x00\x00\x00\x00\x00\x00\x00\x00",
                                      25) +
                           QByteArray(256, ';');
    // The limit sees the size as shown: 9000 x 8000 stored, turned upright.
    QByteArray jpeg = withOrientation(encoded(sample(), "JPEG"), 6);
    const qsizetype frame = jpeg.indexOf("\xff\xc0");
    qToBigEndian<quint16>(8000, jpeg.data() + frame + 5);
    qToBigEndian<quint16>(9000, jpeg.data() + frame + 7);
    QTest::newRow("JPEG turned by its EXIF orientation")
        << QStringLiteral("image/jpeg") << jpeg << QStringLiteral("8000 × 9000");
    QTest::newRow("GIF larger than its header says")
        << QStringLiteral("image/gif") << gif << QStringLiteral("8193 × 8193");
}

void TestGrab::oversizedImagesAreRefusedFromTheirHeader()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, size);
    offer(type, bytes);
    try {
        capture::GrabFrame(nullptr);
        QFAIL("an oversized image was taken");
    } catch (const capture::GrabError& error) {
        QCOMPARE(QString::fromUtf8(error.what()),
                 QStringLiteral("剪貼簿上的圖片太大（%1 像素），無法載入。").arg(size));
    }
}

// Layouts that Qt's readers got wrong, and the plain ones that must stay as
// they were: each reads as its bytes say, written out here pixel by pixel
// (rows top to bottom), or is refused as damaged (no pixels).
void TestGrab::layoutsReadAsStoredOrRefused_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QList<QRgb>>("pixels");
    const QList<QRgb> refused;
    const QString pngType = QStringLiteral("image/png");
    const QString bmpType = QStringLiteral("image/bmp");

    // Channels as stored, whatever tRNS says; 16 bits keep their high byte.
    QTest::newRow("PNG 16-bit RGB with a transparent colour")
        << pngType
        << png(pngHeader(2, 1, "\x10\x02"),
               pngChunk("tRNS", QByteArray("\x80\xff\x01\x80\xff\xff", 6)),
               QByteArray("\0\x80\xff\x01\x80\xff\xff\x12\x34\x56\x78\x9a\xbc", 13))
        << QSize(2, 1) << QList<QRgb>{0x8001ff, 0x12569a};
    QTest::newRow("PNG 4-bit grey with a transparent grey")
        << pngType
        << png(pngHeader(4, 1, "\x04\x00"), pngChunk("tRNS", QByteArray("\0\x0f", 2)),
               QByteArray("\0\x0f\x5a", 3))
        << QSize(4, 1) << QList<QRgb>{0x000000, 0xffffff, 0x555555, 0xaaaaaa};
    const QByteArray rgb = qCompress(QByteArray("\0\x10\x20\x30\0\x40\x50\x60", 8)).mid(4);
    QTest::newRow("PNG whose Adler-32 is in a chunk of its own")
        << pngType
        << pngHeader(1, 2) + pngChunk("IDAT", rgb.chopped(4)) + pngChunk("IDAT", rgb.right(4)) +
               pngChunk("IEND", {})
        << QSize(1, 2) << QList<QRgb>{0x102030, 0x405060};
    // A file larger than libspng's chunk cache (16 MB), here from a private
    // chunk, was refused whole.
    QTest::newRow("PNG of 17 MB") << pngType
                                  << pngHeader(1, 2) +
                                         pngChunk("prVt", QByteArray(17 << 20, '\0')) +
                                         pngChunk("IDAT", rgb) + pngChunk("IEND", {})
                                  << QSize(1, 2) << QList<QRgb>{0x102030, 0x405060};
    // Adam7 puts (0, 0) in pass 1, (1, 0) in pass 6 and the second row in 7.
    QTest::newRow("PNG interlaced, 2-bit palette with alpha")
        << pngType
        << png(pngHeader(2, 2, "\x02\x03", 1),
               pngChunk("PLTE", QByteArray("\x10\x20\x30\x40\x50\x60\x70\x80\x90", 9)) +
                   pngChunk("tRNS", QByteArray("\0\0\0", 3)),
               QByteArray("\0\x40\0\x80\0\x80", 6))
        << QSize(2, 2) << QList<QRgb>{0x405060, 0x708090, 0x708090, 0x102030};

    // Index 1 is red, 2 green; a delta, an end of line and the end of the
    // bitmap skip pixels, which stay black.
    const QByteArray palette = little(0) + little(0xff0000) + little(0x00ff00) + little(0);
    QTest::newRow("RLE8 skipping pixels")
        << bmpType
        << bmpFile(bmpInfo(40, 4, 3, 8, 1, {}, 4), palette,
                   QByteArray("\x02\x01\0\0\0\x02\x01\x01\0\x03\x02\x01\x02\0\0\x01", 16))
        << QSize(4, 3)
        << QList<QRgb>{0, 0x00ff00, 0xff0000, 0x00ff00, 0, 0, 0, 0, 0xff0000, 0xff0000, 0, 0};
    QTest::newRow("RLE4 skipping pixels")
        << bmpType
        << bmpFile(bmpInfo(40, 4, 2, 4, 2, {}, 4), palette,
                   QByteArray("\x03\x12\0\0\0\x03\x21\x20\0\x01", 10))
        << QSize(4, 2)
        << QList<QRgb>{0x00ff00, 0xff0000, 0x00ff00, 0, 0xff0000, 0x00ff00, 0xff0000, 0};
    // 253 bytes whose last escape reaches past the end, and no end marker:
    // Qt showed 48 megapixels of black.
    QTest::newRow("RLE4 of 2554 x 18803 with no end of bitmap")
        << bmpType
        << bmpFile(bmpInfo(40, 2554, 18803, 4, 2), palette.repeated(4),
                   QByteArray(133, '\x11') + QByteArray("\0\x20", 2))
        << QSize() << refused;

    // 8 bits with a palette of 252 entries of 3 bytes, then the pixels from
    // the offset the header gives: Qt read 256 entries, and the pixels 12
    // bytes late.
    QByteArray os2 = bmpFile(little(12) + little(8, 2) + little(8, 2) + little(1, 2) + little(8, 2),
                             QByteArray(252 * 3, '\x40'), QByteArray(64, '\1'));
    QTest::newRow("OS/2 BMP with a palette shorter than its depth")
        << bmpType << os2 << QSize() << refused;
    // 10-bit red, 1-bit green and 5-bit blue, scaled to the nearest 8-bit.
    QTest::newRow("BMP bit fields 10, 1 and 5 bits wide")
        << bmpType
        << bmpFile(bmpInfo(40, 2, 1, 32, 3), little(0xffc00) + little(0x200) + little(0x1f),
                   little(0x80210) + little(0xfffff))
        << QSize(2, 1) << QList<QRgb>{0x80ff84, 0xffffff};
    QTest::newRow("BMP 16-bit 5-5-5")
        << bmpType << bmpFile(bmpInfo(40, 2, 1, 16, 0), {}, little(0x7c1f, 2) + little(0x4210, 2))
        << QSize(2, 1) << QList<QRgb>{0xff00ff, 0x848484};
    // The plain layout: V5 header, 8-bit masks with alpha, rows top-down.
    const QByteArray masks = little(0xff0000) + little(0xff00) + little(0xff) + little(0xff000000);
    QTest::newRow("BMP V5 with alpha, top-down")
        << bmpType
        << bmpFile(bmpInfo(124, 1, -2, 32, 3, masks), {}, little(0x00123456) + little(0x80abcdef))
        << QSize(1, 2) << QList<QRgb>{0x123456, 0xabcdef};

    // Icons: colours as stored where alpha is 0, a V5 header, a PNG inside.
    const QByteArray mask(8, '\0');
    QTest::newRow("icon of 32 bits with alpha")
        << QStringLiteral("image/vnd.microsoft.icon")
        << icon(bmpInfo(40, 2, 4, 32, 0) + little(0x00ff0000) + little(0xff00ff00) +
                little(0x000000ff) + little(0x80ffffff) + mask)
        << QSize(2, 2) << QList<QRgb>{0x0000ff, 0xffffff, 0xff0000, 0x00ff00};
    QTest::newRow("icon with a V5 header")
        << QStringLiteral("image/vnd.microsoft.icon")
        << icon(bmpInfo(124, 2, 2, 24, 0) + QByteArray("\x01\x02\x03\x04\x05\x06\0\0", 8) + mask)
        << QSize(2, 1) << QList<QRgb>{0x030201, 0x060504};
    QTest::newRow("icon holding a 16-bit PNG")
        << QStringLiteral("image/vnd.microsoft.icon")
        << icon(png(pngHeader(1, 1, "\x10\x00"), {}, QByteArray("\0\xfe\xff", 3))) << QSize(1, 1)
        << QList<QRgb>{0xfefefe};
}

void TestGrab::layoutsReadAsStoredOrRefused()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(QList<QRgb>, pixels);
    offer(type, bytes);
    std::optional<imaging::Picture> picture;
    try {
        picture = capture::GrabFrame(nullptr);
        QVERIFY2(!pixels.isEmpty(), "damaged bytes were taken");
    } catch (const capture::GrabError& error) {
        QCOMPARE(QString::fromUtf8(error.what()),
                 QStringLiteral("剪貼簿上的圖片已損壞，無法讀取。"));
        QVERIFY(pixels.isEmpty());
        return;
    }
    QVERIFY(picture);
    QCOMPARE(QSize(picture->Width(), picture->Height()), size);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const std::uint8_t* px = picture->ScanLine(y) + 3 * x;
            QCOMPARE(qRgb(px[2], px[1], px[0]) & 0xffffff, pixels[y * size.width() + x]);
        }
    }
}

QTEST_MAIN(TestGrab)
#include "tst_grab.moc"
