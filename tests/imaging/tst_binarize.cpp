#include "Binarize.h"
#include "Luminance.h"
#include "Picture.h"

#include <QTest>

#include <cstdint>
#include <cstring>
#include <random>

using imaging::Picture;

namespace {

Picture filled(int width, int height, std::uint8_t B, std::uint8_t G, std::uint8_t R)
{
    Picture p(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            p.ScanLine(y)[3 * x] = B;
            p.ScanLine(y)[3 * x + 1] = G;
            p.ScanLine(y)[3 * x + 2] = R;
        }
    }
    return p;
}

Picture noise(int width, int height, unsigned seed)
{
    Picture p(width, height);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3 * width; ++x)
            p.ScanLine(y)[x] = static_cast<std::uint8_t>(rng());
    return p;
}

bool samePixels(const Picture& a, const Picture& b)
{
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), 3 * static_cast<std::size_t>(a.Width())) != 0)
            return false;
    return true;
}

std::uint8_t valueOf(const Picture& p, int x, int y)
{
    return p.ScanLine(y)[3 * x];
}

} // namespace

class TestBinarize : public QObject {
    Q_OBJECT

private slots:
    void thresholdBoundaries_data();
    void thresholdBoundaries();
    void followsTheLuminanceRuleOnEveryPixel_data();
    void followsTheLuminanceRuleOnEveryPixel();
    void passesCompound();
    void emptyPictureIsLeftEmpty();
    void rowPaddingIsNeverTouched_data();
    void rowPaddingIsNeverTouched();
    void copiesAreIndependent();
    void impossibleSizesAreRefused();
};

void TestBinarize::thresholdBoundaries_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("gray");
    QTest::addColumn<int>("expected");
    QTest::newRow("125 on 126 (luminance 125)") << 125 << 126 << 0;
    QTest::newRow("125 on 127 (luminance 126)") << 125 << 127 << 255;
    QTest::newRow("0 on 1 (luminance 0)") << 0 << 1 << 0;
    QTest::newRow("0 on 2 (luminance 1)") << 0 << 2 << 255;
    QTest::newRow("253 on white") << 253 << 255 << 255;
    QTest::newRow("254 on white") << 254 << 255 << 0;
    QTest::newRow("255 on white") << 255 << 255 << 0;
}

void TestBinarize::thresholdBoundaries()
{
    QFETCH(int, threshold);
    QFETCH(int, gray);
    QFETCH(int, expected);
    const auto g = static_cast<std::uint8_t>(gray);
    Picture p = filled(3, 2, g, g, g);
    imaging::Binarize(p, threshold);
    QVERIFY(samePixels(p, filled(3, 2, static_cast<std::uint8_t>(expected), static_cast<std::uint8_t>(expected),
                                 static_cast<std::uint8_t>(expected))));
}

void TestBinarize::followsTheLuminanceRuleOnEveryPixel_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("threshold");
    // Odd widths leave remainders after any block of pixels handled at once.
    QTest::newRow("1x1 at 125") << 1 << 1 << 125;
    QTest::newRow("37x5 at 0") << 37 << 5 << 0;
    QTest::newRow("64x3 at 125") << 64 << 3 << 125;
    QTest::newRow("131x7 at 77") << 131 << 7 << 77;
    QTest::newRow("640x48 at 200") << 640 << 48 << 200;
    QTest::newRow("1023x2 at 254") << 1023 << 2 << 254;
}

void TestBinarize::followsTheLuminanceRuleOnEveryPixel()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, threshold);
    const Picture before = noise(width, height, static_cast<unsigned>(width * 31 + threshold));
    Picture after = before;
    imaging::Binarize(after, threshold);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* src = before.ScanLine(y) + 3 * x;
            const std::uint8_t* dst = after.ScanLine(y) + 3 * x;
            const std::uint8_t want = imaging::Luminance(src[2], src[1], src[0]) > threshold ? 255 : 0;
            if (dst[0] != want || dst[1] != want || dst[2] != want)
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2)").arg(x).arg(y)));
        }
    }
}

void TestBinarize::passesCompound()
{
    const Picture grabbed = noise(50, 20, 7);

    Picture once = grabbed;
    imaging::Binarize(once, 200);
    Picture twice = once;
    imaging::Binarize(twice, 200);
    QVERIFY2(samePixels(once, twice), "the same threshold twice changed the picture");

    // Going back down to 50 brings no detail back: black stays black (0) and
    // white (luminance 254) stays white.
    Picture lower = once;
    imaging::Binarize(lower, 50);
    QVERIFY(samePixels(lower, once));

    Picture top = once;
    imaging::Binarize(top, 254);
    QVERIFY(samePixels(top, filled(50, 20, 0, 0, 0)));
}

void TestBinarize::emptyPictureIsLeftEmpty()
{
    Picture p;
    imaging::Binarize(p, 125);
    QVERIFY(p.Empty());
    QCOMPARE(p.Width(), 0);
    QCOMPARE(p.Height(), 0);
}

void TestBinarize::rowPaddingIsNeverTouched_data()
{
    QTest::addColumn<int>("width");
    for (int w : {1, 2, 3, 5})
        QTest::addRow("width %d", w) << w;
}

void TestBinarize::rowPaddingIsNeverTouched()
{
    QFETCH(int, width);
    Picture p = noise(width, 4, 3);
    const std::size_t used = 3 * static_cast<std::size_t>(width);
    QVERIFY(p.Stride() % 4 == 0 && p.Stride() - used < 4 && p.Stride() > used);
    for (int y = 0; y < p.Height(); ++y)
        std::memset(p.ScanLine(y) + used, 0xA5, p.Stride() - used);
    imaging::Binarize(p, 125);
    for (int y = 0; y < p.Height(); ++y)
        for (std::size_t i = used; i < p.Stride(); ++i)
            QCOMPARE(p.ScanLine(y)[i], std::uint8_t{0xA5});
}

void TestBinarize::copiesAreIndependent()
{
    Picture original = filled(4, 4, 255, 255, 255);
    Picture copy = original;
    imaging::Binarize(copy, 254);
    QCOMPARE(valueOf(original, 3, 3), std::uint8_t{255});
    QCOMPARE(valueOf(copy, 3, 3), std::uint8_t{0});

    Picture assigned;
    assigned = original;
    original.ScanLine(0)[0] = 1;
    QCOMPARE(valueOf(assigned, 0, 0), std::uint8_t{255});
}

void TestBinarize::impossibleSizesAreRefused()
{
    QVERIFY_THROWS_EXCEPTION(imaging::PictureSizeError, Picture(-1, 10));
    QVERIFY_THROWS_EXCEPTION(imaging::PictureSizeError, Picture(10, -1));
    // Zero in one direction is an empty picture, not an error.
    QVERIFY(Picture(0, 100000).Empty());
}

QTEST_APPLESS_MAIN(TestBinarize)
#include "tst_binarize.moc"
