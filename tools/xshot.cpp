// xshot WINDOW-ID FILE.png: saves what an X window shows, for screenshots of
// the real program under a virtual display. WINDOW-ID as xwininfo prints it.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 3) {
        err << "usage: xshot WINDOW-ID FILE.png\n";
        return 2;
    }
    bool ok = false;
    const WId window = QString::fromLocal8Bit(argv[1]).toULongLong(&ok, 0);
    if (!ok) {
        err << "xshot: not a window id: " << argv[1] << "\n";
        return 2;
    }
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(window);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        err << "xshot: could not capture window " << argv[1] << " into " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
