#include "Luminance.h"

#include <QTest>

#include <cfloat>
#include <cstdint>
#include <limits>

class TestLuminance : public QObject {
    Q_OBJECT

private slots:
    void matchesExtendedPrecisionForEveryColour();
    void knownResults_data();
    void knownResults();
    void grayIsOneBelowItsLevel();
    void sumGivesLuminanceForEveryColour();
    void whiteFloorSplitsEveryColourAtItsLevel();
    void whiteFloorOutsideTheScrollRange_data();
    void whiteFloorOutsideTheScrollRange();
};

// The rule Luminance stands for, evaluated as the original program did: each
// product and sum in x87 extended precision, where all of them are exact.
static int extendedReference(int R, int G, int B)
{
    const long double sum = static_cast<long double>(R) * 0.299 +
                            static_cast<long double>(G) * 0.587 +
                            static_cast<long double>(B) * 0.114;
    return static_cast<int>(sum);
}

void TestLuminance::matchesExtendedPrecisionForEveryColour()
{
    if (LDBL_MANT_DIG < 64)
        QSKIP("long double has no 64-bit significand here");
    int mismatches = 0;
    std::uint32_t first = 0;
    for (std::uint32_t rgb = 0; rgb < (1u << 24); ++rgb) {
        const int R = static_cast<int>(rgb >> 16), G = static_cast<int>((rgb >> 8) & 0xFF),
                  B = static_cast<int>(rgb & 0xFF);
        if (imaging::Luminance(static_cast<std::uint8_t>(R), static_cast<std::uint8_t>(G),
                               static_cast<std::uint8_t>(B)) != extendedReference(R, G, B)) {
            if (mismatches++ == 0)
                first = rgb;
        }
    }
    QVERIFY2(mismatches == 0, qPrintable(QStringLiteral("%1 colours differ, first #%2")
                                             .arg(mismatches)
                                             .arg(first, 6, 16, QLatin1Char('0'))));
}

void TestLuminance::knownResults_data()
{
    QTest::addColumn<int>("R");
    QTest::addColumn<int>("G");
    QTest::addColumn<int>("B");
    QTest::addColumn<int>("expected");
    QTest::newRow("white") << 255 << 255 << 255 << 254;
    QTest::newRow("black") << 0 << 0 << 0 << 0;
    QTest::newRow("red") << 255 << 0 << 0 << 76;
    QTest::newRow("green") << 0 << 255 << 0 << 149;
    QTest::newRow("blue") << 0 << 0 << 255 << 29;
    QTest::newRow("(200,100,50)") << 200 << 100 << 50 << 124;
}

void TestLuminance::knownResults()
{
    QFETCH(int, R);
    QFETCH(int, G);
    QFETCH(int, B);
    QFETCH(int, expected);
    QCOMPARE(imaging::Luminance(static_cast<std::uint8_t>(R), static_cast<std::uint8_t>(G),
                                static_cast<std::uint8_t>(B)),
             expected);
}

void TestLuminance::grayIsOneBelowItsLevel()
{
    for (int v = 1; v <= 255; ++v) {
        const auto c = static_cast<std::uint8_t>(v);
        QCOMPARE(imaging::Luminance(c, c, c), v - 1);
    }
}

void TestLuminance::sumGivesLuminanceForEveryColour()
{
    int mismatches = 0;
    std::uint32_t first = 0;
    for (std::uint32_t rgb = 0; rgb < (1u << 24); ++rgb) {
        const auto R = static_cast<std::uint8_t>(rgb >> 16),
                   G = static_cast<std::uint8_t>(rgb >> 8), B = static_cast<std::uint8_t>(rgb);
        if (static_cast<int>(imaging::luminanceSum(R, G, B) >> 23) != imaging::Luminance(R, G, B)) {
            if (mismatches++ == 0)
                first = rgb;
        }
    }
    QVERIFY2(mismatches == 0, qPrintable(QStringLiteral("%1 colours differ, first #%2")
                                             .arg(mismatches)
                                             .arg(first, 6, 16, QLatin1Char('0'))));
}

// The pass compares sums with whiteFloor(T) instead of luminances with T.
// Each colour of luminance L must reach the floor of every threshold below L
// and of none from L on; since the floor never decreases with the threshold,
// checking thresholds L - 1 and L settles all of them.
void TestLuminance::whiteFloorSplitsEveryColourAtItsLevel()
{
    for (int t = -300; t < 600; ++t)
        QVERIFY(imaging::whiteFloor(t) <= imaging::whiteFloor(t + 1));
    int mismatches = 0;
    std::uint32_t first = 0;
    for (std::uint32_t rgb = 0; rgb < (1u << 24); ++rgb) {
        const auto R = static_cast<std::uint8_t>(rgb >> 16),
                   G = static_cast<std::uint8_t>(rgb >> 8), B = static_cast<std::uint8_t>(rgb);
        const int L = imaging::Luminance(R, G, B);
        const std::uint32_t sum = imaging::luminanceSum(R, G, B);
        if (sum < imaging::whiteFloor(L - 1) || sum >= imaging::whiteFloor(L)) {
            if (mismatches++ == 0)
                first = rgb;
        }
    }
    QVERIFY2(mismatches == 0, qPrintable(QStringLiteral("%1 colours on the wrong side, first #%2")
                                             .arg(mismatches)
                                             .arg(first, 6, 16, QLatin1Char('0'))));
}

void TestLuminance::whiteFloorOutsideTheScrollRange_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<bool>("blackWhite");
    QTest::addColumn<bool>("whiteWhite");
    // Whatever the threshold, the rule is luminance > threshold.
    QTest::newRow("INT_MIN") << std::numeric_limits<int>::min() << true << true;
    QTest::newRow("-1") << -1 << true << true;
    QTest::newRow("0") << 0 << false << true;
    QTest::newRow("253") << 253 << false << true;
    QTest::newRow("254") << 254 << false << false;
    QTest::newRow("256") << 256 << false << false;
    QTest::newRow("INT_MAX") << std::numeric_limits<int>::max() << false << false;
}

void TestLuminance::whiteFloorOutsideTheScrollRange()
{
    QFETCH(int, threshold);
    QFETCH(bool, blackWhite);
    QFETCH(bool, whiteWhite);
    QCOMPARE(imaging::luminanceSum(0, 0, 0) >= imaging::whiteFloor(threshold), blackWhite);
    QCOMPARE(imaging::luminanceSum(255, 255, 255) >= imaging::whiteFloor(threshold), whiteWhite);
}

QTEST_APPLESS_MAIN(TestLuminance)
#include "tst_luminance.moc"
