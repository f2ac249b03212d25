// The grab reading what another program put on a real X clipboard: xclip
// offers the bytes, threshcam's grab reads them.

#include "Encoded.h"
#include "Grab.h"
#include "Spawn.h"

#include <QBuffer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTest>
#include <QtEndian>

#include <sys/types.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <xcb/xcb.h>

class TestGrabX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void anImageFromAnotherProgramBecomesThePicture_data();
    void anImageFromAnotherProgramBecomesThePicture();
    void textFromAnotherProgramGivesNothing();
    void badImagesFromAnotherProgramAreReported_data();
    void badImagesFromAnotherProgramAreReported();
    void aStalledOwnerDoesNotHangTheGrab_data();
    void aStalledOwnerDoesNotHangTheGrab();
    void anOwnerDyingMidTransferIsSurvived();

private:
    // Puts the bytes on the clipboard through xclip, which stays in the
    // foreground as the owner until it loses the selection or is killed.
    // `seenAs` is the type as Qt names it, when that differs. Unless `listed`
    // is false, this process has asked for the owner's list of types.
    void offer(const char* type, const QByteArray& bytes, const char* seenAs = nullptr,
               bool listed = true);

    std::unique_ptr<testsupport::Process> owner_;
    QTemporaryFile file_;
};

namespace {

// The clipboard's owner as the X server has it, asked of the server alone, so
// that a stopped owner costs nothing; XCB_NONE when there is none.
xcb_window_t clipboardOwner()
{
    xcb_connection_t* x =
        qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, 9, "CLIPBOARD"), nullptr);
    if (!atom)
        return XCB_NONE;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, atom->atom), nullptr);
    const xcb_window_t window = owner ? owner->owner : XCB_NONE;
    std::free(owner);
    std::free(atom);
    return window;
}

QImage sample()
{
    QImage image(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x & 0xFF, y, (x * y) & 0xFF));
    return image;
}

} // namespace

void TestGrabX11::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty())
        QSKIP("xclip is not installed");
    QVERIFY(file_.open());
}

void TestGrabX11::cleanup()
{
    if (owner_) {
        // Take in the news of the owner's end here, so that the next test's
        // offer() sees only its own owner's arrival.
        QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::dataChanged);
        ::kill(owner_->pid(), SIGCONT);
        owner_.reset();
        (void)QTest::qWaitFor([&] { return changed.count() > 0; });
        // The server has let the owner go, so that the next offer() cannot
        // take it for its own owner.
        QTRY_COMPARE(clipboardOwner(), xcb_window_t{XCB_NONE});
    }
}

void TestGrabX11::offer(const char* type, const QByteArray& bytes, const char* seenAs, bool listed)
{
    QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::dataChanged);
    file_.resize(0);
    file_.seek(0);
    file_.write(bytes);
    file_.flush();
    owner_ = std::make_unique<testsupport::Process>();
    QVERIFY(owner_->start(QStringLiteral("xclip"),
                          {"-quiet", "-selection", "clipboard", "-t", QString::fromLatin1(type),
                           "-i", file_.fileName()},
                          {.showErrors = false}));
    // Wait until the X server names xclip as the owner: the news alone, or
    // the owner's list of types, which Qt then keeps until the owner changes.
    if (!listed) {
        QTRY_VERIFY(changed.count() > 0 && clipboardOwner() != XCB_NONE);
        return;
    }
    QTRY_VERIFY(QGuiApplication::clipboard()->mimeData() &&
                QGuiApplication::clipboard()->mimeData()->formats().contains(
                    QString::fromLatin1(seenAs ? seenAs : type)));
}

void TestGrabX11::anImageFromAnotherProgramBecomesThePicture_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("PNG") << QByteArray("image/png") << QByteArray("PNG");
    QTest::newRow("BMP") << QByteArray("image/bmp") << QByteArray("BMP");
}

void TestGrabX11::anImageFromAnotherProgramBecomesThePicture()
{
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, format);
    const QImage image = sample();
    offer(type.constData(), encoded(image, format.constData()));

    const std::optional<imaging::Picture> picture = capture::GrabFrame(nullptr);
    QVERIFY(picture);
    QCOMPARE(picture->Width(), image.width());
    QCOMPARE(picture->Height(), image.height());
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    for (int y = 0; y < image.height(); ++y)
        QVERIFY(std::memcmp(picture->ScanLine(y), bgr.constScanLine(y),
                            3 * std::size_t(image.width())) == 0);
}

