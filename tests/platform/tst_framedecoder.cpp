#include "CameraFrames.h"
#include "FrameDecoder.h"
#include "YuvReference.h"
#include "YuyvToBgr.h"

#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using platform::Frame;
using platform::FrameDecoder;
using platform::FrameFormat;
using platform::FrameLayout;
using platform::YuvEncoding;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(FrameFormat)
Q_DECLARE_METATYPE(YuvEncoding)

namespace {

struct Bgr {
    int b, g, r;
};

Bgr pixelAt(const Frame& f, int x, int y)
{
    const std::uint8_t* p = f.scanLine(y) + 3 * x;
    return {p[0], p[1], p[2]};
}

// Four flat blocks (2 x 2) of known colours, blue-green-red rows without padding.
Bytes blocks(int width, int height)
{
    static const Bgr colours[4] = {{20, 40, 200}, {200, 180, 30}, {60, 200, 90}, {240, 240, 240}};
    Bytes out(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Bgr c = colours[(y * 2 / height) * 2 + x * 2 / width];
            std::uint8_t* p = &out[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(c.b);
            p[1] = static_cast<std::uint8_t>(c.g);
            p[2] = static_cast<std::uint8_t>(c.r);
        }
    return out;
}

// What many webcams send: the JPEG without its Huffman tables, which the
// decoder has to fill in with the standard ones.
Bytes withoutHuffmanTables(const Bytes& jpeg)
{
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    std::size_t i = 2;
    while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF) {
        const std::uint8_t marker = jpeg[i + 1];
        const std::size_t length = (jpeg[i + 2] << 8) | jpeg[i + 3];
        if (marker == 0xDA) // start of scan: the rest is entropy-coded data
            break;
        if (marker != 0xC4)
            out.insert(out.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + length);
        i += 2 + length;
    }
    out.insert(out.end(), jpeg.begin() + i, jpeg.end());
    return out;
}

Frame sentinelFrame()
{
    Frame f;
    f.width = 1;
    f.height = 1;
    f.stride = 4;
    f.bits = {1, 2, 3, 4};
    return f;
}

bool isSentinel(const Frame& f)
{
    return f.width == 1 && f.height == 1 && f.stride == 4 && f.bits == Bytes{1, 2, 3, 4};
}

// Adds the rows that `add` makes once per way the YUV rows can run: each
// SIMD instruction set built for that this processor runs, and the portable
// row ("C++"). `add` takes the path's name, for the rows' names.
template <class Add> void forEachRowPath(Add add)
{
    QTest::addColumn<QString>("path");
    for (const std::string& path : platform::yuv::rowPaths())
        add(path.c_str());
}

} // namespace

class TestFrameDecoder : public QObject {
    Q_OBJECT

private slots:
    void yuyvKnownValues_data();
    void yuyvKnownValues();
    void yuyvPathsAreExactlyRoundedForEveryColour_data();
    void yuyvPathsAreExactlyRoundedForEveryColour();
    void yuvLayoutsAreReadByTheReference_data();
    void yuvLayoutsAreReadByTheReference();
    void greyIsExactForEveryLevel_data();
    void greyIsExactForEveryLevel();
    void packedFormatsAreExactAndHonourStrides_data();
    void packedFormatsAreExactAndHonourStrides();
    void unusableLayoutsAreRefused_data();
    void unusableLayoutsAreRefused();
    void shortBuffersAreRefusedAndOutStays_data();
    void shortBuffersAreRefusedAndOutStays();
    void mjpegDecodes_data();
    void mjpegDecodes();
    void badMjpegIsRefusedAndOutStays_data();
    void badMjpegIsRefusedAndOutStays();
    void steadyStateReusesMemory_data();
    void steadyStateReusesMemory();
};

