#include "CameraFrames.h"
#include "YuvReference.h"
#include "fakecam.h"
#include "vfw.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QWidget>

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(fakecam_format)

namespace {

using Bytes = std::vector<std::uint8_t>;

QStringList fakeLog()
{
    const std::size_t size = fakecam_log(nullptr, 0);
    QByteArray text(qsizetype(size + 1), '\0');
    fakecam_log(text.data(), text.size());
    return QString::fromLatin1(text.constData()).split('\n', Qt::SkipEmptyParts);
}

fakecam_node node(fakecam_format format, int width = 640, int height = 480, int fps = 30)
{
    fakecam_node n{};
    n.kind = FAKECAM_CAPTURE;
    n.format = format;
    n.width = width;
    n.height = height;
    n.fps = fps;
    return n;
}

fakecam_node refusing(fakecam_kind kind)
{
    fakecam_node n = node(FAKECAM_YUYV);
    n.kind = kind;
    return n;
}

HWND handleOf(QWidget* w)
{
    return reinterpret_cast<HWND>(w->winId());
}

// The test pattern's top part (colour bars) does not change from frame to
// frame, so any frame's picture there is frame 0's.
QImage pattern(int width, int height, unsigned frame = 0)
{
    QImage image(width, height, QImage::Format_BGR888);
    Bytes bgr(std::size_t(width) * height * 3);
    fakecam_pattern(width, height, frame, bgr.data());
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), &bgr[std::size_t(y) * width * 3], std::size_t(width) * 3);
    return image;
}

int maxDifference(const QImage& a, const QImage& b, int width, int height)
{
    int worst = 0;
    for (int y = 0; y < height; ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = b.constScanLine(y);
        for (int i = 0; i < width * 3; ++i)
            worst = std::max(worst, std::abs(int(p[i]) - int(q[i])));
    }
    return worst;
}

} // namespace

class TestCaptureWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void handlesAndUnknownRequests();
    void createdAsAChildAtItsPlace();
    void searchStopsAtTheFirstDriverThatAccepts();
    void noCameraRefusesAllTen();
    void devicesThatCannotStreamRefuse_data();
    void devicesThatCannotStreamRefuse();
    void showsTheFrameUnscaled_data();
    void showsTheFrameUnscaled();
    void previewOffFreezesThePicture();
    void corruptFramesAreDropped();
    void progressiveJpegFramesAreRefused();
    void driverFaultsWhileStreaming_data();
    void driverFaultsWhileStreaming();
    void deviceVanishingMidPreview_data();
    void deviceVanishingMidPreview();
    void twoWindowsShareOneDevice();
    void aWindowCoveredWholeStopsDrawing();
    void copyPutsTheFrameOnTheClipboard();
    void yuyvIsReadAsItsDriverDeclares_data();
    void yuyvIsReadAsItsDriverDeclares();
    void copyWithoutDriverOrFrameLeavesTheClipboard();
    void destroyingTheParentClosesTheDevice_data();
    void destroyingTheParentClosesTheDevice();
    void connectingAtOnceWaitsForTheClose_data();
    void connectingAtOnceWaitsForTheClose();

private:
    HWND createWindow(int width = 377, int height = 257);
    // Connects, switches the preview on at 33 ms and waits for a picture.
    void startPreview(HWND window, WPARAM driver = 3);

    std::unique_ptr<QWidget> host_;
};

void TestCaptureWindow::init()
{
    fakecam_reset();
    host_ = std::make_unique<QWidget>();
    host_->resize(800, 600);
    host_->show();
}

void TestCaptureWindow::cleanup()
{
    host_.reset();
    // Nothing a test opened stays open once its windows are gone (the
    // capture thread closes it, right after).
    QTRY_COMPARE(fakecam_open_count(), 0);
}

HWND TestCaptureWindow::createWindow(int width, int height)
{
    return capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, width, height,
                                   handleOf(host_.get()), 0);
}

void TestCaptureWindow::startPreview(HWND window, WPARAM driver)
{
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, driver, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_OVERLAY, 1, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0));
    QTRY_VERIFY(!allBlack(shown(window)));
}

