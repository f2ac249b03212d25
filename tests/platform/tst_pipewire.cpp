// The PipeWire road against a real daemon and WirePlumber (started by
// with-pipewire) and our virtual camera as the producer. The fake V4L2
// camera is linked in too, so that the V4L2 half of the driver list is ours.

#include "CameraFrames.h"
#include "FrameDecoder.h"
#include "Spawn.h"
#include "fakecam.h"
#include "vfw.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(platform::FrameFormat)
Q_DECLARE_METATYPE(platform::YuvEncoding)

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::FrameFormat;
using platform::YuvEncoding;

pid_t daemonPid()
{
    return pid_t(qEnvironmentVariableIntValue("THRESHCAM_PIPEWIRE_PID"));
}

// One virtual camera, a process of its own, gone with its owner.
class VirtualCamera {
public:
    explicit VirtualCamera(QStringList args)
    {
        process_.start(THRESHCAM_VIRTUALCAM, args, {.readOutput = true});
    }
    ~VirtualCamera()
    {
        process_.terminate();
        process_.waitFor(3000);
    }

    // Waits for the node to be published; its object.serial.
    QByteArray serial()
    {
        if (serial_.isEmpty())
            serial_ = line("ready serial=").split(' ').front().trimmed();
        return serial_;
    }
    // What follows `prefix` in the next line that starts with it; empty
    // when none comes within 5 s.
    QByteArray line(const QByteArray& prefix)
    {
        for (QByteArray text; !(text = process_.readLine(5000)).isEmpty();)
            if (text.startsWith(prefix))
                return text.mid(prefix.size());
        return {};
    }

private:
    testsupport::Process process_;
    QByteArray serial_;
};

// A camera sending one still frame, from a file the test writes.
struct StillCamera {
    QTemporaryDir dir;
    std::unique_ptr<VirtualCamera> camera;

    StillCamera(const Bytes& frame, QStringList args)
    {
        QFile file(dir.filePath("frame"));
        if (file.open(QIODevice::WriteOnly))
            file.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
        file.close();
        camera = std::make_unique<VirtualCamera>(args << "--frame" << file.fileName());
    }
};

Bytes jpeg(int width, int height, unsigned seed)
{
    return encodeJpeg(noise(std::size_t(width) * height * 3, seed), width, height);
}

// The copied frame's rows, which must be exactly what the frame decoder
// makes of the same bytes on the V4L2 road.
QImage copied(HWND window)
{
    QGuiApplication::clipboard()->clear();
    if (!SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0))
        return {};
    return QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_BGR888);
}

} // namespace

class TestPipeWire : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void framesAreShownAsTheV4l2RoadShowsThem_data();
    void framesAreShownAsTheV4l2RoadShowsThem();
    void driverListOrderAndEachCameraOnce();
    void faultsKeepTheLastFrame_data();
    void faultsKeepTheLastFrame();
    void newSizeMidStreamIsShown();
    void sharedWithAnotherConsumerAndOneStreamPerCamera();
    void stoppedDaemonCostsOneBoundedWait();
    // Last: the daemon does not come back.
    void daemonKilledMidStream();

private:
    HWND createWindow();
    void startPreview(HWND window, WPARAM driver = 0);

    std::unique_ptr<QWidget> host_;
};

void TestPipeWire::init()
{
    fakecam_reset();
    host_ = std::make_unique<QWidget>();
    host_->resize(800, 600);
    host_->show();
}

void TestPipeWire::cleanup()
{
    host_.reset();
}

HWND TestPipeWire::createWindow()
{
    return capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 377, 257,
                                   reinterpret_cast<HWND>(host_->winId()), 0);
}

void TestPipeWire::startPreview(HWND window, WPARAM driver)
{
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, driver, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 33, 0));
    QTRY_VERIFY(!allBlack(shown(window)));
}

