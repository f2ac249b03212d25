// Capture windows made and destroyed over and over, as a host window does
// (create, connect, preview, destroy), on both roads: a PipeWire camera that
// sends a frame every 0.5 ms, and the fake V4L2 camera. Half the windows go
// at once, while the stream is still starting, half after their first frame.
// Run under ThreadSanitizer (the tsan preset), this is where teardown races
// between the user-interface thread and the capture threads would show.

#include "CameraFrames.h"
#include "Spawn.h"
#include "fakecam.h"
#include "vfw.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <memory>

namespace {

constexpr int kCycles = 60;

bool firstFrameShown(HWND window)
{
    return QTest::qWaitFor([window] { return !allBlack(shown(window)); }, 10000);
}

int streamsOfOurs()
{
    return int(testsupport::outputOf("pw-cli", {"ls", "Node"}, 5000)
                   .count("media.class = \"Stream/Input/Video\""));
}

} // namespace

class TestCycles : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void connectAndDestroyOverAndOver_data();
    void connectAndDestroyOverAndOver();

private:
    std::unique_ptr<QWidget> host_;
};

void TestCycles::init()
{
    fakecam_reset();
    host_ = std::make_unique<QWidget>();
    host_->resize(400, 300);
    host_->show();
}

void TestCycles::cleanup()
{
    host_.reset();
}

void TestCycles::connectAndDestroyOverAndOver_data()
{
    QTest::addColumn<bool>("pipeWire");
    QTest::newRow("PipeWire camera, flooding") << true;
    QTest::newRow("V4L2 fake camera") << false;
}

void TestCycles::connectAndDestroyOverAndOver()
{
    QFETCH(bool, pipeWire);
    testsupport::Process camera;
    if (pipeWire) {
        QVERIFY(camera.start(THRESHCAM_VIRTUALCAM,
                             {"--format", "BGR", "--size", "32x24", "--flood"},
                             {.readOutput = true}));
        QVERIFY(camera.readLine(5000).startsWith("ready"));
    } else {
        fakecam_node n{};
        n.kind = FAKECAM_CAPTURE;
        n.format = FAKECAM_BGR24;
        n.width = 32;
        n.height = 24;
        n.fps = 200;
        QCOMPARE(fakecam_add(0, &n), 0);
    }

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const bool atOnce = cycle % 2 == 0;
        HWND window = capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 320, 240,
                                              reinterpret_cast<HWND>(host_->winId()), 0);
        QVERIFY2(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0),
                 qPrintable(QString::number(cycle)));
        QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEWRATE, 10, 0));
        QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
        if (!atOnce)
            QVERIFY2(firstFrameShown(window), qPrintable(QString::number(cycle)));
        delete widgetOf(window);
        QCOMPARE(IsWindow(window), 0);
        // The device closes on the capture's own thread, after the window is
        // gone; each cycle waits for it, so that it finds the device free.
        if (!pipeWire)
            QVERIFY(QTest::qWaitFor([] { return fakecam_open_count() == 0; }, 5000));
    }

    // Nothing is left behind, and the camera still gives frames to a window.
    if (pipeWire)
        QTRY_COMPARE(streamsOfOurs(), 0);
    HWND window = capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 320, 240,
                                          reinterpret_cast<HWND>(host_->winId()), 0);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
    QVERIFY(firstFrameShown(window));
}

QTEST_MAIN(TestCycles)
#include "tst_cycles.moc"
