#pragma once

// The V4L2 road: capture devices /dev/video0 .. /dev/video9, each streamed
// by a thread of its own.

#include "CameraRoad.h"

#include <string>

namespace platform::v4l2 {

// The road; a camera's id is its device number, "0" .. "9".
const CameraRoad& road();

// The driver for /dev/video<number>.
Driver driver(int number);

} // namespace platform::v4l2
