#include "Camera.h"

#include <QWidget>

namespace capture {

LRESULT GuardedSend(HWND window, UINT message, WPARAM wParam)
{
    if (!IsWindow(window))
        return 0;
    return SendMessageA(window, message, wParam, 0);
}

HWND CreateCaptureWindow(QWidget* panel)
{
    const auto parent = reinterpret_cast<HWND>(panel->winId());
    return capCreateCaptureWindowA("My cap", WS_CHILD | WS_VISIBLE, 0, 0, panel->width(),
                                   panel->height(), parent, 0);
}

bool ConnectFirstDriver(HWND window)
{
    for (int index = 0; index < kDriverCount; ++index) {
        if (GuardedSend(window, WM_CAP_DRIVER_CONNECT, static_cast<WPARAM>(index)) != 0)
            return true;
    }
    return false;
}

void StartPreview(HWND window)
{
    GuardedSend(window, WM_CAP_SET_OVERLAY, 1);
    GuardedSend(window, WM_CAP_SET_PREVIEW, 1);
    GuardedSend(window, WM_CAP_SET_PREVIEWRATE, kPreviewIntervalMs);
}

} // namespace capture