void TestFrameDecoder::yuyvKnownValues_data()
{
    QTest::addColumn<YuvEncoding>("encoding");
    QTest::addColumn<int>("y0");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("y1");
    QTest::addColumn<int>("v");
    QTest::addColumn<QList<int>>("expected"); // b, g, r of both pixels

    const YuvEncoding bt601 = YuvEncoding::Bt601Limited;
    QTest::newRow("black and white")
        << bt601 << 16 << 128 << 235 << 128 << QList<int>{0, 0, 0, 255, 255, 255};
    QTest::newRow("below black, above white clamp")
        << bt601 << 0 << 128 << 255 << 128 << QList<int>{0, 0, 0, 255, 255, 255};
    QTest::newRow("mid grey") << bt601 << 126 << 128 << 126 << 128
                              << QList<int>{128, 128, 128, 128, 128, 128};
    // Red as 8-bit Y'CbCr holds it: 255 (65 / 219 + 0.701) is 254.44.
    QTest::newRow("red") << bt601 << 81 << 90 << 81 << 240 << QList<int>{0, 0, 254, 0, 0, 254};
    // Both pixels of a pair share one chroma sample.
    QTest::newRow("shared chroma")
        << bt601 << 120 << 140 << 16 << 110 << QList<int>{145, 131, 92, 24, 10, 0};
    // The layout's encoding reaches the conversion.
    QTest::newRow("full range greys") << YuvEncoding::Bt601Full << 16 << 128 << 235 << 128
                                      << QList<int>{16, 16, 16, 235, 235, 235};
    QTest::newRow("Rec.709 limited") << YuvEncoding::Rec709Limited << 120 << 140 << 16 << 110
                                     << QList<int>{146, 128, 89, 25, 7, 0};
    QTest::newRow("Rec.709 full") << YuvEncoding::Rec709Full << 120 << 140 << 16 << 110
                                  << QList<int>{142, 126, 92, 38, 22, 0};
}

void TestFrameDecoder::yuyvKnownValues()
{
    QFETCH(YuvEncoding, encoding);
    QFETCH(int, y0);
    QFETCH(int, u);
    QFETCH(int, y1);
    QFETCH(int, v);
    QFETCH(QList<int>, expected);

    // Two rows with padding, to check every row gets the same conversion.
    const Bytes one = {std::uint8_t(y0), std::uint8_t(u), std::uint8_t(y1), std::uint8_t(v)};
    Bytes data = one;
    data.insert(data.end(), {0xAA, 0xAA});
    data.insert(data.end(), one.begin(), one.end());
    data.insert(data.end(), {0xAA, 0xAA});
    FrameDecoder decoder({FrameFormat::YUYV, 2, 2, 6, encoding});
    Frame out;
    QVERIFY(decoder.decode(data.data(), data.size(), out));
    QCOMPARE(out.width, 2);
    QCOMPARE(out.height, 2);
    QCOMPARE(out.stride, std::size_t{8});
    for (int y = 0; y < 2; ++y) {
        QList<int> got;
        for (int i = 0; i < 6; ++i)
            got << out.scanLine(y)[i];
        QCOMPARE(got, expected);
    }
}

void TestFrameDecoder::yuyvPathsAreExactlyRoundedForEveryColour_data()
{
    QTest::addColumn<YuvEncoding>("encoding");
    QTest::addColumn<int>("kr"); // ten-thousandths
    QTest::addColumn<int>("kb");
    QTest::addColumn<bool>("full");
    QTest::newRow("BT.601 limited") << YuvEncoding::Bt601Limited << 2990 << 1140 << false;
    QTest::newRow("BT.601 full") << YuvEncoding::Bt601Full << 2990 << 1140 << true;
    QTest::newRow("Rec.709 limited") << YuvEncoding::Rec709Limited << 2126 << 722 << false;
    QTest::newRow("Rec.709 full") << YuvEncoding::Rec709Full << 2126 << 722 << true;
}