void TestCaptureWindow::handlesAndUnknownRequests()
{
    QCOMPARE(capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, nullptr, 0),
             nullptr);
    QCOMPARE(capCreateCaptureWindowA("My cap", WS_CHILD, 0, 0, 10, 10,
                                     reinterpret_cast<HWND>(0x5eed), 0),
             nullptr);
    QCOMPARE(IsWindow(nullptr), 0);
    QCOMPARE(IsWindow(reinterpret_cast<HWND>(0xdeadbeef)), 0);
    QCOMPARE(SendMessageA(nullptr, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
    QCOMPARE(SendMessageA(reinterpret_cast<HWND>(0xdeadbeef), WM_CAP_EDIT_COPY, 0, 0), 0);

    HWND stale;
    {
        QWidget gone(host_.get());
        stale = handleOf(&gone);
        QVERIFY(IsWindow(stale));
        // A window that is not a capture window knows none of the requests.
        QCOMPARE(SendMessageA(stale, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
    }
    QCOMPARE(IsWindow(stale), 0);
    QCOMPARE(SendMessageA(stale, WM_CAP_EDIT_COPY, 0, 0), 0);

    fakecam_node n = node(FAKECAM_BGR24);
    QCOMPARE(fakecam_add(0, &n), 0);
    HWND window = createWindow();
    QVERIFY(IsWindow(window));
    QCOMPARE(SendMessageA(window, WM_USER + 999, 0, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 10, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, WPARAM(-1), 0), 0);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0));
    QCOMPARE(SendMessageA(window, WM_USER + 999, 0, 0), 0);
    QCOMPARE(SendMessageA(window, 0, 0, 0), 0);
}

void TestCaptureWindow::createdAsAChildAtItsPlace()
{
    HWND window = capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 5, 7, 377, 257,
                                          handleOf(host_.get()), 0);
    QWidget* w = widgetOf(window);
    QVERIFY(w);
    QCOMPARE(w->parentWidget(), host_.get());
    QCOMPARE(w->geometry(), QRect(5, 7, 377, 257));
    QVERIFY(w->isVisible());
    // Black until a driver delivers a frame.
    QVERIFY(allBlack(shown(window)));

    HWND hidden =
        capCreateCaptureWindowA("My cap", WS_CHILD, 0, 0, 20, 20, handleOf(host_.get()), 0);
    QVERIFY(IsWindow(hidden));
    QVERIFY(!widgetOf(hidden)->isVisible());
    QVERIFY(hidden != window);
}

void TestCaptureWindow::searchStopsAtTheFirstDriverThatAccepts()
{
    const fakecam_node meta = refusing(FAKECAM_METADATA), busy = refusing(FAKECAM_BUSY),
                       readOnly = refusing(FAKECAM_NO_STREAMING), camera = node(FAKECAM_YUYV);
    fakecam_add(0, &meta);
    fakecam_add(1, &busy);
    fakecam_add(2, &readOnly);
    fakecam_add(3, &camera);
    fakecam_add(4, &camera);
    fakecam_clear_log();

    HWND window = createWindow();
    int connected = -1;
    for (int i = 0; i < 10 && connected < 0; ++i)
        if (SendMessageA(window, WM_CAP_DRIVER_CONNECT, WPARAM(i), 0))
            connected = i;
    QCOMPARE(connected, 3);

    const QStringList opens = fakeLog().filter(QRegularExpression("^open "));
    QCOMPARE(opens, QStringList({"open 0", "open 1", "open 2", "open 3"}));
    // The refused ones are closed again; only the camera stays open.
    QCOMPARE(fakecam_open_count(), 1);
    QVERIFY(fakeLog().contains("ioctl 3 STREAMON"));
}

void TestCaptureWindow::noCameraRefusesAllTen()
{
    HWND window = createWindow();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 10; ++i)
        QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, WPARAM(i), 0), 0);
    qInfo("ten refusals in %lld us", static_cast<long long>(clock.nsecsElapsed() / 1000));
    QStringList expected;
    for (int i = 0; i < 10; ++i)
        expected << QStringLiteral("open %1 ENOENT").arg(i);
    QCOMPARE(fakeLog(), expected);
    // The requests that follow a failed search are refused, and harmless.
    QCOMPARE(SendMessageA(window, WM_CAP_SET_OVERLAY, 1, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 0);
    QVERIFY(allBlack(shown(window)));
}

