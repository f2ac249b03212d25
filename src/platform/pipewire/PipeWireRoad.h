#pragma once

// The PipeWire road: the camera nodes that a PipeWire daemon publishes
// (media.class Video/Source, media.role Camera), each streamed on a
// PipeWire loop thread of its own.

#include "CameraRoad.h"

#include <vector>

namespace platform::pipewire {

struct Camera {
    Driver driver;
    // N when the node stands for /dev/videoN, else -1.
    int v4l2Device = -1;
};

// The daemon's cameras that offer a format the frame decoder reads: the
// desktop's default camera first, then by priority.session from high to
// low, then by object.serial. Empty when THRESHCAM_NO_PIPEWIRE is set, or
// when no daemon answers within a short bounded wait.
std::vector<Camera> findCameras();

// The road; a camera's id is its node's object.serial.
const CameraRoad& road();

} // namespace platform::pipewire