// The portable row against the reference, pixel by pixel, and every SIMD
// path built for this processor against the portable row.
void TestFrameDecoder::yuyvPathsAreExactlyRoundedForEveryColour()
{
    QFETCH(YuvEncoding, encoding);
    QFETCH(int, kr);
    QFETCH(int, kb);
    QFETCH(bool, full);

    const YuvReference reference{kr, kb, full};
    std::vector<std::string> simd = platform::yuv::rowPaths();
    simd.pop_back(); // "C++", the portable row
    const auto restore = qScopeGuard([] { platform::yuv::useRowPath(""); });

    // Every (Y, Cb, Cr): one row per (Cb, Cr), Y0 running up and Y1 down, and
    // an odd number of pairs so that the vector path's tail is used too. The
    // portable rows of one Cb are kept for the SIMD paths, so that each path
    // is chosen once per Cb rather than once per row.
    const int pairs = 257;
    const std::size_t bytesOut = 6 * pairs;
    Bytes row(4 * pairs), portable(256 * bytesOut), out(bytesOut);
    auto fill = [&](int u, int v) {
        for (int i = 0; i < pairs; ++i) {
            row[4 * i] = std::uint8_t(i);
            row[4 * i + 1] = std::uint8_t(u);
            row[4 * i + 2] = std::uint8_t(255 - i);
            row[4 * i + 3] = std::uint8_t(v);
        }
    };
    int want[256][3];
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            for (int y = 0; y < 256; ++y)
                reference.bgr(y, u, v, want[y]);
            fill(u, v);
            std::uint8_t* const got = &portable[v * bytesOut];
            platform::yuyv::rowPortable(row.data(), got, pairs, encoding);
            for (int i = 0; i < 2 * pairs; ++i) {
                const int y = row[2 * i];
                if (got[3 * i] != want[y][0] || got[3 * i + 1] != want[y][1] ||
                    got[3 * i + 2] != want[y][2])
                    QFAIL(qPrintable(QStringLiteral("portable: Y %1 Cb %2 Cr %3 gives %4 %5 %6")
                                         .arg(y)
                                         .arg(u)
                                         .arg(v)
                                         .arg(got[3 * i])
                                         .arg(got[3 * i + 1])
                                         .arg(got[3 * i + 2])));
            }
        }
        for (const std::string& path : simd) {
            QVERIFY(platform::yuv::useRowPath(path));
            const platform::yuyv::RowFunction convert = platform::yuyv::bestRow();
            for (int v = 0; v < 256; ++v) {
                fill(u, v);
                convert(row.data(), out.data(), pairs, encoding);
                const auto expected = portable.begin() + v * bytesOut;
                const auto at = std::mismatch(out.begin(), out.end(), expected);
                if (at.first != out.end())
                    QFAIL(qPrintable(QStringLiteral("%1: Y %2 Cb %3 Cr %4 differs from the "
                                                    "portable row")
                                         .arg(QString::fromStdString(path))
                                         .arg(row[2 * ((at.first - out.begin()) / 3)])
                                         .arg(u)
                                         .arg(v)));
            }
        }
    }
}

void TestFrameDecoder::yuvLayoutsAreReadByTheReference_data()
{
    QTest::addColumn<FrameFormat>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QList<int>>("strides"); // each plane's, in memory order
    QTest::addColumn<bool>("apart");         // planes given apart, else one buffer
    QTest::addColumn<YuvEncoding>("encoding");

    // Widths past 16 reach the vector path and its tail.
    const QSize packed(38, 3), odd(37, 5);
    forEachRowPath([&](const char* path) {
        QTest::addRow("UYVY padded, %s", path)
            << FrameFormat::UYVY << packed << QList<int>{80} << false << YuvEncoding::Bt601Limited
            << QString(path);
        QTest::addRow("YVYU, %s", path) << FrameFormat::YVYU << packed << QList<int>{76} << false
                                        << YuvEncoding::Rec709Full << QString(path);
        QTest::addRow("VYUY, %s", path) << FrameFormat::VYUY << packed << QList<int>{76} << false
                                        << YuvEncoding::Bt601Full << QString(path);
        // An odd width: the last pixel comes with its whole pair.
        QTest::addRow("YUYV odd width, %s", path)
            << FrameFormat::YUYV << odd << QList<int>{76} << false << YuvEncoding::Rec709Limited
            << QString(path);
        QTest::addRow("UYVY odd width, padded, %s", path)
            << FrameFormat::UYVY << odd << QList<int>{80} << false << YuvEncoding::Bt601Limited
            << QString(path);
        // One buffer, as V4L2 lays it out: chroma rows of the first plane's
        // stride (NV12, NV21) or half of it (I420, YV12).
        QTest::addRow("NV12 odd, padded, %s", path)
            << FrameFormat::NV12 << odd << QList<int>{40, 40} << false << YuvEncoding::Bt601Limited
            << QString(path);
        QTest::addRow("NV21 odd, padded, %s", path)
            << FrameFormat::NV21 << odd << QList<int>{40, 40} << false << YuvEncoding::Rec709Limited
            << QString(path);
        QTest::addRow("I420 odd, padded, %s", path)
            << FrameFormat::I420 << odd << QList<int>{40, 20, 20} << false
            << YuvEncoding::Rec709Full << QString(path);
        QTest::addRow("YV12 odd, padded, %s", path)
            << FrameFormat::YV12 << odd << QList<int>{40, 20, 20} << false << YuvEncoding::Bt601Full
            << QString(path);
        // Apart, each plane with its own stride, as PipeWire gives them.
        QTest::addRow("NV12 apart, %s", path) << FrameFormat::NV12 << odd << QList<int>{37, 44}
                                              << true << YuvEncoding::Bt601Limited << QString(path);
        QTest::addRow("I420 apart, %s", path) << FrameFormat::I420 << odd << QList<int>{48, 19, 23}
                                              << true << YuvEncoding::Bt601Limited << QString(path);
        QTest::addRow("YV12 apart, %s", path)
            << FrameFormat::YV12 << QSize(40, 4) << QList<int>{40, 24, 20} << true
            << YuvEncoding::Rec709Limited << QString(path);
    });
}