void TestCaptureWindow::devicesThatCannotStreamRefuse_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("lastRequest");

    QTest::newRow("metadata node") << int(FAKECAM_METADATA) << 0 << "ioctl 5 QUERYCAP";
    QTest::newRow("read() only") << int(FAKECAM_NO_STREAMING) << 0 << "ioctl 5 QUERYCAP";
    QTest::newRow("busy") << int(FAKECAM_BUSY) << 0 << "ioctl 5 S_FMT";
    QTest::newRow("EINTR for ever")
        << int(FAKECAM_CAPTURE) << int(FAKECAM_EINTR) << "ioctl 5 QUERYCAP";
}

void TestCaptureWindow::devicesThatCannotStreamRefuse()
{
    QFETCH(int, kind);
    QFETCH(int, fault);
    QFETCH(QString, lastRequest);
    fakecam_node n = refusing(fakecam_kind(kind));
    n.fault = fakecam_fault(fault);
    fakecam_add(5, &n);
    fakecam_clear_log();
    HWND window = createWindow();
    QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 5, 0), 0);
    const QStringList log = fakeLog();
    QCOMPARE(log.first(), QStringLiteral("open 5"));
    QCOMPARE(log.last(), QStringLiteral("close 5"));
    QCOMPARE(log.at(log.size() - 2), lastRequest);
    QCOMPARE(fakecam_open_count(), 0);
}

void TestCaptureWindow::showsTheFrameUnscaled_data()
{
    QTest::addColumn<fakecam_format>("format");
    QTest::addColumn<int>("bytesPerLine");
    QTest::addColumn<int>("tolerance");

    QTest::newRow("BGR24") << FAKECAM_BGR24 << 0 << 0;
    QTest::newRow("BGR24 padded rows") << FAKECAM_BGR24 << 640 * 3 + 32 << 0;
    QTest::newRow("RGB24") << FAKECAM_RGB24 << 0 << 0;
    // Round trip through 4:2:2 and back: flat colours come back within a step or two.
    QTest::newRow("YUYV") << FAKECAM_YUYV << 0 << 3;
    QTest::newRow("YUYV padded rows") << FAKECAM_YUYV << 640 * 2 + 64 << 3;
    // The other YUV layouts: exactly, from noise, in yuyvIsReadAsItsDriverDeclares.
    // 32 bits: each byte order and its alpha form, the fourth byte junk.
    const std::pair<fakecam_format, const char*> rgb32[] = {
        {FAKECAM_XR24, "XR24"}, {FAKECAM_AR24, "AR24"}, {FAKECAM_XB24, "XB24"},
        {FAKECAM_AB24, "AB24"}, {FAKECAM_BX24, "BX24"}, {FAKECAM_BA24, "BA24"},
        {FAKECAM_RX24, "RX24"}, {FAKECAM_RA24, "RA24"}, {FAKECAM_BGR4, "BGR4"},
        {FAKECAM_RGB4, "RGB4"}};
    for (const auto& [format, name] : rgb32)
        QTest::newRow(name) << format << 0 << 0;
    QTest::newRow("32-bit padded rows") << FAKECAM_BX24 << 640 * 4 + 16 << 0;
}

void TestCaptureWindow::showsTheFrameUnscaled()
{
    QFETCH(fakecam_format, format);
    QFETCH(int, bytesPerLine);
    QFETCH(int, tolerance);
    fakecam_node n = node(format);
    n.bytes_per_line = bytesPerLine;
    fakecam_add(3, &n);

    // Smaller than the frame: its top-left part shows, clipped, not scaled.
    HWND window = createWindow(377, 257);
    startPreview(window);
    const QImage got = shown(window);
    QCOMPARE(got.size(), QSize(377, 257));
    // The colour bars' edges fall inside 4:2:2 pairs' reach only at even x.
    const QImage want = pattern(640, 480);
    if (tolerance == 0) {
        QCOMPARE(got, want.copy(0, 0, 377, 257));
    } else {
        QImage inner = got, innerWant = want.copy(0, 0, 377, 257);
        // Skip the two columns at each bar edge, where chroma is shared.
        for (int y = 0; y < 257; ++y)
            for (int bar = 1; bar < 5; ++bar)
                for (int x = bar * 80 - 2; x < bar * 80 + 2; ++x)
                    if (x < 377) {
                        inner.setPixel(x, y, 0);
                        innerWant.setPixel(x, y, 0);
                    }
        QVERIFY2(maxDifference(inner, innerWant, 377, 257) <= tolerance,
                 qPrintable(QString::number(maxDifference(inner, innerWant, 377, 257))));
    }
}

