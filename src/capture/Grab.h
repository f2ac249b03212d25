#pragma once

#include "Picture.h"
#include "vfw.h"

#include <QImage>

#include <optional>
#include <stdexcept>

class QMimeData;

namespace capture {

// A clipboard image that cannot become a picture. The message is for the user.
class GrabError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The largest clipboard image taken, in pixels: a 64-megapixel photo still
// fits, and a header that claims more is refused before anything is allocated.
// The fuzzing build sets a smaller one, so that inputs making tens of
// megapixels from a few bytes stay quick while every path to the limit is
// still taken.
#ifndef THRESHCAM_MAX_GRAB_PIXELS
#define THRESHCAM_MAX_GRAB_PIXELS (qint64{64} << 20)
#endif
inline constexpr qint64 kMaxGrabPixels = THRESHCAM_MAX_GRAB_PIXELS;

// Asks the capture window to put its current frame on the clipboard (if the
// window exists; its answer does not matter), then reads whatever image the
// clipboard holds, from this or any other program, as a 24-bit picture.
// Empty when the clipboard holds no image. Throws GrabError when the image is
// corrupt, too large or cannot be fetched.
std::optional<imaging::Picture> GrabFrame(HWND window);

// The image offered by clipboard data: null when there is none.
QImage ReadImage(const QMimeData& data);

// Any image as blue-green-red bytes, 3 per pixel: alpha is dropped, palettes
// and gray levels are expanded, 16-bit channels keep their high byte.
imaging::Picture PictureFromImage(const QImage& image);

} // namespace capture
