// xwin: what the start script and the tests do to the real program's window
// from outside, as a user or another program would.
//   xwin shot WINDOW-ID FILE.png   saves what the window shows
//   xwin close WINDOW-ID           asks the window to close, as its close
//                                  button in a window manager's frame does
// WINDOW-ID as xwininfo or xdotool print it.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>

#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

bool close(xcb_connection_t* connection, xcb_window_t window)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(connection, "WM_PROTOCOLS");
    event.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    if (event.type == XCB_ATOM_NONE || event.data.data32[0] == XCB_ATOM_NONE)
        return false;
    const xcb_void_cookie_t cookie = xcb_send_event_checked(
        connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(
        xcb_request_check(connection, cookie), &std::free);
    return !error;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    const QString verb = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (!((verb == QLatin1String("shot") && argc == 4) ||
          (verb == QLatin1String("close") && argc == 3))) {
        err << "usage: xwin shot WINDOW-ID FILE.png | xwin close WINDOW-ID\n";
        return 2;
    }
    bool ok = false;
    const WId window = QString::fromLocal8Bit(argv[2]).toULongLong(&ok, 0);
    if (!ok) {
        err << "xwin: not a window id: " << argv[2] << "\n";
        return 2;
    }

    if (verb == QLatin1String("close")) {
        auto* x11 = app.nativeInterface<QNativeInterface::QX11Application>();
        if (!x11 || !close(x11->connection(), static_cast<xcb_window_t>(window))) {
            err << "xwin: could not ask window " << argv[2] << " to close\n";
            return 1;
        }
        return 0;
    }

    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(window);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        err << "xwin: could not capture window " << argv[2] << " into " << argv[3] << "\n";
        return 1;
    }
    return 0;
}