void TestCaptureWindow::previewOffFreezesThePicture()
{
    const fakecam_node n = node(FAKECAM_BGR24);
    fakecam_add(3, &n);
    HWND window = createWindow(640, 480);
    startPreview(window);
    // The marker moves every frame: the picture changes while previewing...
    const QImage first = shown(window);
    QTRY_VERIFY(shown(window) != first);

    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 0, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_OVERLAY, 0, 0));
    const QImage frozen = shown(window);
    const long delivered = fakecam_frames_delivered(3);
    QTRY_VERIFY(fakecam_frames_delivered(3) >= delivered + 4);
    QCoreApplication::processEvents();
    // ...and not once both displays are off.
    QCOMPARE(shown(window), frozen);
}

void TestCaptureWindow::corruptFramesAreDropped()
{
    const fakecam_node n = node(FAKECAM_MJPEG);
    fakecam_add(3, &n);
    HWND window = createWindow(640, 480);
    startPreview(window);
    fakecam_corrupt(3, 6);
    const long delivered = fakecam_frames_delivered(3);
    QTRY_VERIFY(fakecam_frames_delivered(3) >= delivered + 8);
    // The picture keeps coming and is still right where the bars are.
    const QImage after = shown(window);
    QTRY_VERIFY(shown(window) != after);
    const QImage got = shown(window);
    for (int bar = 0; bar < 8; ++bar) {
        const QRgb want = pattern(640, 480).pixel(bar * 80 + 40, 100);
        const QRgb have = got.pixel(bar * 80 + 40, 100);
        QVERIFY2(std::abs(qRed(want) - qRed(have)) <= 6 &&
                     std::abs(qGreen(want) - qGreen(have)) <= 6 &&
                     std::abs(qBlue(want) - qBlue(have)) <= 6,
                 qPrintable(QStringLiteral("bar %1").arg(bar)));
    }
}

void TestCaptureWindow::progressiveJpegFramesAreRefused()
{
    // Cameras send sequential JPEG; a progressive frame can cost seconds to
    // decode, and is dropped unread like a corrupt one.
    const QImage bars = pattern(640, 480);
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    QCOMPARE(tjCompress2(tj, bars.constBits(), 640, int(bars.bytesPerLine()), 480, TJPF_BGR, &jpeg,
                         &size, TJSAMP_422, 90, TJFLAG_PROGRESSIVE),
             0);
    fakecam_node n = node(FAKECAM_MJPEG);
    n.frame = jpeg;
    n.frame_size = size;
    fakecam_add(3, &n);
    tjFree(jpeg);
    tjDestroy(tj);

    HWND window = createWindow(640, 480);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 3, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0));
    QTRY_VERIFY(fakecam_frames_delivered(3) >= 8);
    QTest::qWait(100);
    QVERIFY(allBlack(shown(window)));
}

void TestCaptureWindow::driverFaultsWhileStreaming_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("recovers"); // frames come again, after a restart

    // Given up on; the device counts as failed.
    QTest::newRow("DQBUF EINTR for ever") << int(FAKECAM_EINTR_DQBUF) << false;
    // Waited for, without a spin, for as long as it lasts.
    QTest::newRow("readable, DQBUF EAGAIN") << int(FAKECAM_EAGAIN_READABLE) << false;
    QTest::newRow("one EIO") << int(FAKECAM_EIO_ONCE) << true;
    QTest::newRow("one POLLERR") << int(FAKECAM_POLLERR_ONCE) << true;
}