void TestPipeWire::framesAreShownAsTheV4l2RoadShowsThem_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<FrameFormat>("format");
    QTest::addColumn<YuvEncoding>("encoding");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("bytesPerPixel"); // of the first plane; 0 for MJPG
    QTest::addColumn<int>("shownWidth");    // the columns the rows hold

    const auto row = [](const char* name, QStringList args, FrameFormat format, int width,
                        int height, int bpp, int shown = 0,
                        YuvEncoding encoding = YuvEncoding::Bt601Limited) {
        QTest::newRow(name) << (args << "--size" << QString("%1x%2").arg(width).arg(height))
                            << format << encoding << width << height << bpp
                            << (shown ? shown : width);
    };
    row("BGR, padded rows", {"--format", "BGR", "--stride", "120"}, FrameFormat::BGR24, 37, 5, 3);
    row("BGR, chunk stride 0", {"--format", "BGR", "--stride", "0"}, FrameFormat::BGR24, 8, 4, 3);
    row("RGB", {"--format", "RGB"}, FrameFormat::RGB24, 16, 3, 3);
    row("YUY2, BT.601 limited", {"--format", "YUY2", "--stride", "72"}, FrameFormat::YUYV, 32, 4,
        2);
    row("YUY2, Rec. 709 full", {"--format", "YUY2", "--matrix", "bt709", "--range", "full"},
        FrameFormat::YUYV, 32, 4, 2, 0, YuvEncoding::Rec709Full);
    row("MJPG", {"--format", "MJPG"}, FrameFormat::MJPEG, 64, 32, 0);
    // Debian 12's libcamera negotiates 640 columns and sends rows of 636.
    row("BGR, rows narrower than announced", {"--format", "BGR", "--stride", "1908"},
        FrameFormat::BGR24, 640, 4, 3, 636);
    row("BGR as a DmaBuf", {"--format", "BGR", "--dmabuf"}, FrameFormat::BGR24, 24, 6, 3);
    row("UYVY", {"--format", "UYVY"}, FrameFormat::UYVY, 32, 4, 2);
    row("BGRx", {"--format", "BGRx"}, FrameFormat::BGRX, 8, 3, 4);
    row("RGBx, padded rows", {"--format", "RGBx", "--stride", "40"}, FrameFormat::RGBX, 8, 3, 4);
    row("xRGB", {"--format", "xRGB"}, FrameFormat::XRGB, 8, 3, 4);
    row("xBGR", {"--format", "xBGR"}, FrameFormat::XBGR, 8, 3, 4);
    row("GRAY8, full range unless declared", {"--format", "GRAY8"}, FrameFormat::GREY, 16, 3, 1, 0,
        YuvEncoding::Bt601Full);
    row("NV12, padded planes, odd height", {"--format", "NV12", "--stride", "40"},
        FrameFormat::NV12, 32, 5, 1);
    row("I420, Rec. 709 limited", {"--format", "I420", "--matrix", "bt709"}, FrameFormat::I420, 18,
        5, 1, 0, YuvEncoding::Rec709Limited);
}

void TestPipeWire::framesAreShownAsTheV4l2RoadShowsThem()
{
    QFETCH(QStringList, args);
    QFETCH(FrameFormat, format);
    QFETCH(YuvEncoding, encoding);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, bytesPerPixel);
    QFETCH(int, shownWidth);

    const std::size_t row = std::size_t(width) * bytesPerPixel;
    // 4:2:0 chroma after the luma: one row of pairs, or two half rows, per two rows.
    const std::size_t chroma = format == FrameFormat::NV12 || format == FrameFormat::I420
                                   ? row * std::size_t((height + 1) / 2)
                                   : 0;
    const Bytes frame =
        format == FrameFormat::MJPEG ? jpeg(width, height, 5) : noise(row * height + chroma, 3);
    StillCamera still(frame, args);
    QVERIFY(!still.camera->serial().isEmpty());

    platform::Frame expected;
    QVERIFY(platform::FrameDecoder({format, shownWidth, height, row, encoding})
                .decode(frame.data(), frame.size(), expected));

    HWND window = createWindow();
    startPreview(window);
    const QImage image = copied(window);
    QCOMPARE(image.size(), QSize(shownWidth, height));
    for (int y = 0; y < height; ++y)
        QVERIFY2(std::memcmp(image.constScanLine(y), expected.scanLine(y),
                             std::size_t(shownWidth) * 3) == 0,
                 qPrintable(QString("row %1 differs").arg(y)));
}

