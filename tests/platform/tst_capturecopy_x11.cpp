// The copy request seen from another program: on a real X server, xclip
// reads the frame the capture window put on the clipboard.

#include "Spawn.h"
#include "fakecam.h"
#include "vfw.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

class TestCaptureCopyX11 : public QObject {
    Q_OBJECT

private slots:
    void otherProgramsReadTheFrame();

private:
    // Runs xclip while our event loop keeps answering the clipboard requests.
    QByteArray xclip(const QStringList& arguments);
};

QByteArray TestCaptureCopyX11::xclip(const QStringList& arguments)
{
    testsupport::Process process;
    if (!process.start(QStringLiteral("xclip"),
                       QStringList{"-selection", "clipboard", "-o"} + arguments,
                       {.readOutput = true, .showErrors = false}))
        return {};
    QByteArray out;
    const QDeadlineTimer deadline(10000);
    while (process.running() && !deadline.hasExpired()) {
        QTest::qWait(5);
        out += process.readAvailable();
    }
    return out + process.readAll(int(deadline.remainingTime()));
}

void TestCaptureCopyX11::otherProgramsReadTheFrame()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty())
        QSKIP("xclip is not installed");

    const int width = 64, height = 48;
    std::vector<std::uint8_t> frame(std::size_t(width) * height * 3);
    std::mt19937 random(11);
    for (auto& b : frame)
        b = std::uint8_t(random());
    fakecam_node n{};
    n.kind = FAKECAM_CAPTURE;
    n.format = FAKECAM_BGR24;
    n.width = width;
    n.height = height;
    n.frame = frame.data();
    n.frame_size = frame.size();
    QCOMPARE(fakecam_add(0, &n), 0);

    QWidget host;
    host.resize(400, 300);
    host.show();
    HWND window = capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, 377, 257,
                                          reinterpret_cast<HWND>(host.winId()), 0);
    QVERIFY(SendMessageA(window, WM_CAP_DRIVER_CONNECT, 0, 0));
    QVERIFY(SendMessageA(window, WM_CAP_SET_PREVIEW, 1, 0));
    QTRY_COMPARE(SendMessageA(window, WM_CAP_EDIT_COPY, 0, 0), 1);

    const QByteArray targets = xclip({"-t", "TARGETS"});
    QVERIFY2(targets.contains("image/png") && targets.contains("image/bmp"), targets.constData());

    for (const char* type : {"image/png", "image/bmp"}) {
        const QImage read =
            QImage::fromData(xclip({"-t", type})).convertToFormat(QImage::Format_BGR888);
        QVERIFY2(read.size() == QSize(width, height), type);
        for (int y = 0; y < height; ++y)
            QVERIFY2(std::memcmp(read.constScanLine(y), &frame[std::size_t(y) * width * 3],
                                 std::size_t(width) * 3) == 0,
                     qPrintable(QStringLiteral("%1, row %2").arg(type).arg(y)));
    }
}

QTEST_MAIN(TestCaptureCopyX11)
#include "tst_capturecopy_x11.moc"