void TestCaptureWindow::driverFaultsWhileStreaming()
{
    QFETCH(int, fault);
    QFETCH(bool, recovers);
    fakecam_node n = node(FAKECAM_BGR24);
    n.fault = fakecam_fault(fault);
    fakecam_add(3, &n);
    fakecam_clear_log();
    HWND window = createWindow(640, 480);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 3, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0));

    // A second of it: some 30 frames' worth of dequeues, not a spin's millions.
    QTest::qWait(1000);
    const QStringList log = fakeLog();
    const qsizetype dequeues = log.filter("DQBUF").size();
    QVERIFY2(dequeues <= 200, qPrintable(QString::number(dequeues)));
    if (recovers) {
        QTRY_COMPARE(fakeLog().filter("STREAMON").size(), 2);
        QTRY_VERIFY(fakecam_frames_delivered(3) >= 15);
        QVERIFY(!allBlack(shown(window)));
    }
    // Only EINTR for ever lets go of the device; the window stays either way.
    QTRY_COMPARE(fakecam_open_count(), fault == FAKECAM_EINTR_DQBUF ? 0 : 1);
    QVERIFY(IsWindow(window));
}

void TestCaptureWindow::deviceVanishingMidPreview_data()
{
    QTest::addColumn<int>("afterFrames");
    QTest::newRow("pulled out now") << 0;
    QTest::newRow("pulled out while streaming") << 12;
}

void TestCaptureWindow::deviceVanishingMidPreview()
{
    QFETCH(int, afterFrames);
    const fakecam_node n = node(FAKECAM_YUYV);
    fakecam_add(3, &n);
    HWND window = createWindow(640, 480);
    startPreview(window);
    fakecam_unplug(3, afterFrames);
    // The device is let go of at once, by the capture thread.
    QTRY_COMPARE(fakecam_open_count(), 0);
    QVERIFY(fakeLog().contains("close 3"));

    // The last frame stays; requests are refused from now on.
    const QImage last = shown(window);
    QVERIFY(!allBlack(last));
    QCOMPARE(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0), 0);
    QCOMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 0);
    QTest::qWait(100);
    QCOMPARE(shown(window), last);
    QVERIFY(IsWindow(window));
    // And a device that is gone cannot be connected again.
    QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 3, 0), 0);
}

void TestCaptureWindow::twoWindowsShareOneDevice()
{
    const fakecam_node n = node(FAKECAM_BGR24);
    fakecam_add(3, &n);
    fakecam_clear_log();
    HWND first = createWindow(640, 480);
    startPreview(first);
    HWND second = capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 640, 480,
                                          handleOf(host_.get()), 0);
    startPreview(second);
    // One device opened, once.
    QCOMPARE(fakeLog().filter(QRegularExpression("^open ")), QStringList{"open 3"});
    QCOMPARE(fakecam_open_count(), 1);

    // The first window goes; the second keeps its live picture.
    delete widgetOf(first);
    const QImage before = shown(second);
    QTRY_VERIFY(shown(second) != before);
    QCOMPARE(fakecam_open_count(), 1);

    // The last window goes; the device stops and closes.
    delete widgetOf(second);
    QTRY_COMPARE(fakecam_open_count(), 0);
    const QStringList log = fakeLog();
    QVERIFY(log.contains("ioctl 3 STREAMOFF"));
    QCOMPARE(log.last(), QStringLiteral("close 3"));
}

void TestCaptureWindow::aWindowCoveredWholeStopsDrawing()
{
    const fakecam_node n = node(FAKECAM_BGR24);
    fakecam_add(3, &n);
    HWND below = createWindow(640, 480);
    startPreview(below);
    auto stillDrawing = [&] {
        const QImage now = shown(below);
        return QTest::qWaitFor([&] { return shown(below) != now; }, 2000);
    };

    // A window over part of it leaves it live.
    HWND corner = createWindow(320, 240);
    startPreview(corner);
    QVERIFY(stillDrawing());

    // One over the whole of it, as each click of the camera button makes,
    // stops it: its picture let go, it no longer changes with the frames.
    HWND above = createWindow(640, 480);
    startPreview(above);
    const QImage covered = shown(below);
    QVERIFY(allBlack(covered));
    const long delivered = fakecam_frames_delivered(3);
    QTRY_VERIFY(fakecam_frames_delivered(3) >= delivered + 4);
    QCoreApplication::processEvents();
    QCOMPARE(shown(below), covered);

    // Moved aside, or gone, it is live again.
    widgetOf(above)->move(0, 480);
    QVERIFY(stillDrawing());
    delete widgetOf(above);
    QVERIFY(stillDrawing());
}