void TestPipeWire::driverListOrderAndEachCameraOnce()
{
    // Each camera a colour of its own, to tell which one a window shows.
    const auto solid = [](std::uint8_t b, std::uint8_t g, std::uint8_t r) {
        Bytes frame(8 * 8 * 3);
        for (std::size_t i = 0; i < frame.size(); i += 3)
            frame[i] = b, frame[i + 1] = g, frame[i + 2] = r;
        return frame;
    };
    const QStringList common = {"--format", "BGR", "--size", "8x8"};
    // One after another, so that their serials come in this order.
    std::vector<std::unique_ptr<StillCamera>> cameras;
    const QList<QStringList> args = {
        {"--name", "low", "--priority", "10"},
        {"--name", "first", "--priority", "50"},
        {"--name", "second", "--priority", "50", "--v4l2-path", "/dev/video2"},
        {"--name", "none", "--no-formats"}};
    const Bytes frames[] = {solid(255, 0, 0), solid(0, 255, 0), solid(0, 0, 255), solid(9, 9, 9)};
    for (int i = 0; i < args.size(); ++i) {
        cameras.push_back(std::make_unique<StillCamera>(frames[i], QStringList(common) + args[i]));
        QVERIFY(!cameras.back()->camera->serial().isEmpty());
    }
    // The desktop's default camera comes first, whatever its priority.
    testsupport::Process metadata;
    QVERIFY(metadata.start("pw-metadata",
                           {"0", "default.video.source", R"({"name":"low"})", "Spa:String:JSON"}));
    QCOMPARE(metadata.waitFor(5000), 0);
    fakecam_node v4l2{};
    v4l2.kind = FAKECAM_CAPTURE;
    v4l2.format = FAKECAM_BGR24;
    fakecam_add(2, &v4l2); // the node the camera "second" stands for
    fakecam_add(4, &v4l2);

    // Each search alike: a window of its own for each driver.
    QVector<QRgb> colours;
    for (WPARAM i = 0; i < 3; ++i) {
        HWND window = createWindow();
        QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, i, 0));
        QImage image;
        QTRY_VERIFY(!(image = copied(window)).isNull());
        colours << image.pixel(0, 0);
    }
    HWND window = createWindow();
    QCOMPARE(colours, (QVector<QRgb>{qRgb(0, 0, 255), qRgb(0, 255, 0), qRgb(255, 0, 0)}));
    // Then /dev/video0 .. 9 without /dev/video2, and none for the camera
    // that offers no format we read: /dev/video4 is the seventh.
    fakecam_clear_log();
    for (WPARAM i = 3; i < 6; ++i)
        QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, i, 0), 0);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 6, 0));
    char log[4096];
    fakecam_log(log, sizeof log);
    QVERIFY2(std::strstr(log, "open 0 ENOENT\nopen 1 ENOENT\nopen 3 ENOENT\nopen 4\n"), log);
    QCOMPARE(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 9, 0), 0);
}

void TestPipeWire::faultsKeepTheLastFrame_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("streamEnds");
    // Camera node removed: the stream ends and requests are refused.
    QTest::newRow("camera removed") << QStringList{"--exit-after", "5"} << true;
    // Unplugged behind libcamera: the node stays, sending nothing, saying nothing.
    QTest::newRow("camera stalls") << QStringList{"--stall-after", "5"} << false;
    // Ten good frames first: the first one or two may meet buffers that are
    // still being agreed on and never arrive.
    QTest::newRow("garbage buffers") << QStringList{"--garbage-after", "10"} << false;
}

