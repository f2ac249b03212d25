// Faults a user can run into, on the real window with the real capture
// service: a camera that vanishes while it connects, while it streams, or
// between the copy request and the clipboard read; and a picture too large
// for the memory there is.

#include "Camera.h"
#include "ModalBoxes.h"
#include "Pictures.h"
#include "TApplication.h"
#include "Unit1.h"
#include "fakecam.h"

#include <QClipboard>
#include <QTest>

#include <sys/mman.h>
#include <sys/resource.h>

#include <cstddef>
#include <functional>
#include <memory>

// The program's requests pass through here (-Wl,--wrap=SendMessageA) so that
// a test can act right after one has been answered.
static std::function<void(UINT)> afterRequest;

extern "C" LRESULT __real_SendMessageA(HWND, UINT, WPARAM, LPARAM);
extern "C" LRESULT __wrap_SendMessageA(HWND, UINT, WPARAM, LPARAM);
extern "C" LRESULT __wrap_SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const LRESULT result = __real_SendMessageA(window, message, wParam, lParam);
    if (afterRequest)
        afterRequest(message);
    return result;
}

namespace {

bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    return qEnvironmentVariableIsSet("THRESHCAM_UNDER_VALGRIND");
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void cameraVanishesWhileConnecting_data();
    void cameraVanishesWhileConnecting();
    void cameraVanishesWhileStreaming();
    void cameraVanishesBetweenCopyAndRead();
    void noMemoryForAHugePicture();

private:
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<ModalBoxes> boxes_;
};

void TestFaults::init()
{
    fakecam_reset();
    afterRequest = nullptr;
    QGuiApplication::clipboard()->clear();
    form_ = std::make_unique<TForm1>(nullptr);
    form_->show();
    boxes_ = std::make_unique<ModalBoxes>();
}

void TestFaults::cleanup()
{
    afterRequest = nullptr;
    boxes_.reset();
    form_.reset();
    CapWnd = nullptr;
    // Whatever happened, every descriptor of the camera is closed in the end.
    QTRY_COMPARE(fakecam_open_count(), 0);
}

void TestFaults::cameraVanishesWhileConnecting_data()
{
    QTest::addColumn<int>("call");
    // Every step of a connection, from the first query to the first frames.
    for (int call = 1; call <= 24; ++call)
        QTest::addRow("at ioctl %d", call) << call;
}

void TestFaults::cameraVanishesWhileConnecting()
{
    QFETCH(int, call);
    QCOMPARE(fakecam_configure("3=yuyv:640x480@30"), 0);
    fakecam_unplug_at_ioctl(3, call);
    form_->Image1->setPicture(solid(2, 2, 9));

    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QVERIFY(IsWindow(CapWnd));
    // Either the connection failed (and said so once) or it came up and the
    // stream then failed quietly; the window goes on either way. What the
    // grab below meets is the capture window refusing requests, at once or
    // once its stream has seen the camera go.
    QVERIFY(boxes_->seen().size() <= 1);
    QTRY_COMPARE(capture::GuardedSend(CapWnd, WM_CAP_SET_PREVIEWRATE, capture::kPreviewIntervalMs),
                 0);
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    QCOMPARE(form_->Edit1->text(), QStringLiteral("125"));
    QCOMPARE(form_->Image1->Picture().Width(), 2);
}

void TestFaults::cameraVanishesWhileStreaming()
{
    QCOMPARE(fakecam_configure("3=bgr24:320x240@30"), 0);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QTRY_VERIFY(fakecam_frames_delivered(3) > 2);
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    const imaging::Picture grabbed = form_->Image1->Picture();
    QCOMPARE(grabbed.Width(), 320);

    fakecam_unplug(3, 0);
    QTRY_COMPARE(fakecam_open_count(), 0);
    // The capture window refuses the copy now; the clipboard still holds the
    // frame of the last grab, and that is what comes back.
    form_->Image1->setPicture(solid(2, 2, 9));
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QCOMPARE(form_->Image1->Picture().Width(), 320);
    QVERIFY(std::memcmp(form_->Image1->Picture().ScanLine(100), grabbed.ScanLine(100), 320 * 3) ==
            0);
    QVERIFY(boxes_->seen().isEmpty());
}

void TestFaults::cameraVanishesBetweenCopyAndRead()
{
    QCOMPARE(fakecam_configure("3=bgr24:320x240@30"), 0);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QTRY_VERIFY(fakecam_frames_delivered(3) > 2);
    afterRequest = [](UINT message) {
        if (message == WM_CAP_EDIT_COPY)
            fakecam_unplug(3, 0);
    };
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    // The frame was on the clipboard before the camera went.
    QCOMPARE(form_->Image1->Picture().Width(), 320);
    QVERIFY(boxes_->seen().isEmpty());
}

void TestFaults::noMemoryForAHugePicture()
{
    if (sanitized())
        QSKIP("an address-space limit and a sanitizer's shadow memory do not mix");
    // 7000 x 5000 pixels: 140 MB as Qt holds it, 105 MB more as a picture.
    QImage huge(7000, 5000, QImage::Format_RGB32);
    QVERIFY(!huge.isNull());
    huge.fill(Qt::gray);
    QGuiApplication::clipboard()->setImage(huge);
    form_->Image1->setPicture(solid(2, 2, 9));

    rlimit before{};
    QCOMPARE(getrlimit(RLIMIT_AS, &before), 0);
    QFile status(QStringLiteral("/proc/self/status"));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("VmSize:");
    QVERIFY(at >= 0);
    const rlim_t used = text.mid(at + 7, text.indexOf('\n', at) - at - 7)
                            .trimmed()
                            .split(' ')
                            .value(0)
                            .toULongLong() *
                        1024;
    rlimit tight = before;
    tight.rlim_cur = used + (48u << 20);
    QCOMPARE(setrlimit(RLIMIT_AS, &tight), 0);
    // qemu-user answers setrlimit(RLIMIT_AS) with success and applies nothing,
    // since the limit would bind the emulator's own memory too: then nothing
    // here can run out, and there is nothing to check.
    void* beyond = mmap(nullptr, std::size_t{256} << 20, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (beyond != MAP_FAILED) {
        munmap(beyond, std::size_t{256} << 20);
        QCOMPARE(setrlimit(RLIMIT_AS, &before), 0);
        QSKIP("the address-space limit is not applied here (qemu-user ignores RLIMIT_AS), so no "
              "allocation can be made to fail");
    }

    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QCOMPARE(setrlimit(RLIMIT_AS, &before), 0);

    QCOMPARE(boxes_->texts(), QStringList{QStringLiteral("記憶體不足，無法完成這項操作。")});
    QCOMPARE(form_->Image1->Picture().Width(), 2);
}

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    app.Initialize();
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