void TestCaptureWindow::copyPutsTheFrameOnTheClipboard()
{
    // A still frame of noise: any change to a single byte would show. It is
    // larger than the window, which shows only part of it: the copy is whole,
    // live and frozen.
    const int width = 480, height = 360;
    const Bytes frame = noise(std::size_t(width) * height * 3, 7);
    fakecam_node n = node(FAKECAM_BGR24, width, height);
    n.frame = frame.data();
    n.frame_size = frame.size();
    fakecam_add(3, &n);

    HWND window = createWindow();
    startPreview(window);
    for (WPARAM preview : {1, 0}) {
        QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, preview, 0));
        QCOMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 1);
        const QImage copied =
            QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_BGR888);
        QCOMPARE(copied.size(), QSize(width, height));
        for (int y = 0; y < height; ++y)
            QVERIFY2(std::memcmp(copied.constScanLine(y), &frame[std::size_t(y) * width * 3],
                                 std::size_t(width) * 3) == 0,
                     qPrintable(QStringLiteral("row %1").arg(y)));
    }
}

void TestCaptureWindow::yuyvIsReadAsItsDriverDeclares_data()
{
    QTest::addColumn<int>("colorspace"); // as the driver declares it
    QTest::addColumn<int>("quantization");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<int>("kr"); // what it is to be read as: Kr, Kb in ten-thousandths
    QTest::addColumn<int>("kb");
    QTest::addColumn<bool>("full");
    QTest::addColumn<fakecam_format>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("bytesPerLine"); // 0: rows without padding

    const int full = V4L2_QUANTIZATION_FULL_RANGE, limited = V4L2_QUANTIZATION_LIM_RANGE;
    const int rec709 = V4L2_YCBCR_ENC_709, bt601 = V4L2_YCBCR_ENC_601;
    const QSize size(64, 48), odd(63, 47);
    QTest::newRow("BT.601 limited")
        << 0 << 0 << 0 << 2990 << 1140 << false << FAKECAM_YUYV << size << 0;
    QTest::newRow("BT.601 full") << 0 << full << bt601 << 2990 << 1140 << true << FAKECAM_YUYV
                                 << size << 0;
    QTest::newRow("Rec. 709 limited, by its colorspace")
        << int(V4L2_COLORSPACE_REC709) << 0 << 0 << 2126 << 722 << false << FAKECAM_YUYV << size
        << 0;
    QTest::newRow("Rec. 709 full")
        << 0 << full << rec709 << 2126 << 722 << true << FAKECAM_YUYV << size << 0;
    QTest::newRow("JPEG colorspace: full range")
        << int(V4L2_COLORSPACE_JPEG) << 0 << 0 << 2990 << 1140 << true << FAKECAM_YUYV << size << 0;
    QTest::newRow("BT.2020 read as BT.601 limited") << int(V4L2_COLORSPACE_BT2020) << 0 << 0 << 2990
                                                    << 1140 << false << FAKECAM_YUYV << size << 0;
    // Every other layout once, in some encoding; 4:2:0 with odd sides and padded rows.
    QTest::newRow("UYVY") << 0 << 0 << 0 << 2990 << 1140 << false << FAKECAM_UYVY << size << 0;
    QTest::newRow("YVYU Rec. 709 full")
        << 0 << full << rec709 << 2126 << 722 << true << FAKECAM_YVYU << size << 136;
    QTest::newRow("VYUY") << 0 << 0 << 0 << 2990 << 1140 << false << FAKECAM_VYUY << size << 0;
    QTest::newRow("NV12 odd, padded")
        << 0 << 0 << 0 << 2990 << 1140 << false << FAKECAM_NV12 << odd << 80;
    QTest::newRow("NV21 Rec. 709 limited") << int(V4L2_COLORSPACE_REC709) << 0 << 0 << 2126 << 722
                                           << false << FAKECAM_NV21 << size << 0;
    QTest::newRow("YU12 odd, Rec. 709 full")
        << 0 << full << rec709 << 2126 << 722 << true << FAKECAM_YU12 << odd << 0;
    QTest::newRow("YV12 padded, BT.601 full")
        << 0 << full << bt601 << 2990 << 1140 << true << FAKECAM_YV12 << size << 72;
    // Grey that declares no range is full range, as V4L2's tools read it.
    QTest::newRow("GREY undeclared: full range")
        << 0 << 0 << 0 << 2990 << 1140 << true << FAKECAM_GREY << odd << 0;
    QTest::newRow("GREY limited range")
        << 0 << limited << 0 << 2990 << 1140 << false << FAKECAM_GREY << size << 0;
}