void TestFrameDecoder::yuvLayoutsAreReadByTheReference()
{
    QFETCH(FrameFormat, format);
    QFETCH(QSize, size);
    QFETCH(QList<int>, strides);
    QFETCH(bool, apart);
    QFETCH(YuvEncoding, encoding);
    QFETCH(QString, path);
    const auto restore = qScopeGuard([] { platform::yuv::useRowPath(""); });
    QVERIFY(platform::yuv::useRowPath(path.toStdString()));
    const int width = size.width(), height = size.height();
    const bool bt601 = encoding == YuvEncoding::Bt601Limited || encoding == YuvEncoding::Bt601Full;
    const bool full = encoding == YuvEncoding::Bt601Full || encoding == YuvEncoding::Rec709Full;
    const YuvReference reference{bt601 ? 2990 : 2126, bt601 ? 1140 : 722, full};

    // Noise in every plane, padding included.
    std::mt19937 random(7);
    std::vector<Bytes> planes;
    for (qsizetype p = 0; p < strides.size(); ++p) {
        planes.emplace_back(std::size_t(strides[p]) * (p == 0 ? height : (height + 1) / 2));
        for (auto& b : planes.back())
            b = static_cast<std::uint8_t>(random());
    }
    // Y, Cb and Cr of pixel (x, y): where Y0, Cb and Cr sit in a 4:2:2
    // pair; for 4:2:0, which plane or which of a pair holds Cb and Cr.
    struct Where {
        FrameFormat format;
        int y, cb, cr;
    };
    static const Where where[] = {{FrameFormat::YUYV, 0, 1, 3}, {FrameFormat::UYVY, 1, 0, 2},
                                  {FrameFormat::YVYU, 0, 3, 1}, {FrameFormat::VYUY, 1, 2, 0},
                                  {FrameFormat::NV12, 0, 0, 1}, {FrameFormat::NV21, 0, 1, 0},
                                  {FrameFormat::I420, 0, 1, 2}, {FrameFormat::YV12, 0, 2, 1}};
    const Where w = *std::find_if(std::begin(where), std::end(where),
                                  [&](const Where& c) { return c.format == format; });
    auto sample = [&](int plane, int x, int y) {
        return planes[plane][std::size_t(strides[plane]) * y + x];
    };
    auto samples = [&](int x, int y, int yuv[3]) {
        if (planes.size() == 1) {
            yuv[0] = sample(0, 4 * (x / 2) + w.y + 2 * (x % 2), y);
            yuv[1] = sample(0, 4 * (x / 2) + w.cb, y);
            yuv[2] = sample(0, 4 * (x / 2) + w.cr, y);
        } else if (planes.size() == 2) {
            yuv[0] = sample(0, x, y);
            yuv[1] = sample(1, 2 * (x / 2) + w.cb, y / 2);
            yuv[2] = sample(1, 2 * (x / 2) + w.cr, y / 2);
        } else {
            yuv[0] = sample(0, x, y);
            yuv[1] = sample(w.cb, x / 2, y / 2);
            yuv[2] = sample(w.cr, x / 2, y / 2);
        }
    };

    platform::FramePlanes given;
    Bytes one;
    for (const Bytes& p : planes)
        one.insert(one.end(), p.begin(), p.end());
    if (apart) {
        for (std::size_t p = 0; p < planes.size(); ++p)
            given.plane[p] = {planes[p].data(), planes[p].size(), std::size_t(strides[int(p)])};
        given.count = int(planes.size());
    } else {
        given.plane[0] = {one.data(), one.size(), std::size_t(strides[0])};
        given.count = 1;
    }
    FrameDecoder decoder({format, width, height, std::size_t(strides[0]), encoding});
    Frame out;
    QVERIFY(decoder.decode(given, out));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int yuv[3], want[3];
            samples(x, y, yuv);
            reference.bgr(yuv[0], yuv[1], yuv[2], want);
            const Bgr got = pixelAt(out, x, y);
            QVERIFY2(got.b == want[0] && got.g == want[1] && got.r == want[2],
                     qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }

    // One byte fewer in the last plane, and the frame is dropped.
    platform::FramePlanes shorter = given;
    --shorter.plane[shorter.count - 1].size;
    Frame kept = sentinelFrame();
    QVERIFY(!decoder.decode(shorter, kept));
    QVERIFY(isSentinel(kept));
}

