#include "vfw.h"

#include "CaptureWindow.h"

#include <QApplication>
#include <QThread>
#include <QWidget>

#include <algorithm>

namespace {

// The widget a handle names, or null: a handle is only a number, and any
// number is safe to look up. Only on the user-interface thread.
QWidget* widgetOf(HWND handle)
{
    if (!handle || !qobject_cast<QApplication*>(QCoreApplication::instance()) ||
        QThread::currentThread() != QCoreApplication::instance()->thread())
        return nullptr;
    return QWidget::find(reinterpret_cast<WId>(handle));
}

} // namespace

HWND capCreateCaptureWindowA(LPCSTR lpszWindowName, DWORD dwStyle, int x, int y, int nWidth,
                             int nHeight, HWND hwndParent, int)
{
    QWidget* parent = widgetOf(hwndParent);
    if (!parent)
        return nullptr;
    // Owned by the parent: it goes, with its stream, when the parent does.
    auto* window = new platform::CaptureWindow(parent);
    if (lpszWindowName)
        window->setWindowTitle(QString::fromLocal8Bit(lpszWindowName));
    window->setGeometry(x, y, std::max(nWidth, 0), std::max(nHeight, 0));
    if (dwStyle & WS_VISIBLE) {
        window->show();
        window->coverWindowsBelow();
    }
    return reinterpret_cast<HWND>(window->winId());
}

BOOL IsWindow(HWND hWnd)
{
    return widgetOf(hWnd) != nullptr;
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* window = qobject_cast<platform::CaptureWindow*>(widgetOf(hWnd));
    return window ? window->request(Msg, wParam, lParam) : 0;
}
