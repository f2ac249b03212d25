#include "Binarize.h"
#include "BinarizePaths.h"
#include "Luminance.h"
#include "Picture.h"
#include "Pictures.h"

#include <QTest>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using imaging::Picture;

namespace {

Picture noise(int width, int height, unsigned seed)
{
    Picture p(width, height);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3 * width; ++x)
            p.ScanLine(y)[x] = static_cast<std::uint8_t>(rng());
    return p;
}

std::uint8_t valueOf(const Picture& p, int x, int y)
{
    return p.ScanLine(y)[3 * x];
}

constexpr std::uint8_t kSentinel = 0xA5;

void fillPadding(Picture& p)
{
    const std::size_t used = 3 * static_cast<std::size_t>(p.Width());
    for (int y = 0; y < p.Height(); ++y)
        std::memset(p.ScanLine(y) + used, kSentinel, p.Stride() - used);
}

// Empty when every pixel of `after` is `before` binarized at the threshold by
// the reference rule and the padding still holds the sentinel; otherwise
// where the first difference is.
QString differenceFromRule(const Picture& before, const Picture& after, int threshold)
{
    const std::size_t used = 3 * static_cast<std::size_t>(before.Width());
    for (int y = 0; y < before.Height(); ++y) {
        for (int x = 0; x < before.Width(); ++x) {
            const std::uint8_t* src = before.ScanLine(y) + 3 * x;
            const std::uint8_t* dst = after.ScanLine(y) + 3 * x;
            const std::uint8_t want =
                imaging::Luminance(src[2], src[1], src[0]) > threshold ? 255 : 0;
            if (dst[0] != want || dst[1] != want || dst[2] != want)
                return QStringLiteral("pixel (%1, %2) at threshold %3")
                    .arg(x)
                    .arg(y)
                    .arg(threshold);
        }
        for (std::size_t i = used; i < before.Stride(); ++i)
            if (after.ScanLine(y)[i] != kSentinel)
                return QStringLiteral("padding of row %1").arg(y);
    }
    return {};
}

// Runs the pass through one path: "C++" is the plain loop, any other name a
// SIMD instruction set, restricted to for the length of the call.
void binarizeThrough(const QString& path, Picture& p, int threshold)
{
    if (path == QLatin1String("C++")) {
        imaging::binarizePortable(p, threshold);
        return;
    }
    QVERIFY(imaging::useBinarizeSimdTarget(path.toStdString()));
    imaging::Binarize(p, threshold);
    QVERIFY(imaging::useBinarizeSimdTarget(""));
}

