#include "CaptureStream.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

// The running streams by driver index (see the header). Weak, so that a
// stream's life is its windows' alone.
std::map<int, std::weak_ptr<CaptureStream>>& registry()
{
    static std::map<int, std::weak_ptr<CaptureStream>> streams;
    return streams;
}

} // namespace

std::shared_ptr<CaptureStream> CaptureStream::acquire(int index, std::string& error)
{
    auto& streams = registry();
    if (auto running = streams[index].lock(); running && !running->failed())
        return running;
    std::unique_ptr<v4l2::Stream> stream = v4l2::Stream::open(index, error);
    if (!stream)
        return nullptr;
    std::shared_ptr<CaptureStream> core(new CaptureStream(index, std::move(stream)));
    if (!core->wake_.valid()) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    std::thread([core] { core->run(); }).detach();
    // The windows share a pointer of their own: its last release only asks
    // the thread to stop, while `core` keeps the object for the thread.
    std::shared_ptr<CaptureStream> windows(core.get(),
                                           [core](CaptureStream* s) { s->requestStop(); });
    streams[index] = windows;
    return windows;
}

CaptureStream::CaptureStream(int index, std::unique_ptr<v4l2::Stream> stream)
    : index_(index)
    , layout_(stream->layout())
    , stream_(std::move(stream))
    , decoder_(layout_)
    , wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

void CaptureStream::requestStop() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

bool CaptureStream::stopRequested(int ms) const
{
    pollfd wake{wake_.get(), POLLIN, 0};
    return ::poll(&wake, 1, ms) > 0;
}

std::shared_ptr<const Frame> CaptureStream::takeNewest(std::uint64_t& seen) const
{
    std::lock_guard lock(mutex_);
    if (!ready_ || sequence_ == seen)
        return nullptr;
    seen = sequence_;
    return ready_;
}

std::shared_ptr<Frame> CaptureStream::spareFrame()
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

void CaptureStream::run()
{
    // A driver error that may pass (EIO, or POLLERR from a device that is
    // still there) restarts the stream, this many times without a frame
    // between before the device counts as failed.
    constexpr int kRestarts = 3;
    // A device that says readable but has nothing to dequeue would make this
    // loop spin; it is waited for instead, longer each time, up to this.
    constexpr int kLongestIdleMs = 200;

    pollfd fds[2] = {{stream_->fd(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    int restarts = 0;
    int idleMs = 0;
    bool fatal = false;
    auto recover = [&] {
        return ++restarts <= kRestarts && stream_->restart();
    };
    while (!fatal) {
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0) {
            fatal = errno != EINTR;
            continue;
        }
        if (fds[1].revents)
            break; // asked to stop
        if (fds[0].revents & (POLLHUP | POLLNVAL)) {
            fatal = true; // unplugged
            continue;
        }
        if (fds[0].revents & POLLERR) {
            fatal = !recover();
            continue;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        v4l2::Stream::Filled filled;
        const v4l2::Stream::Status status = stream_->dequeue(filled);
        if (status == v4l2::Stream::Status::Again) {
            idleMs = std::min(std::max(1, idleMs * 2), kLongestIdleMs);
            if (stopRequested(idleMs))
                break;
            continue;
        }
        if (status == v4l2::Stream::Status::Transient) {
            fatal = !recover();
            continue;
        }
        if (status == v4l2::Stream::Status::Fatal) {
            fatal = true; // gone, or answers EINTR for ever
            continue;
        }
        restarts = 0;
        idleMs = 0;
        // A frame that does not decode is dropped; the previous one stays.
        std::shared_ptr<Frame> frame = spareFrame();
        const bool decoded = !filled.damaged && decoder_.decode(filled.data, filled.size, *frame);
        fatal = !stream_->requeue(filled.index);
        if (decoded) {
            std::lock_guard lock(mutex_);
            ready_ = std::move(frame);
            ++sequence_;
        }
    }
    // Stop, unmap and close here, so that a slow driver holds no one up.
    stream_.reset();
    if (fatal)
        failed_.store(true, std::memory_order_release);
}

} // namespace platform
