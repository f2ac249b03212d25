// The real program on a real X server, driven from outside as a user would:
// xdotool clicks and presses keys, xclip reads the clipboard, the window's
// pixels are read back from the screen. The camera is the fake one, loaded
// into the program with LD_PRELOAD so that its real V4L2 code runs.

#include "Luminance.h"
#include "Spawn.h"
#include "fakecam.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

namespace {

// Places inside the window, from the stored layout.
constexpr QPoint kPanel1(8, 16);
constexpr QPoint kImage1(400 + 8, 8 + 8);
constexpr QPoint kButton1(16 + 44, 312 + 16);
constexpr QPoint kButton2(16 + 44, 360 + 16);
constexpr QPoint kButton3(16 + 44, 408 + 16);
constexpr QPoint kScrollRightArrow(16 + 129 - 6, 456 + 12);

constexpr int kFrameWidth = 320;
constexpr int kFrameHeight = 240;

QByteArray run(const QString& program, const QStringList& arguments)
{
    return testsupport::outputOf(program, arguments);
}

QStringList windowsNamed(const QString& name)
{
    return QString::fromLatin1(run(QStringLiteral("xdotool"),
                                   {"search", "--onlyvisible", "--name", "^" + name + "$"}))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void click(const QString& window, QPoint at)
{
    run(QStringLiteral("xdotool"), {"mousemove", "--window", window, QString::number(at.x()),
                                    QString::number(at.y()), "click", "1"});
}

QImage screen(const QString& window)
{
    return QGuiApplication::primaryScreen()
        ->grabWindow(window.toULongLong())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// The camera's frame as blue-green-red rows, as the fake sends it.
std::vector<unsigned char> frame(unsigned number)
{
    std::vector<unsigned char> bgr(3 * std::size_t(kFrameWidth) * kFrameHeight);
    fakecam_pattern(kFrameWidth, kFrameHeight, number, bgr.data());
    return bgr;
}

// Whether the screen shows exactly `expected(x, y)` over the frame's area at `origin`.
template <class Expected> bool shows(const QImage& shot, QPoint origin, Expected expected)
{
    for (int y = 0; y < kFrameHeight; ++y)
        for (int x = 0; x < kFrameWidth; ++x)
            if ((shot.pixel(origin + QPoint(x, y)) & 0xFFFFFF) != (expected(x, y) & 0xFFFFFF))
                return false;
    return true;
}

// Which pattern frame the screen shows at `origin`, or -1.
int frameShown(const QImage& shot, QPoint origin)
{
    for (unsigned n = 0; n < FAKECAM_PATTERN_FRAMES; ++n) {
        const std::vector<unsigned char> bgr = frame(n);
        if (shows(shot, origin, [&](int x, int y) {
                const unsigned char* p = &bgr[3 * (std::size_t(y) * kFrameWidth + x)];
                return qRgb(p[2], p[1], p[0]);
            }))
            return int(n);
    }
    return -1;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void withoutACameraTheMessageComesOncePerClick();
    void cameraToBlackAndWhite();

private:
    QString start(const QString& cameras);
    // Closes the window as its frame's close button would; the program must
    // then end by itself, cleanly.
    void closeAndExpectCleanExit();

    QTemporaryDir dir_;
    testsupport::Process program_;
    QString window_;
};

void TestEndToEnd::initTestCase()
{
    for (const char* tool : {"xdotool", "xclip"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP("xdotool and xclip are needed");
    QVERIFY(dir_.isValid());
}

void TestEndToEnd::cleanup()
{
    program_.kill();
    program_.waitFor(10000);
}

QString TestEndToEnd::start(const QString& cameras)
{
    const QStringList env = {
        QStringLiteral("LD_PRELOAD=" FAKECAM_LIBRARY), QStringLiteral("FAKECAM=") + cameras,
        QStringLiteral("FAKECAM_LOG=") + dir_.filePath(QStringLiteral("camera.log")),
        // A sanitizer runtime would otherwise insist on being loaded first.
        QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS") +
            QStringLiteral(":verify_asan_link_order=0")};
    QFile::remove(dir_.filePath(QStringLiteral("camera.log")));
    // THRESHCAM_WRAPPER runs the program under another, e.g. "valgrind ...";
    // THRESHCAM_PROGRAM runs another build of it, e.g. the installed one.
    QStringList command = QProcess::splitCommand(qEnvironmentVariable("THRESHCAM_WRAPPER"));
    command << qEnvironmentVariable("THRESHCAM_PROGRAM", QStringLiteral(THRESHCAM_PROGRAM));
    const QString program = command.takeFirst();
    if (!program_.start(program, command, {.env = env}))
        return {};
    QStringList found;
    QElapsedTimer waited;
    waited.start();
    while (found.isEmpty() && waited.elapsed() < 15000 && program_.running()) {
        QTest::qWait(50);
        found = windowsNamed(QStringLiteral("Form1"));
    }
    window_ = found.value(0);
    QTest::qWait(300); // the first paint
    return window_;
}

void TestEndToEnd::closeAndExpectCleanExit()
{
    QVERIFY(program_.running());
    run(QStringLiteral(XWIN_PROGRAM), {"close", window_});
    const int status = program_.waitFor(10000);
    QVERIFY2(status != testsupport::Process::kRunning,
             "the program did not end when its window closed");
    QCOMPARE(status, 0);
}

void TestEndToEnd::withoutACameraTheMessageComesOncePerClick()
{
    QVERIFY(!start(QString()).isEmpty());
    for (int clickNumber = 1; clickNumber <= 2; ++clickNumber) {
        click(window_, kButton1);
        // The box carries the program's default title.
        QTRY_COMPARE_WITH_TIMEOUT(windowsNamed(QStringLiteral("threshcam")).size(), 1, 10000);
        QFile log(dir_.filePath(QStringLiteral("camera.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString lines = QString::fromLatin1(log.readAll());
        QCOMPARE(lines.count(QStringLiteral(" ENOENT")), 10 * clickNumber);
        const QString box = windowsNamed(QStringLiteral("threshcam")).value(0);
        run(QStringLiteral("xdotool"), {"windowfocus", "--sync", box});
        run(QStringLiteral("xdotool"), {"key", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(windowsNamed(QStringLiteral("threshcam")).size(), 0, 10000);
    }
    closeAndExpectCleanExit();
}

void TestEndToEnd::cameraToBlackAndWhite()
{
    QVERIFY(
        !start(QStringLiteral("2=bgr24:%1x%2@30").arg(kFrameWidth).arg(kFrameHeight)).isEmpty());

    // Open the camera: the live picture appears in the left panel.
    click(window_, kButton1);
    QTRY_VERIFY_WITH_TIMEOUT(frameShown(screen(window_), kPanel1) >= 0, 10000);
    QVERIFY(windowsNamed(QStringLiteral("threshcam")).isEmpty());

    // Grab: the view shows a frame of the camera's, and the clipboard holds
    // the same one for other programs.
    click(window_, kButton2);
    int grabbed = -1;
    QTRY_VERIFY_WITH_TIMEOUT((grabbed = frameShown(screen(window_), kImage1)) >= 0, 10000);
    for (const char* type : {"image/png", "image/bmp"}) {
        const QImage pasted =
            QImage::fromData(run(QStringLiteral("xclip"), {"-selection", "clipboard", "-o", "-t",
                                                           QString::fromLatin1(type)}));
        QCOMPARE(pasted.size(), QSize(kFrameWidth, kFrameHeight));
        const std::vector<unsigned char> bgr = frame(unsigned(grabbed));
        for (int y = 0; y < kFrameHeight; y += 7)
            for (int x = 0; x < kFrameWidth; x += 5) {
                const unsigned char* p = &bgr[3 * (std::size_t(y) * kFrameWidth + x)];
                QCOMPARE(pasted.pixel(x, y) & 0xFFFFFF, qRgb(p[2], p[1], p[0]) & 0xFFFFFF);
            }
    }

    // Binarize at 125, by the exact luminance rule.
    const std::vector<unsigned char> bgr = frame(unsigned(grabbed));
    auto binarized = [&](int threshold) {
        return [&bgr, threshold](int x, int y) {
            const unsigned char* p = &bgr[3 * (std::size_t(y) * kFrameWidth + x)];
            return imaging::Luminance(p[2], p[1], p[0]) > threshold ? qRgb(255, 255, 255)
                                                                    : qRgb(0, 0, 0);
        };
    };
    click(window_, kButton3);
    QTRY_VERIFY_WITH_TIMEOUT(shows(screen(window_), kImage1, binarized(125)), 10000);

    // One step right on the scroll bar: 126 on an already black-and-white
    // picture changes nothing. End: 255, and everything turns black.
    click(window_, kScrollRightArrow);
    QTest::qWait(300);
    QVERIFY(shows(screen(window_), kImage1, binarized(125)));
    run(QStringLiteral("xdotool"), {"key", "End"});
    QTRY_VERIFY_WITH_TIMEOUT(
        shows(screen(window_), kImage1, [](int, int) { return qRgb(0, 0, 0); }), 10000);

    // Closing while the preview runs ends the program without a word.
    QVERIFY(windowsNamed(QStringLiteral("threshcam")).isEmpty());
    closeAndExpectCleanExit();
}

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