void TestFrameDecoder::greyIsExactForEveryLevel_data()
{
    QTest::addColumn<YuvEncoding>("encoding");
    QTest::addColumn<bool>("full");
    QTest::newRow("limited range, stretched") << YuvEncoding::Bt601Limited << false;
    QTest::newRow("Rec. 709 limited, the same") << YuvEncoding::Rec709Limited << false;
    QTest::newRow("full range, as it is") << YuvEncoding::Bt601Full << true;
}

void TestFrameDecoder::greyIsExactForEveryLevel()
{
    QFETCH(YuvEncoding, encoding);
    QFETCH(bool, full);
    Bytes levels(256);
    std::iota(levels.begin(), levels.end(), 0);
    FrameDecoder decoder({FrameFormat::GREY, 256, 1, 0, encoding});
    Frame out;
    QVERIFY(decoder.decode(levels.data(), levels.size(), out));
    const YuvReference reference{2990, 1140, full};
    for (int v = 0; v < 256; ++v) {
        int want[3];
        reference.bgr(v, 128, 128, want);
        const Bgr got = pixelAt(out, v, 0);
        QVERIFY2(got.b == want[0] && got.g == want[0] && got.r == want[0],
                 qPrintable(QStringLiteral("level %1 gives %2").arg(v).arg(got.g)));
    }
}

void TestFrameDecoder::packedFormatsAreExactAndHonourStrides_data()
{
    QTest::addColumn<FrameFormat>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("bytesPerLine");

    QTest::newRow("BGR24 tight") << FrameFormat::BGR24 << 5 << 0;
    QTest::newRow("BGR24 padded") << FrameFormat::BGR24 << 5 << 19;
    QTest::newRow("RGB24 tight") << FrameFormat::RGB24 << 7 << 21;
    QTest::newRow("RGB24 padded") << FrameFormat::RGB24 << 7 << 32;
    QTest::newRow("BGRX tight") << FrameFormat::BGRX << 13 << 0;
    QTest::newRow("RGBX padded") << FrameFormat::RGBX << 13 << 60;
    QTest::newRow("XRGB tight") << FrameFormat::XRGB << 13 << 0;
    QTest::newRow("XBGR padded") << FrameFormat::XBGR << 13 << 55;
}