void TestCaptureWindow::yuyvIsReadAsItsDriverDeclares()
{
    QFETCH(int, colorspace);
    QFETCH(int, quantization);
    QFETCH(int, encoding);
    QFETCH(int, kr);
    QFETCH(int, kb);
    QFETCH(bool, full);
    QFETCH(fakecam_format, format);
    QFETCH(QSize, size);
    QFETCH(int, bytesPerLine);
    // A still frame of noise: Y, Cb and Cr of every kind, laid out as V4L2
    // lays out each format in one buffer.
    const int width = size.width(), height = size.height();
    const bool packed = format == FAKECAM_YUYV || format == FAKECAM_UYVY ||
                        format == FAKECAM_YVYU || format == FAKECAM_VYUY;
    const std::size_t bpl = bytesPerLine ? std::size_t(bytesPerLine)
                                         : std::size_t(packed                   ? 2 * width
                                                       : format == FAKECAM_GREY ? width
                                                                                : (width + 1) & ~1);
    const std::size_t ch = std::size_t(height + 1) / 2;
    const std::size_t chromaStride =
        format == FAKECAM_NV12 || format == FAKECAM_NV21 ? bpl : bpl / 2;
    const std::size_t chromaPlane = chromaStride * ch;
    const std::size_t frameSize =
        bpl * height + (packed || format == FAKECAM_GREY                   ? 0
                        : format == FAKECAM_NV12 || format == FAKECAM_NV21 ? chromaPlane
                                                                           : 2 * chromaPlane);
    const Bytes frame = noise(frameSize, 12);
    // Y, Cb and Cr of pixel (x, y).
    auto samples = [&](int x, int y, int yuv[3]) {
        const std::uint8_t* row = &frame[bpl * y];
        // Where Y0, Cb and Cr sit in a 4:2:2 pair, or Cb and Cr in 4:2:0.
        static const std::map<fakecam_format, std::array<int, 3>> at = {
            {FAKECAM_YUYV, {0, 1, 3}}, {FAKECAM_UYVY, {1, 0, 2}}, {FAKECAM_YVYU, {0, 3, 1}},
            {FAKECAM_VYUY, {1, 2, 0}}, {FAKECAM_NV12, {0, 0, 1}}, {FAKECAM_NV21, {0, 1, 0}},
            {FAKECAM_YU12, {0, 0, 1}}, {FAKECAM_YV12, {0, 1, 0}}, {FAKECAM_GREY, {}}};
        const std::array<int, 3> a = at.at(format);
        if (packed) {
            const std::uint8_t* pair = row + 4 * (x / 2);
            yuv[0] = pair[a[0] + 2 * (x % 2)], yuv[1] = pair[a[1]], yuv[2] = pair[a[2]];
            return;
        }
        yuv[0] = row[x], yuv[1] = yuv[2] = 128;
        if (format == FAKECAM_GREY)
            return;
        const std::uint8_t* chroma = &frame[bpl * height + chromaStride * std::size_t(y / 2)];
        const bool semi = format == FAKECAM_NV12 || format == FAKECAM_NV21;
        for (int k = 1; k < 3; ++k)
            yuv[k] = semi ? chroma[2 * (x / 2) + a[k]] : chroma[chromaPlane * a[k] + x / 2];
    };
    fakecam_node n = node(format, width, height);
    n.bytes_per_line = int(bpl);
    n.frame = frame.data();
    n.frame_size = frame.size();
    n.colorspace = colorspace;
    n.quantization = quantization;
    n.ycbcr_enc = encoding;
    fakecam_add(3, &n);

    HWND window = createWindow();
    startPreview(window);
    QCOMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 1);
    const QImage copied =
        QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_BGR888);
    QCOMPARE(copied.size(), QSize(width, height));
    const YuvReference reference{kr, kb, full};
    for (int i = 0; i < width * height; ++i) {
        int yuv[3], want[3];
        samples(i % width, i / width, yuv);
        reference.bgr(yuv[0], yuv[1], yuv[2], want);
        const uchar* got = copied.constScanLine(i / width) + 3 * (i % width);
        QVERIFY2(got[0] == want[0] && got[1] == want[1] && got[2] == want[2],
                 qPrintable(QStringLiteral("pixel %1,%2").arg(i % width).arg(i / width)));
    }
}