void TestPipeWire::faultsKeepTheLastFrame()
{
    QFETCH(QStringList, args);
    QFETCH(bool, streamEnds);
    const Bytes frame = noise(40 * 30 * 3, 11);
    StillCamera still(frame, args << "--format"
                                  << "BGR"
                                  << "--size"
                                  << "40x30");
    QVERIFY(!still.camera->serial().isEmpty());

    HWND window = createWindow();
    startPreview(window);
    const QImage before = shown(window);
    QTest::qWait(500);
    if (streamEnds)
        QTRY_COMPARE(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0), 0);
    else
        QCOMPARE(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0), 1);
    QCOMPARE(shown(window), before);
    if (!streamEnds) {
        const QImage image = copied(window);
        QCOMPARE(image.size(), QSize(40, 30));
        QVERIFY(std::memcmp(image.constScanLine(29), &frame[29 * 40 * 3], 40 * 3) == 0);
    }
}

void TestPipeWire::newSizeMidStreamIsShown()
{
    VirtualCamera camera(
        {"--format", "BGR", "--size", "64x48", "--switch-size-after", "10", "96x72"});
    QVERIFY(!camera.serial().isEmpty());
    HWND window = createWindow();
    startPreview(window);
    QTRY_COMPARE(copied(window).size(), QSize(96, 72));
}

void TestPipeWire::sharedWithAnotherConsumerAndOneStreamPerCamera()
{
    VirtualCamera camera({"--format", "YUY2", "--size", "64x48", "--name", "shared"});
    QVERIFY(!camera.serial().isEmpty());
    HWND one = createWindow();
    startPreview(one);
    HWND two = createWindow();
    startPreview(two);
    const QByteArray streams = testsupport::outputOf("pw-cli", {"ls", "Node"}, 5000);
    QCOMPARE(streams.count("media.class = \"Stream/Input/Video\""), 1);

    VirtualCamera other({"--consume", "shared"});
    QVERIFY(!other.line("frames ").isEmpty());
    // Both get frames at once: the pattern moves each frame, and so does the
    // picture of the window on top (the one below it is covered and still).
    const QImage before = copied(two);
    QCOMPARE(before.size(), QSize(64, 48));
    QTRY_VERIFY_WITH_TIMEOUT(copied(two) != before, 5000);
    QVERIFY(other.line("frames ").trimmed().toLongLong() > 0);
}

void TestPipeWire::stoppedDaemonCostsOneBoundedWait()
{
    VirtualCamera camera({"--format", "BGR", "--size", "16x16"});
    QVERIFY(!camera.serial().isEmpty());
    fakecam_node v4l2{};
    v4l2.kind = FAKECAM_CAPTURE;
    v4l2.format = FAKECAM_BGR24;
    fakecam_add(0, &v4l2);

    // Stopped before a search: the list is V4L2's alone.
    ::kill(daemonPid(), SIGSTOP);
    HWND window = createWindow();
    fakecam_clear_log();
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0));
    char log[1024];
    fakecam_log(log, sizeof log);
    QVERIFY2(std::strstr(log, "open 0\n"), log);
    ::kill(daemonPid(), SIGCONT);

    // Stopped while streaming: the window answers and goes at once.
    HWND streaming = createWindow();
    startPreview(streaming);
    ::kill(daemonPid(), SIGSTOP);
    QCOMPARE(SendMessageA(streaming, WM_CAP_SET_PREVIEW, 1, 0), 1);
    delete widgetOf(streaming);
    QCOMPARE(IsWindow(streaming), 0);
    ::kill(daemonPid(), SIGCONT);
}

void TestPipeWire::daemonKilledMidStream()
{
    VirtualCamera camera({"--format", "BGR", "--size", "16x16"});
    QVERIFY(!camera.serial().isEmpty());
    HWND window = createWindow();
    startPreview(window);
    const QImage before = shown(window);
    ::kill(daemonPid(), SIGKILL);
    QTRY_COMPARE(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0), 0);
    QCOMPARE(shown(window), before);
    // A later search finds no daemon, and V4L2 alone.
    HWND again = createWindow();
    fakecam_clear_log();
    QCOMPARE(SendMessageA(again, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
    char log[1024];
    fakecam_log(log, sizeof log);
    QVERIFY2(std::strstr(log, "open 0 ENOENT"), log);
}

QTEST_MAIN(TestPipeWire)
#include "tst_pipewire.moc"