void TestGrabX11::textFromAnotherProgramGivesNothing()
{
    offer("UTF8_STRING", "just words", "text/plain");
    QVERIFY(!capture::GrabFrame(nullptr));
}

void TestGrabX11::badImagesFromAnotherProgramAreReported_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    const QString corrupt = QStringLiteral("剪貼簿上的圖片已損壞，無法讀取。");
    const QByteArray png = encoded(sample(), "PNG");
    const QByteArray bmp = encoded(sample(), "BMP");
    QTest::newRow("truncated PNG")
        << QByteArray("image/png") << png.left(png.size() / 3) << corrupt;
    QTest::newRow("truncated BMP")
        << QByteArray("image/bmp") << bmp.left(bmp.size() / 3) << corrupt;
    QTest::newRow("noise as PNG") << QByteArray("image/png") << QByteArray(10000, '\x13')
                                  << corrupt;

    // A BMP header that claims 100000 x 100000 pixels, and a few bytes.
    QByteArray huge = bmp.left(54);
    qToLittleEndian<qint32>(100000, huge.data() + 18);
    qToLittleEndian<qint32>(100000, huge.data() + 22);
    QTest::newRow("BMP claiming 100000 x 100000")
        << QByteArray("image/bmp") << huge + QByteArray(64, '\0')
        << QStringLiteral("剪貼簿上的圖片太大（100000 × 100000 像素），無法載入。");
}

void TestGrabX11::badImagesFromAnotherProgramAreReported()
{
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    offer(type.constData(), bytes);
    try {
        capture::GrabFrame(nullptr);
        QFAIL("a bad image was taken");
    } catch (const capture::GrabError& error) {
        QCOMPARE(QString::fromUtf8(error.what()), message);
    }
}

void TestGrabX11::aStalledOwnerDoesNotHangTheGrab_data()
{
    QTest::addColumn<bool>("listed");
    // Unasked, even the list of types goes unanswered; each further question
    // would wait Qt's whole timeout again.
    QTest::newRow("stopped before anything was asked") << false;
    QTest::newRow("stopped after listing its types") << true;
}

void TestGrabX11::aStalledOwnerDoesNotHangTheGrab()
{
    QFETCH(bool, listed);
    offer("image/png", encoded(sample(), "PNG"), nullptr, listed);
    ::kill(owner_->pid(), SIGSTOP);

    // The grab gives up with the message, so the view keeps its picture.
    QElapsedTimer elapsed;
    elapsed.start();
    try {
        capture::GrabFrame(nullptr);
        QFAIL("a stopped owner's image was taken, or nothing was said");
    } catch (const capture::GrabError& error) {
        QCOMPARE(QString::fromUtf8(error.what()),
                 QStringLiteral("無法從剪貼簿取得圖片，提供圖片的程式沒有回應。"));
    }
    qInfo("stopped owner: the grab gave up after %lld ms", elapsed.elapsed());
}

void TestGrabX11::anOwnerDyingMidTransferIsSurvived()
{
    // Large enough that X hands it over in many pieces.
    QImage big(3000, 2000, QImage::Format_RGB32);
    big.fill(qRgb(1, 2, 3));
    offer("image/bmp", encoded(big, "BMP"));
    const pid_t pid = owner_->pid();
    std::thread killer([pid] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::kill(pid, SIGKILL);
    });
    // A whole picture, an error or nothing are all fair outcomes; a crash, a
    // hang or a picture of another size are not.
    try {
        if (const std::optional<imaging::Picture> picture = capture::GrabFrame(nullptr))
            QCOMPARE(picture->Width(), 3000);
        else
            qInfo("owner died mid-transfer: nothing taken");
    } catch (const capture::GrabError& error) {
        qInfo("owner died mid-transfer: %s", error.what());
    }
    killer.join();
}

QTEST_MAIN(TestGrabX11)
#include "tst_grab_x11.moc"
