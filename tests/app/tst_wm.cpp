// The real program under a real window manager (openbox), which draws a
// frame and a title bar: the window's outer rectangle, frame included, is
// the stored one.

#include "Spawn.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {

QString run(const QString& program, const QStringList& arguments)
{
    return QString::fromLatin1(testsupport::outputOf(program, arguments));
}

int number(const QString& text, const QString& label)
{
    const QRegularExpressionMatch m =
        QRegularExpression(label + QStringLiteral(":\\s+(-?\\d+)")).match(text);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

} // namespace

class TestWindowManager : public QObject {
    Q_OBJECT

private slots:
    void outerRectangleIsTheStoredOne();
};

void TestWindowManager::outerRectangleIsTheStoredOne()
{
    for (const char* tool : {"openbox", "xdotool", "xprop", "xwininfo"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP("openbox, xdotool and x11-utils are needed");

    testsupport::Process wm;
    QVERIFY(wm.start(QStringLiteral("openbox"), {}, {.showErrors = false}));
    QTRY_VERIFY_WITH_TIMEOUT(
        run(QStringLiteral("xprop"), {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"),
        10000);

    testsupport::Process program;
    QVERIFY(program.start(QStringLiteral(THRESHCAM_PROGRAM), {}));
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(window = run(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--name", "^Form1$"})
                       .trimmed())
             .isEmpty(),
        10000);

    // The frame's extents as the window manager states them, and the inside
    // as the X server has it; wait until the program has fitted the inside.
    QRect outer;
    auto measure = [&] {
        const QRegularExpressionMatch extents =
            QRegularExpression(QStringLiteral("= (\\d+), (\\d+), (\\d+), (\\d+)"))
                .match(run(QStringLiteral("xprop"), {"-id", window, "_NET_FRAME_EXTENTS"}));
        const QString info = run(QStringLiteral("xwininfo"), {"-id", window});
        if (!extents.hasMatch())
            return QRect();
        const int left = extents.captured(1).toInt(), right = extents.captured(2).toInt(),
                  top = extents.captured(3).toInt(), bottom = extents.captured(4).toInt();
        return QRect(number(info, QStringLiteral("Absolute upper-left X")) - left,
                     number(info, QStringLiteral("Absolute upper-left Y")) - top,
                     number(info, QStringLiteral("Width")) + left + right,
                     number(info, QStringLiteral("Height")) + top + bottom);
    };
    QTRY_COMPARE_WITH_TIMEOUT((outer = measure()), QRect(192, 114, 1209, 656), 10000);
}

QTEST_GUILESS_MAIN(TestWindowManager)
#include "tst_wm.moc"