void addPathRows(const char* what)
{
    QTest::addColumn<QString>("path");
    std::vector<std::string> paths = imaging::binarizeSimdTargets();
    paths.insert(paths.begin(), "C++");
    for (const std::string& path : paths)
        QTest::addRow("%s, %s", what, path.c_str()) << QString::fromStdString(path);
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

    void theBestPathIsTaken();
    void onlyBuiltPathsCanBeChosen();
    void everyPathFollowsTheRuleAtEveryThreshold_data();
    void everyPathFollowsTheRuleAtEveryThreshold();
    void everyPathSplitsTheClosestColours_data();
    void everyPathSplitsTheClosestColours();
    void everyPathOnEveryColour_data();
    void everyPathOnEveryColour();

private:
    // Built on first use and shared by the rows of a test: each takes a walk
    // through all 2^24 colours, which is slow under the sanitizers.
    const Picture& closestColours();
    const Picture& everyColour();
    const Picture& everyColourAt125();

    Picture closestColours_;
    Picture everyColour_;
    Picture everyColourAt125_;
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
    QVERIFY(samePixels(p, filled(3, 2, static_cast<std::uint8_t>(expected),
                                 static_cast<std::uint8_t>(expected),
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
            const std::uint8_t want =
                imaging::Luminance(src[2], src[1], src[0]) > threshold ? 255 : 0;
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

void TestBinarize::theBestPathIsTaken()
{
    const std::vector<std::string> simd = imaging::binarizeSimdTargets();
    QCOMPARE(imaging::binarizePath(), simd.empty() ? std::string("C++") : simd.front());
    for (const std::string& path : simd) {
        QVERIFY(imaging::useBinarizeSimdTarget(path));
        QCOMPARE(imaging::binarizePath(), path);
    }
    QVERIFY(imaging::useBinarizeSimdTarget(""));
    QCOMPARE(imaging::binarizePath(), simd.empty() ? std::string("C++") : simd.front());
}

void TestBinarize::onlyBuiltPathsCanBeChosen()
{
    QVERIFY(!imaging::useBinarizeSimdTarget("C++"));
    QVERIFY(!imaging::useBinarizeSimdTarget("no such instruction set"));
    QCOMPARE(imaging::binarizePath(), imaging::binarizeSimdTargets().empty()
                                          ? std::string("C++")
                                          : imaging::binarizeSimdTargets().front());
}

void TestBinarize::everyPathFollowsTheRuleAtEveryThreshold_data()
{
    addPathRows("noise");
}

// Widths around every step size (16 to 64 pixels) and odd ones, so that each
// ragged end and each row padding of 1, 2 and 3 bytes occurs; every
// threshold of the scroll bar and some beyond it.
void TestBinarize::everyPathFollowsTheRuleAtEveryThreshold()
{
    QFETCH(QString, path);
    for (int width :
         {1, 2, 3, 5, 15, 16, 17, 21, 47, 63, 64, 65, 100, 127, 129, 191, 192, 193, 257, 641}) {
        const Picture before = [&] {
            Picture p = noise(width, 3, static_cast<unsigned>(width));
            fillPadding(p);
            return p;
        }();
        for (int threshold = -2; threshold <= 257; ++threshold) {
            Picture after = before;
            binarizeThrough(path, after, threshold);
            const QString difference = differenceFromRule(before, after, threshold);
            QVERIFY2(difference.isEmpty(),
                     qPrintable(QStringLiteral("width %1: %2").arg(width).arg(difference)));
        }
    }
}

void TestBinarize::everyPathSplitsTheClosestColours_data()
{
    addPathRows("closest colours");
}

// For each luminance level, the colour whose sum lies closest below the next
// level and the one closest above its own: the pixels that any slip in the
// arithmetic or the thresholds would put on the wrong side.
const Picture& TestBinarize::closestColours()
{
    if (!closestColours_.Empty())
        return closestColours_;
    std::vector<std::uint32_t> highest(255, 0), lowest(255, 0);
    std::vector<std::uint32_t> highestSum(255, 0), lowestSum(255, UINT32_MAX);
    for (std::uint32_t rgb = 0; rgb < (1u << 24); ++rgb) {
        const auto R = static_cast<std::uint8_t>(rgb >> 16),
                   G = static_cast<std::uint8_t>(rgb >> 8), B = static_cast<std::uint8_t>(rgb);
        const int L = imaging::Luminance(R, G, B);
        const std::uint32_t sum = imaging::luminanceSum(R, G, B);
        if (sum >= highestSum[L])
            highestSum[L] = sum, highest[L] = rgb;
        if (sum < lowestSum[L])
            lowestSum[L] = sum, lowest[L] = rgb;
    }
    std::vector<std::uint32_t> colours = highest;
    colours.insert(colours.end(), lowest.begin(), lowest.end());
    std::shuffle(colours.begin(), colours.end(), std::mt19937(5));

    const int width = 101;
    closestColours_ = Picture(width, static_cast<int>((colours.size() + width - 1) / width));
    for (std::size_t i = 0; i < static_cast<std::size_t>(width * closestColours_.Height()); ++i) {
        const std::uint32_t rgb = colours[i % colours.size()];
        std::uint8_t* px = closestColours_.ScanLine(static_cast<int>(i / width)) + 3 * (i % width);
        px[0] = static_cast<std::uint8_t>(rgb);
        px[1] = static_cast<std::uint8_t>(rgb >> 8);
        px[2] = static_cast<std::uint8_t>(rgb >> 16);
    }
    fillPadding(closestColours_);
    return closestColours_;
}

void TestBinarize::everyPathSplitsTheClosestColours()
{
    QFETCH(QString, path);
    const Picture& before = closestColours();
    for (int threshold = -1; threshold <= 255; ++threshold) {
        Picture after = before;
        binarizeThrough(path, after, threshold);
        const QString difference = differenceFromRule(before, after, threshold);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
}

void TestBinarize::everyPathOnEveryColour_data()
{
    addPathRows("all 2^24 colours");
}

const Picture& TestBinarize::everyColour()
{
    if (!everyColour_.Empty())
        return everyColour_;
    // 4095 pixels a row: padded rows, and colours that wrap from row to row.
    const int width = 4095;
    const int height = ((1 << 24) + width - 1) / width;
    everyColour_ = Picture(width, height);
    std::uint32_t rgb = 0;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* px = everyColour_.ScanLine(y);
        for (int x = 0; x < width; ++x, ++rgb, px += 3) {
            px[0] = static_cast<std::uint8_t>(rgb);
            px[1] = static_cast<std::uint8_t>(rgb >> 8);
            px[2] = static_cast<std::uint8_t>(rgb >> 16);
        }
    }
    fillPadding(everyColour_);
    return everyColour_;
}

// Checked against the reference rule once; the other paths are compared
// with it byte for byte, which is much quicker.
const Picture& TestBinarize::everyColourAt125()
{
    if (everyColourAt125_.Empty()) {
        Picture result = everyColour();
        imaging::binarizePortable(result, 125);
        if (differenceFromRule(everyColour(), result, 125).isEmpty())
            everyColourAt125_ = std::move(result);
    }
    return everyColourAt125_;
}

void TestBinarize::everyPathOnEveryColour()
{
    QFETCH(QString, path);
    const Picture& expected = everyColourAt125();
    QVERIFY2(!expected.Empty(), "the plain path breaks the rule on some colour");
    Picture after = everyColour();
    binarizeThrough(path, after, 125);
    for (int y = 0; y < after.Height(); ++y)
        if (std::memcmp(after.ScanLine(y), expected.ScanLine(y), after.Stride()) != 0)
            QFAIL(qPrintable(QStringLiteral("row %1 differs from the rule").arg(y)));
}

QTEST_APPLESS_MAIN(TestBinarize)
#include "tst_binarize.moc"