void TestCaptureWindow::copyWithoutDriverOrFrameLeavesTheClipboard()
{
    QImage earlier(4, 3, QImage::Format_RGB32);
    earlier.fill(qRgb(1, 2, 3));
    QGuiApplication::clipboard()->setImage(earlier);

    // No driver.
    HWND window = createWindow();
    QCOMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 0);
    QCOMPARE(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), earlier);

    // A driver, but its first frame is a second away.
    const fakecam_node slow = node(FAKECAM_BGR24, 64, 48, 1);
    fakecam_add(3, &slow);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 3, 0));
    QCOMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 0);
    QCOMPARE(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), earlier);

    // Once the frame is there, the copy works even with the preview off.
    QTRY_VERIFY(fakecam_frames_delivered(3) >= 1);
    QTRY_COMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 1);
    QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(64, 48));
}

void TestCaptureWindow::destroyingTheParentClosesTheDevice_data()
{
    QTest::addColumn<int>("stopMs");
    QTest::newRow("quick driver") << 0;
    // STREAMOFF and close take a second each: the window does not wait.
    QTest::newRow("slow driver") << 1000;
}

void TestCaptureWindow::destroyingTheParentClosesTheDevice()
{
    QFETCH(int, stopMs);
    fakecam_node n = node(FAKECAM_YUYV);
    n.stop_ms = stopMs;
    fakecam_add(3, &n);
    auto* panel = new QWidget(host_.get());
    panel->setGeometry(8, 16, 377, 257);
    panel->show();
    HWND window = capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 377, 257,
                                          handleOf(panel), 0);
    startPreview(window);
    QCOMPARE(fakecam_open_count(), 1);
    fakecam_clear_log();

    delete panel;
    QCOMPARE(IsWindow(window), 0);
    if (stopMs > 0)
        QCOMPARE(fakecam_open_count(), 1); // the driver's close has not returned yet
    QTRY_COMPARE_WITH_TIMEOUT(fakecam_open_count(), 0, 10000);
    // (The capture thread may have dequeued one more frame before it stopped.)
    const QStringList log = fakeLog().filter(QRegularExpression("^(?!ioctl 3 (DQBUF|QBUF)$)"));
    QCOMPARE(log, QStringList({"ioctl 3 STREAMOFF", "close 3"}));
}

void TestCaptureWindow::connectingAtOnceWaitsForTheClose_data()
{
    QTest::addColumn<int>("stopMs");
    QTest::addColumn<bool>("connects");
    // The device is another's (EBUSY) until the old capture thread has
    // closed it, 40 ms after the window went.
    QTest::newRow("driver that stops soon") << 20 << true;
    // One that takes two seconds is not waited for as long.
    QTest::newRow("slow driver") << 1000 << false;
}

void TestCaptureWindow::connectingAtOnceWaitsForTheClose()
{
    QFETCH(int, stopMs);
    QFETCH(bool, connects);
    fakecam_node n = node(FAKECAM_YUYV);
    n.stop_ms = stopMs;
    fakecam_add(3, &n);
    auto* panel = new QWidget(host_.get());
    panel->setGeometry(0, 0, 377, 257);
    panel->show();
    startPreview(capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 377, 257,
                                         handleOf(panel), 0));
    delete panel;

    HWND window = createWindow();
    QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 3, 0), connects ? 1 : 0);
    if (connects) {
        QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
        QTRY_VERIFY(!allBlack(shown(window)));
    }
}

QTEST_MAIN(TestCaptureWindow)
#include "tst_capturewindow.moc"