void TestFrameDecoder::packedFormatsAreExactAndHonourStrides()
{
    QFETCH(FrameFormat, format);
    QFETCH(int, width);
    QFETCH(int, bytesPerLine);
    const int height = 3;
    // Bytes a pixel, and where blue, green and red sit among them.
    struct Order {
        FrameFormat format;
        int bytes, b, g, r;
    };
    static const Order orders[] = {
        {FrameFormat::BGR24, 3, 0, 1, 2}, {FrameFormat::RGB24, 3, 2, 1, 0},
        {FrameFormat::BGRX, 4, 0, 1, 2},  {FrameFormat::RGBX, 4, 2, 1, 0},
        {FrameFormat::XRGB, 4, 3, 2, 1},  {FrameFormat::XBGR, 4, 1, 2, 3}};
    const Order o = *std::find_if(std::begin(orders), std::end(orders),
                                  [&](const Order& c) { return c.format == format; });
    const std::size_t row = bytesPerLine ? std::size_t(bytesPerLine) : std::size_t(width) * o.bytes;

    std::mt19937 random(42);
    Bytes data(row * height);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(random());

    FrameDecoder decoder({format, width, height, std::size_t(bytesPerLine)});
    Frame out;
    QVERIFY(decoder.decode(data.data(), data.size(), out));
    QCOMPARE(out.stride % 4, std::size_t{0});
    QVERIFY(out.stride >= std::size_t(width) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* src = &data[row * y + std::size_t(o.bytes) * x];
            const Bgr got = pixelAt(out, x, y);
            const Bgr want = {src[o.b], src[o.g], src[o.r]};
            QVERIFY2(got.b == want.b && got.g == want.g && got.r == want.r,
                     qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }
}

void TestFrameDecoder::unusableLayoutsAreRefused_data()
{
    QTest::addColumn<FrameFormat>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("bytesPerLine");

    QTest::newRow("zero width") << FrameFormat::BGR24 << 0 << 4 << 0;
    QTest::newRow("negative height") << FrameFormat::RGB24 << 4 << -1 << 0;
    QTest::newRow("too wide") << FrameFormat::YUYV << FrameDecoder::kMaxSide + 2 << 2 << 0;
    QTest::newRow("too tall jpeg") << FrameFormat::MJPEG << 4 << FrameDecoder::kMaxSide + 1 << 0;
    QTest::newRow("rows shorter than pixels") << FrameFormat::BGR24 << 4 << 4 << 11;
    QTest::newRow("yuyv rows short") << FrameFormat::YUYV << 4 << 4 << 7;
    // Three pixels in six bytes leave the last pair without its Cr.
    QTest::newRow("yuyv odd width, last pair cut") << FrameFormat::YUYV << 3 << 4 << 6;
    QTest::newRow("uyvy odd width, last pair cut") << FrameFormat::UYVY << 3 << 4 << 6;
    // Odd widths need a chroma sample more than half the rows hold.
    QTest::newRow("nv12 chroma rows short") << FrameFormat::NV12 << 5 << 4 << 5;
    QTest::newRow("i420 chroma rows short") << FrameFormat::I420 << 5 << 4 << 5;
    QTest::newRow("i420 rows of one byte: no chroma row") << FrameFormat::I420 << 1 << 4 << 1;
}

void TestFrameDecoder::unusableLayoutsAreRefused()
{
    QFETCH(FrameFormat, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, bytesPerLine);
    const FrameLayout layout{format, width, height, std::size_t(bytesPerLine)};
    QVERIFY(!FrameDecoder::supports(layout));

    const Bytes data(1 << 16, 0x80);
    Frame out = sentinelFrame();
    FrameDecoder decoder(layout);
    QVERIFY(!decoder.decode(data.data(), data.size(), out));
    QVERIFY(isSentinel(out));
}

void TestFrameDecoder::shortBuffersAreRefusedAndOutStays_data()
{
    QTest::addColumn<FrameFormat>("format");
    QTest::addColumn<int>("bytesPerLine");
    QTest::addColumn<int>("size");

    // 4 x 3 frames.
    QTest::newRow("BGR24 one byte short") << FrameFormat::BGR24 << 0 << 35;
    QTest::newRow("BGR24 padded rows, last row short") << FrameFormat::BGR24 << 16 << 47;
    QTest::newRow("RGB24 empty") << FrameFormat::RGB24 << 0 << 0;
    QTest::newRow("YUYV one byte short") << FrameFormat::YUYV << 0 << 23;
    QTest::newRow("YUYV half") << FrameFormat::YUYV << 8 << 12;
    QTest::newRow("NV12 chroma one byte short") << FrameFormat::NV12 << 0 << 19;
    QTest::newRow("YV12 chroma one byte short") << FrameFormat::YV12 << 0 << 19;
    QTest::newRow("XRGB one byte short") << FrameFormat::XRGB << 0 << 47;
}

void TestFrameDecoder::shortBuffersAreRefusedAndOutStays()
{
    QFETCH(FrameFormat, format);
    QFETCH(int, bytesPerLine);
    QFETCH(int, size);
    // The bytes after `size` exist but do not belong to the frame.
    const Bytes data(64, 0x55);
    FrameDecoder decoder({format, 4, 3, std::size_t(bytesPerLine)});
    Frame out = sentinelFrame();
    QVERIFY(!decoder.decode(data.data(), std::size_t(size), out));
    QVERIFY(isSentinel(out));
    QVERIFY(!decoder.decode(nullptr, 64, out));
    QVERIFY(isSentinel(out));
    QVERIFY(decoder.decode(data.data(), data.size(), out));
}

void TestFrameDecoder::mjpegDecodes_data()
{
    QTest::addColumn<bool>("stripHuffman");
    QTest::newRow("complete") << false;
    QTest::newRow("without Huffman tables") << true;
}

void TestFrameDecoder::mjpegDecodes()
{
    QFETCH(bool, stripHuffman);
    const int width = 64, height = 48;
    const Bytes bgr = blocks(width, height);
    Bytes jpeg = encodeJpeg(bgr, width, height);
    QVERIFY(!jpeg.empty());
    if (stripHuffman) {
        const std::size_t before = jpeg.size();
        jpeg = withoutHuffmanTables(jpeg);
        QVERIFY(jpeg.size() < before);
    }

    FrameDecoder decoder({FrameFormat::MJPEG, width, height, 0});
    Frame out;
    QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), out));
    QCOMPARE(out.width, width);
    QCOMPARE(out.height, height);
    QCOMPARE(out.stride, std::size_t(width * 3));
    // Block centres, away from the edges that chroma subsampling blurs.
    for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx) {
            const int x = bx * width / 2 + width / 4, y = by * height / 2 + height / 4;
            const std::uint8_t* want = &bgr[(std::size_t(y) * width + x) * 3];
            const Bgr got = pixelAt(out, x, y);
            QVERIFY2(std::abs(got.b - want[0]) <= 4 && std::abs(got.g - want[1]) <= 4 &&
                         std::abs(got.r - want[2]) <= 4,
                     qPrintable(QStringLiteral("block %1,%2: %3 %4 %5")
                                    .arg(bx)
                                    .arg(by)
                                    .arg(got.b)
                                    .arg(got.g)
                                    .arg(got.r)));
        }
}

