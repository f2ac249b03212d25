#include "FrameSink.h"

namespace platform {

std::shared_ptr<Frame> FrameSink::spareFrame()
{
    // A frame only this list holds can be held by no one else: new holders
    // copy ready_, which is one of the others. Past the first such frame,
    // more are memory the camera no longer needs.
    std::shared_ptr<Frame> spare;
    for (auto it = frames_.begin(); it != frames_.end();) {
        if (it->use_count() != 1) {
            ++it;
        } else if (!spare) {
            spare = *it++;
        } else {
            it = frames_.erase(it);
        }
    }
    // Whoever let go of the spare last had finished reading it.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (!spare)
        spare = frames_.emplace_back(std::make_shared<Frame>());
    return spare;
}

void FrameSink::deliver(std::shared_ptr<Frame> frame)
{
    std::lock_guard lock(mutex_);
    ready_ = std::move(frame);
    ++sequence_;
}

std::shared_ptr<const Frame> FrameSink::takeNewest(std::uint64_t& seen) const
{
    std::lock_guard lock(mutex_);
    if (!ready_ || sequence_ == seen)
        return nullptr;
    seen = sequence_;
    return ready_;
}

} // namespace platform
