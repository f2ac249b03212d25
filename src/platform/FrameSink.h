#pragma once

// Where a camera's frames go, whatever road they come by. One thread, the
// road's, decodes into a spare frame and hands it over under a mutex; the
// windows pick the newest frame up on their own timers, so the
// user-interface thread never waits on a camera. Frames are shared, not
// copied: a window holds the frame it shows for as long as it shows it, and
// the road never writes to a frame that anyone else still holds.

#include "FrameDecoder.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class FrameSink {
public:
    // The road's thread only: a frame to decode into that no window holds.
    std::shared_ptr<Frame> spareFrame();
    // The road's thread only: `frame` is now the newest.
    void deliver(std::shared_ptr<Frame> frame);
    // The camera is gone; no frame comes any more. Its last frame stays.
    void fail() noexcept { failed_.store(true, std::memory_order_release); }

    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
    // The newest frame when it is newer than `seen`, which is then updated;
    // null when there is nothing newer.
    std::shared_ptr<const Frame> takeNewest(std::uint64_t& seen) const;

private:
    // The road thread's: every frame it has made that may be used again.
    std::vector<std::shared_ptr<Frame>> frames_;
    mutable std::mutex mutex_; // guards ready_ and sequence_
    std::shared_ptr<const Frame> ready_;
    std::uint64_t sequence_ = 0;
    std::atomic<bool> failed_{false};
};

} // namespace platform