void TestFrameDecoder::badMjpegIsRefusedAndOutStays_data()
{
    const int width = 64, height = 48;
    const Bytes good = encodeJpeg(blocks(width, height), width, height);

    QTest::addColumn<Bytes>("jpeg");
    QTest::addColumn<int>("layoutWidth");

    QTest::newRow("truncated") << Bytes(good.begin(), good.begin() + good.size() / 2) << width;
    // Markers where entropy-coded data should be, half way through the scan.
    std::size_t scan = 2;
    while (scan + 1 < good.size() && !(good[scan] == 0xFF && good[scan + 1] == 0xDA))
        ++scan;
    Bytes markers = good;
    const std::size_t middle = (scan + good.size()) / 2;
    for (std::size_t i = middle; i < middle + 16; i += 2) {
        markers[i] = 0xFF;
        markers[i + 1] = 0xD3;
    }
    QTest::newRow("stray markers in the scan") << markers << width;
    QTest::newRow("headers only") << Bytes(good.begin(), good.begin() + 200) << width;
    QTest::newRow("not a jpeg") << Bytes(500, 0x42) << width;
    QTest::newRow("empty") << Bytes{} << width;
    QTest::newRow("other size than negotiated") << good << width * 2;
}

void TestFrameDecoder::badMjpegIsRefusedAndOutStays()
{
    QFETCH(Bytes, jpeg);
    QFETCH(int, layoutWidth);
    FrameDecoder decoder({FrameFormat::MJPEG, layoutWidth, 48, 0});
    Frame out = sentinelFrame();
    const Bytes padded = jpeg.empty() ? Bytes(1) : jpeg;
    QVERIFY(!decoder.decode(padded.data(), jpeg.size(), out));
    QVERIFY(isSentinel(out));
}

void TestFrameDecoder::steadyStateReusesMemory_data()
{
    QTest::addColumn<FrameFormat>("format");
    QTest::newRow("YUYV") << FrameFormat::YUYV;
    QTest::newRow("MJPEG") << FrameFormat::MJPEG;
}

void TestFrameDecoder::steadyStateReusesMemory()
{
    QFETCH(FrameFormat, format);
    const int width = 32, height = 16;
    const Bytes data = format == FrameFormat::MJPEG
                           ? encodeJpeg(blocks(width, height), width, height)
                           : Bytes(std::size_t(width) * height * 2, 0x80);
    FrameDecoder decoder({format, width, height, 0});
    Frame out;
    QVERIFY(decoder.decode(data.data(), data.size(), out));
    QVERIFY(decoder.decode(data.data(), data.size(), out));
    // The JPEG path alternates between two buffers; nothing new after that.
    const std::uint8_t* seen[2] = {out.bits.data(), nullptr};
    QVERIFY(decoder.decode(data.data(), data.size(), out));
    seen[1] = out.bits.data();
    for (int i = 0; i < 6; ++i) {
        QVERIFY(decoder.decode(data.data(), data.size(), out));
        QVERIFY(out.bits.data() == seen[0] || out.bits.data() == seen[1]);
    }
}

QTEST_APPLESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
