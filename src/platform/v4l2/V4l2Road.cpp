#include "V4l2Road.h"

#include "V4l2.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <thread>
#include <unistd.h>
#include <utility>

namespace platform::v4l2 {

namespace {

// A driver refuses a second owner of a device (EBUSY) until the first has
// closed it, and a capture closes its device on its own thread after its
// window has gone. A new connection to a device that is still stopping so
// waits for it, but no longer than this: a driver slow to stop then answers
// for itself.
constexpr auto kStoppingBound = std::chrono::milliseconds(500);

// The devices whose capture is stopping: asked to stop, or failed, and not
// closed yet.
class Stopping {
public:
    // Counts `device` as stopping, unless `begun` says it is already; both
    // the stop request and the capture thread's end call this.
    void begin(int device, bool& begun)
    {
        const std::lock_guard lock(mutex_);
        if (!std::exchange(begun, true))
            devices_.insert(device);
    }
    // After begin(), once the device is closed.
    void end(int device)
    {
        {
            const std::lock_guard lock(mutex_);
            devices_.erase(devices_.find(device));
        }
        closed_.notify_all();
    }
    void waitFor(int device)
    {
        std::unique_lock lock(mutex_);
        closed_.wait_for(lock, kStoppingBound, [&] { return !devices_.contains(device); });
    }

private:
    std::mutex mutex_;
    std::condition_variable closed_;
    std::multiset<int> devices_;
};

Stopping& stopping()
{
    static Stopping devices;
    return devices;
}

// One streaming device and the thread that takes its frames. The thread
// owns the device: when the feed goes it is only asked to stop, and stops,
// unmaps and closes the device itself. It keeps this object alive until it
// is done with it.
class Capture {
public:
    Capture(int device, std::unique_ptr<Stream> stream, std::shared_ptr<FrameSink> sink)
        : device_(device)
        , stream_(std::move(stream))
        , decoder_(stream_->layout())
        , sink_(std::move(sink))
        , wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {}

    bool valid() const noexcept { return wake_.valid(); }
    void run();
    void requestStop()
    {
        markStopping();
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

private:
    void markStopping() { stopping().begin(device_, stopping_); }
    // Waits up to `ms` for a stop request; true when one came.
    bool stopRequested(int ms) const
    {
        pollfd wake{wake_.get(), POLLIN, 0};
        return ::poll(&wake, 1, ms) > 0;
    }

    const int device_;
    std::unique_ptr<Stream> stream_;
    FrameDecoder decoder_;
    const std::shared_ptr<FrameSink> sink_;
    Descriptor wake_;       // an eventfd: readable means stop
    bool stopping_ = false; // guarded by stopping()'s lock
};

class Feed final : public CameraFeed {
public:
    explicit Feed(std::shared_ptr<Capture> capture)
        : capture_(std::move(capture))
    {}
    ~Feed() override { capture_->requestStop(); }

private:
    std::shared_ptr<Capture> capture_;
};

void Capture::run()
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
        Stream::Filled filled;
        const Stream::Status status = stream_->dequeue(filled);
        if (status == Stream::Status::Again) {
            idleMs = std::min(std::max(1, idleMs * 2), kLongestIdleMs);
            if (stopRequested(idleMs))
                break;
            continue;
        }
        if (status == Stream::Status::Transient) {
            fatal = !recover();
            continue;
        }
        if (status == Stream::Status::Fatal) {
            fatal = true; // gone, or answers EINTR for ever
            continue;
        }
        restarts = 0;
        idleMs = 0;
        // A frame that does not decode is dropped; the previous one stays.
        std::shared_ptr<Frame> frame = sink_->spareFrame();
        const bool decoded = !filled.damaged && decoder_.decode(filled.data, filled.size, *frame);
        fatal = !stream_->requeue(filled.index);
        if (decoded)
            sink_->deliver(std::move(frame));
    }
    // Stop, unmap and close here, so that a slow driver holds no one up. A
    // failure is told first: whoever sees the device closed also sees the
    // stream failed.
    markStopping();
    if (fatal)
        sink_->fail();
    stream_.reset();
    stopping().end(device_);
}

class Road final : public CameraRoad {
public:
    std::unique_ptr<CameraFeed> open(const std::string& id, const std::shared_ptr<FrameSink>& sink,
                                     std::string& error) const override
    {
        int number = -1;
        if (std::from_chars(id.data(), id.data() + id.size(), number).ec != std::errc{} ||
            number < 0) {
            error = "no such V4L2 device: " + id;
            return nullptr;
        }
        stopping().waitFor(number);
        std::unique_ptr<Stream> stream = Stream::open(number, error);
        if (!stream)
            return nullptr;
        auto capture = std::make_shared<Capture>(number, std::move(stream), sink);
        if (!capture->valid()) {
            error = std::string("eventfd: ") + std::strerror(errno);
            return nullptr;
        }
        std::thread([capture] { capture->run(); }).detach();
        return std::make_unique<Feed>(std::move(capture));
    }
};

} // namespace

const CameraRoad& road()
{
    static const Road instance;
    return instance;
}

Driver driver(int number)
{
    return {&road(), std::to_string(number)};
}

} // namespace platform::v4l2
