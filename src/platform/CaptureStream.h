#pragma once

// One streaming camera and the thread that takes its frames. The thread
// only waits, dequeues, decodes into a spare frame and hands it over under a
// mutex; the windows pick the newest frame up on their own timers, so the
// user-interface thread never waits on the device. Frames are shared, not
// copied: a window holds the frame it shows for as long as it shows it, so a
// tick costs the same for any camera, and a copy request places exactly the
// frame on screen.
//
// The thread owns the device: when the last window lets go it is only asked
// to stop, and stops, unmaps and closes the device itself, so that a driver
// slow to do so, or a frame in the middle of its decode, holds no window up.
// The thread keeps the object alive until it is done with it.
//
// Streams are shared: the service keeps a registry, keyed by driver index, of
// the streams that run, so that a second capture window connecting to a
// camera that already streams for another window gets the same live picture
// instead of the device's "busy". A stream stops when its last window lets
// go of it. The registry is only touched from the user-interface thread.

#include "FrameDecoder.h"
#include "V4l2.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class CaptureStream {
public:
    // The running stream of driver `index`, started if none runs. Null when
    // the device refuses; `error` then says why. Letting go of the last
    // pointer asks the thread to stop and returns at once.
    static std::shared_ptr<CaptureStream> acquire(int index, std::string& error);

    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    int index() const noexcept { return index_; }
    const FrameLayout& layout() const noexcept { return layout_; }

    // True once the device has failed (unplugged, or any other fatal error);
    // it is closed by the time this says so, and no frame comes any more.
    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

    // The newest frame when it is newer than `seen`, which is then updated;
    // null when there is nothing newer. The thread never writes to a frame
    // that anyone else still holds.
    std::shared_ptr<const Frame> takeNewest(std::uint64_t& seen) const;

private:
    CaptureStream(int index, std::unique_ptr<v4l2::Stream> stream);
    void run();
    void requestStop() const;
    // Waits up to `ms` for a stop request; true when one came.
    bool stopRequested(int ms) const;
    // A frame to decode into that no window holds.
    std::shared_ptr<Frame> spareFrame();

    const int index_;
    const FrameLayout layout_;
    std::unique_ptr<v4l2::Stream> stream_; // the thread's alone once it runs
    FrameDecoder decoder_;
    // The thread's: every frame it has made that may be used again.
    std::vector<std::shared_ptr<Frame>> frames_;
    mutable std::mutex mutex_; // guards ready_ and sequence_
    std::shared_ptr<const Frame> ready_;
    std::uint64_t sequence_ = 0;
    std::atomic<bool> failed_{false};
    v4l2::Descriptor wake_; // an eventfd: readable means stop
};

} // namespace platform
