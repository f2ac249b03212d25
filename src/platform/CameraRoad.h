#pragma once

// The one interface between the capture service and a road to cameras
// (v4l2/, pipewire/). The capture window and the stream registry know a
// camera only as a driver that some road opens, and a feed that hands
// frames to a sink; which road a camera takes is the road's business alone.

#include "FrameSink.h"

#include <compare>
#include <memory>
#include <string>

namespace platform {

// A camera that streams. Destroying it only asks the road to stop and
// returns at once: the road stops and closes the camera behind the windows,
// so that a slow driver or a stalled daemon holds no window up.
class CameraFeed {
public:
    virtual ~CameraFeed() = default;
};

class CameraRoad {
public:
    // Starts the camera that `id` names, its frames going to `sink` from a
    // thread of the road's own. Null when the camera refuses; `error` then
    // says why.
    virtual std::unique_ptr<CameraFeed> open(const std::string& id,
                                             const std::shared_ptr<FrameSink>& sink,
                                             std::string& error) const = 0;

protected:
    ~CameraRoad() = default;
};

// One entry of a search's driver list: a camera and the road to it.
struct Driver {
    const CameraRoad* road = nullptr;
    std::string id; // the road's own name for the camera

    auto operator<=>(const Driver&) const = default;
};

} // namespace platform
