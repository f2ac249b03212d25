#pragma once

// One streaming camera as the capture windows see it: a driver of some
// road, its feed, and the sink its frames arrive in (see FrameSink.h).
//
// Streams are shared: the service keeps a registry of the streams that run,
// keyed by driver, so that a second capture window connecting to a camera
// that already streams for another window gets the same live picture
// instead of the device's "busy". A stream stops when its last window lets
// go of it; letting go only asks the road to stop and returns at once. The
// registry is only touched from the user-interface thread.

#include "CameraRoad.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class CaptureStream {
public:
    // The running stream of `driver`, started if none runs. Null when the
    // camera refuses; `error` then says why.
    static std::shared_ptr<CaptureStream> acquire(const Driver& driver, std::string& error);

    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;
    ~CaptureStream();

    const Driver& driver() const noexcept { return driver_; }

    // True once the camera has failed (unplugged, its daemon gone, or any
    // other fatal error); no frame comes any more.
    bool failed() const noexcept { return sink_->failed(); }

    // The newest frame when it is newer than `seen`, which is then updated;
    // null when there is nothing newer.
    std::shared_ptr<const Frame> takeNewest(std::uint64_t& seen) const;

private:
    CaptureStream(Driver driver, std::shared_ptr<FrameSink> sink, std::unique_ptr<CameraFeed> feed);

    const Driver driver_;
    const std::shared_ptr<FrameSink> sink_;
    std::unique_ptr<CameraFeed> feed_;
};

} // namespace platform
