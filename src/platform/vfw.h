#pragma once

// The capture-window service: a child window that shows a camera's live
// picture, driven by requests sent to it as messages. The names, numbers and
// meanings are those of the desktop platform's video-capture windows, and the
// functions have their shapes, so that a build for that platform could call
// the system's own functions instead without any change to the program.
//
// A window handle is the native handle of a widget (QWidget::winId()). Call
// these from the user-interface thread only.

#include <cstdint>

struct HWND__;
using HWND = HWND__*;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LPCSTR = const char*;

inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;

inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_CAP_START = WM_USER;
// wParam: driver index 0..9. Non-zero when the window is now connected.
inline constexpr UINT WM_CAP_DRIVER_CONNECT = WM_CAP_START + 10;
// Copies the current frame to the clipboard as an image. Non-zero on success.
inline constexpr UINT WM_CAP_EDIT_COPY = WM_CAP_START + 30;
// wParam: non-zero switches the preview display on.
inline constexpr UINT WM_CAP_SET_PREVIEW = WM_CAP_START + 50;
// wParam: non-zero switches the overlay display on.
inline constexpr UINT WM_CAP_SET_OVERLAY = WM_CAP_START + 51;
// wParam: milliseconds between two preview frames.
inline constexpr UINT WM_CAP_SET_PREVIEWRATE = WM_CAP_START + 52;

static_assert(WM_CAP_DRIVER_CONNECT == 0x40A && WM_CAP_EDIT_COPY == 0x41E &&
              WM_CAP_SET_PREVIEW == 0x432 && WM_CAP_SET_OVERLAY == 0x433 &&
              WM_CAP_SET_PREVIEWRATE == 0x434);

// C linkage, as the platform's own functions have.
extern "C" {

// Creates a capture window as a child of hwndParent at the given place and
// size, not yet connected to any driver. Returns its handle, or null.
HWND capCreateCaptureWindowA(LPCSTR lpszWindowName, DWORD dwStyle, int x, int y, int nWidth,
                             int nHeight, HWND hwndParent, int nID);

// Non-zero while hWnd names a live window; null, stale and made-up handles are
// safe to pass.
BOOL IsWindow(HWND hWnd);

// Delivers a request to the window and returns its result; 0 for a window that
// does not exist or a message it does not know.
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

} // extern "C"
