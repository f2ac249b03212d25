#include "ModalBoxes.h"
#include "Pictures.h"
#include "TApplication.h"
#include "Unit1.h"
#include "fakecam.h"

#include <QBuffer>
#include <QClipboard>
#include <QMimeData>
#include <QRegularExpression>
#include <QTest>

#include <cstring>
#include <memory>
#include <vector>

// The open-camera and grab buttons on the real window, with the real capture
// service running against the fake camera.

// Every request the program sends to a capture window, seen on its way: the
// link step routes the program's calls of SendMessageA here
// (-Wl,--wrap=SendMessageA), and they go on to the real service.
struct Request {
    UINT message;
    WPARAM wParam;
    bool operator==(const Request&) const = default;
};
static std::vector<Request> sentRequests;

extern "C" LRESULT __real_SendMessageA(HWND, UINT, WPARAM, LPARAM);
extern "C" LRESULT __wrap_SendMessageA(HWND, UINT, WPARAM, LPARAM);
extern "C" LRESULT __wrap_SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    sentRequests.push_back({message, wParam});
    return __real_SendMessageA(window, message, wParam, lParam);
}

namespace {

std::vector<Request> connects(int from, int to)
{
    std::vector<Request> requests;
    for (int i = from; i <= to; ++i)
        requests.push_back({WM_CAP_DRIVER_CONNECT, WPARAM(i)});
    return requests;
}

const std::vector<Request> kDisplayRequests = {
    {WM_CAP_SET_OVERLAY, 1}, {WM_CAP_SET_PREVIEW, 1}, {WM_CAP_SET_PREVIEWRATE, 33}};

std::vector<Request> operator+(std::vector<Request> a, const std::vector<Request>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

QStringList fakeLog()
{
    const std::size_t size = fakecam_log(nullptr, 0);
    QByteArray text(qsizetype(size + 1), '\0');
    fakecam_log(text.data(), text.size());
    return QString::fromLatin1(text.constData()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The lines of the log that are attempts to open a node, in order.
QStringList opens()
{
    return fakeLog().filter(QRegularExpression(QStringLiteral("^open ")));
}

QStringList refusedOpens(int from, int to)
{
    QStringList lines;
    for (int i = from; i <= to; ++i)
        lines << QStringLiteral("open %1 ENOENT").arg(i);
    return lines;
}

QList<QWidget*> captureWindows(const TForm1& form)
{
    QList<QWidget*> windows;
    for (QWidget* child : form.Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        windows << child;
    return windows;
}

// Which of the fake camera's pattern frames the picture is, or -1.
int patternFrame(const imaging::Picture& picture)
{
    const int w = picture.Width(), h = picture.Height();
    std::vector<unsigned char> bgr(3 * static_cast<std::size_t>(w) * h);
    for (unsigned frame = 0; frame < FAKECAM_PATTERN_FRAMES; ++frame) {
        fakecam_pattern(w, h, frame, bgr.data());
        bool same = true;
        for (int y = 0; y < h && same; ++y)
            same =
                std::memcmp(picture.ScanLine(y), bgr.data() + 3 * static_cast<std::size_t>(w) * y,
                            3 * static_cast<std::size_t>(w)) == 0;
        if (same)
            return int(frame);
    }
    return -1;
}

bool isBlackAndWhite(const imaging::Picture& p)
{
    for (int y = 0; y < p.Height(); ++y)
        for (int i = 0; i < 3 * p.Width(); ++i)
            if (p.ScanLine(y)[i] != 0 && p.ScanLine(y)[i] != 255)
                return false;
    return true;
}

} // namespace

class TestCamera : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void onlyTheFirstDriverThatAcceptsIsTried();
    void withoutACameraTenAttemptsAndOneMessage();
    void aSecondClickSearchesAgainInANewWindow();
    void theCaptureWindowTakesThePanelsSizeAtTheClick();
    void grabTakesTheLiveFrameBitExact();
    void grabAfterBinarizingBringsColourBack();
    void withoutADriverTheClipboardImageIsTaken();
    void textOnTheClipboardChangesNothing();
    void aCorruptClipboardImageIsReportedAndTheViewKept();

private:
    std::unique_ptr<TForm1> form_;
    std::unique_ptr<ModalBoxes> boxes_;
};

void TestCamera::init()
{
    fakecam_reset();
    sentRequests.clear();
    QGuiApplication::clipboard()->clear();
    CapWnd = nullptr;
    form_ = std::make_unique<TForm1>(nullptr);
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    boxes_ = std::make_unique<ModalBoxes>();
}

void TestCamera::cleanup()
{
    boxes_.reset();
    form_.reset();
    CapWnd = nullptr;
    QTRY_COMPARE(fakecam_open_count(), 0);
}

void TestCamera::onlyTheFirstDriverThatAcceptsIsTried()
{
    QCOMPARE(fakecam_configure("3=bgr24:640x480@30"), 0);
    fakecam_clear_log();
    QTest::mouseClick(form_->Button1, Qt::LeftButton);

    QCOMPARE(opens(), refusedOpens(0, 2) << QStringLiteral("open 3"));
    QVERIFY(sentRequests == connects(0, 3) + kDisplayRequests);
    QVERIFY(boxes_->seen().isEmpty());
    QVERIFY(IsWindow(CapWnd));
    QCOMPARE(captureWindows(*form_).size(), 1);
}

void TestCamera::withoutACameraTenAttemptsAndOneMessage()
{
    fakecam_clear_log();
    QTest::mouseClick(form_->Button1, Qt::LeftButton);

    QCOMPARE(opens(), refusedOpens(0, 9));
    // The display requests still go to the unconnected window, after the box.
    QVERIFY(sentRequests == connects(0, 9) + kDisplayRequests);
    QCOMPARE(boxes_->texts(), QStringList{QStringLiteral("攝影機連接失敗-.-")});
    QCOMPARE(boxes_->seen().first().icon, QMessageBox::NoIcon);
    // The unconnected window stays and is the one a grab will ask.
    QVERIFY(IsWindow(CapWnd));
    QCOMPARE(captureWindows(*form_).size(), 1);

    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QCOMPARE(boxes_->seen().size(), 2);
}

void TestCamera::aSecondClickSearchesAgainInANewWindow()
{
    QCOMPARE(fakecam_configure("2=yuyv:640x480@30"), 0);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    const HWND first = CapWnd;
    fakecam_clear_log();

    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QVERIFY(CapWnd != first);
    QVERIFY(IsWindow(first));
    QVERIFY(IsWindow(CapWnd));
    QCOMPARE(captureWindows(*form_).size(), 2);
    // The search starts at 0 again; the camera already streaming for the
    // first window is shared with the second rather than refused as busy.
    QCOMPARE(opens().mid(0, 2), refusedOpens(0, 1));
    QVERIFY(boxes_->seen().isEmpty());
    for (QWidget* window : captureWindows(*form_))
        QCOMPARE(window->geometry(), QRect(0, 0, 377, 257));
}

void TestCamera::theCaptureWindowTakesThePanelsSizeAtTheClick()
{
    form_->Panel1->resize(200, 120);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QCOMPARE(captureWindows(*form_).value(0)->geometry(), QRect(0, 0, 200, 120));
}

void TestCamera::grabTakesTheLiveFrameBitExact()
{
    QCOMPARE(fakecam_configure("3=bgr24:640x480@30"), 0);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QTRY_VERIFY(fakecam_frames_delivered(3) > 0);
    form_->ScrollBar1->setValue(90);
    const QString shownThreshold = form_->Edit1->text();

    sentRequests.clear();
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QVERIFY((sentRequests == std::vector<Request>{{WM_CAP_EDIT_COPY, 0}}));
    const imaging::Picture& picture = form_->Image1->Picture();
    QCOMPARE(picture.Width(), 640);
    QCOMPARE(picture.Height(), 480);
    QVERIFY2(patternFrame(picture) >= 0, "the view holds no frame the camera sent");
    // The same frame stays on the clipboard for other programs.
    const QImage copied =
        QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_BGR888);
    QCOMPARE(copied.size(), QSize(640, 480));
    for (int y = 0; y < 480; ++y)
        QVERIFY(std::memcmp(copied.constScanLine(y), picture.ScanLine(y), 640 * 3) == 0);
    // The grab leaves the threshold alone.
    QCOMPARE(form_->ScrollBar1->value(), 90);
    QCOMPARE(form_->Edit1->text(), shownThreshold);
    QVERIFY(boxes_->seen().isEmpty());
}

void TestCamera::grabAfterBinarizingBringsColourBack()
{
    QCOMPARE(fakecam_configure("0=rgb24:320x240@30"), 0);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QTRY_VERIFY(fakecam_frames_delivered(0) > 0);
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    QVERIFY(isBlackAndWhite(form_->Image1->Picture()));

    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QVERIFY(!isBlackAndWhite(form_->Image1->Picture()));
    QVERIFY(patternFrame(form_->Image1->Picture()) >= 0);
}

void TestCamera::withoutADriverTheClipboardImageIsTaken()
{
    QImage earlier(4, 2, QImage::Format_RGB32);
    earlier.fill(qRgb(10, 20, 30));
    QGuiApplication::clipboard()->setImage(earlier);

    // No capture window at all yet: nothing is sent.
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QVERIFY(sentRequests.empty());
    QCOMPARE(form_->Image1->Picture().Width(), 4);
    QCOMPARE(form_->Image1->Picture().ScanLine(1)[0], std::uint8_t(30));

    // A window without a driver refuses the copy and the clipboard keeps it.
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QCOMPARE(boxes_->seen().size(), 1);
    form_->Image1->setPicture(solid(1, 1, 0));
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QCOMPARE(form_->Image1->Picture().Width(), 4);
    QCOMPARE(boxes_->seen().size(), 1);
}

void TestCamera::textOnTheClipboardChangesNothing()
{
    form_->Image1->setPicture(solid(3, 3, 77));
    QGuiApplication::clipboard()->setText(QStringLiteral("hello"));
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QVERIFY(samePixels(form_->Image1->Picture(), solid(3, 3, 77)));
    QVERIFY(boxes_->seen().isEmpty());
}

void TestCamera::aCorruptClipboardImageIsReportedAndTheViewKept()
{
    form_->Image1->setPicture(solid(3, 3, 77));
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), png.left(png.size() - 30));
    QGuiApplication::clipboard()->setMimeData(data);

    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QTRY_COMPARE(boxes_->texts(), QStringList{QStringLiteral("剪貼簿上的圖片已損壞，無法讀取。")});
    QCOMPARE(boxes_->seen().first().icon, QMessageBox::Critical);
    QVERIFY(samePixels(form_->Image1->Picture(), solid(3, 3, 77)));
}

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    app.Initialize();
    TestCamera test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_camera.moc"
