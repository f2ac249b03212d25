#pragma once

#include "vfw.h"

class QWidget;

// The program's requests to a capture window, in the order it makes them.
namespace capture {

// Capture drivers are numbered 0 to 9; the lowest that accepts wins.
inline constexpr int kDriverCount = 10;
inline constexpr WPARAM kPreviewIntervalMs = 33;

// Sends a request only while the window exists; a request to a missing window
// counts as refused (0).
LRESULT GuardedSend(HWND window, UINT message, WPARAM wParam);

// Creates a capture window covering the panel's whole inside, at the panel's
// size now. Any earlier capture window in the panel stays as it is. Null when
// the window cannot be created.
HWND CreateCaptureWindow(QWidget* panel);

// Tries drivers 0, 1, ... 9 in turn and stops at the first that connects.
bool ConnectFirstDriver(HWND window);

// Overlay on, preview on, a new frame every 33 ms; sent whether or not a
// driver connected.
void StartPreview(HWND window);

} // namespace capture
