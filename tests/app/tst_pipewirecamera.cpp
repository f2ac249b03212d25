// The program's buttons on a machine whose only camera is a PipeWire one:
// a real daemon and WirePlumber (with-pipewire), our virtual camera, and
// the fake V4L2 camera linked in with no nodes at all.

#include "ModalBoxes.h"
#include "TApplication.h"
#include "Unit1.h"
#include "VirtualCamera.h"
#include "fakecam.h"

#include <QTest>

#include <cstring>

class TestPipeWireCamera : public QObject {
    Q_OBJECT

private slots:
    void openAndGrabShowTheCamerasExactFrame();
};

void TestPipeWireCamera::openAndGrabShowTheCamerasExactFrame()
{
    fakecam_reset();
    constexpr int kWidth = 64, kHeight = 48;
    std::vector<std::uint8_t> frame(std::size_t(kWidth) * kHeight * 3);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = std::uint8_t(i * 7 + i / 191);
    StillCamera still(frame, {"--format", "BGR", "--size", "64x48"});
    QVERIFY(!still.camera->serial().isEmpty());

    TForm1 form(nullptr);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    ModalBoxes boxes;
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    QVERIFY(IsWindow(CapWnd));
    QVERIFY(boxes.seen().isEmpty());

    // The live frame may take a moment after the connect: grab until it is there.
    QTRY_VERIFY_WITH_TIMEOUT(
        (QTest::mouseClick(form.Button2, Qt::LeftButton), form.Image1->Picture().Width() == kWidth),
        5000);
    const imaging::Picture& picture = form.Image1->Picture();
    QCOMPARE(picture.Height(), kHeight);
    for (int y = 0; y < kHeight; ++y)
        QVERIFY(std::memcmp(picture.ScanLine(y), &frame[std::size_t(y) * kWidth * 3], kWidth * 3) ==
                0);
    QVERIFY(boxes.seen().isEmpty());
    CapWnd = nullptr;
}

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    app.Initialize();
    TestPipeWireCamera test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pipewirecamera.moc"
