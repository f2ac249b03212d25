#pragma once

// The drivers a search offers, made afresh for each search: the cameras
// that a PipeWire daemon publishes come first, in the desktop's order, then
// /dev/video0 .. /dev/video9 less those that a PipeWire camera already
// stands for, so that each camera appears once. With no daemon, or with
// THRESHCAM_NO_PIPEWIRE set, driver i is /dev/video<i>.

#include "CameraRoad.h"

#include <cstddef>
#include <vector>

namespace platform {

std::vector<Driver> findDrivers(std::size_t limit);

} // namespace platform
