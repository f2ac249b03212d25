#include "CaptureStream.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <poll.h>
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
    std::shared_ptr<CaptureStream> started(new CaptureStream(index, std::move(stream)));
    if (!started->wake_.valid()) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    streams[index] = started;
    return started;
}

CaptureStream::CaptureStream(int index, std::unique_ptr<v4l2::Stream> stream)
    : index_(index)
    , layout_(stream->layout())
    , stream_(std::move(stream))
    , decoder_(layout_)
    , wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wake_.valid())
        thread_ = std::thread(&CaptureStream::run, this);
}

CaptureStream::~CaptureStream()
{
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
        // Bounded by one frame's decode: the thread waits nowhere else.
        thread_.join();
    }
}

bool CaptureStream::takeNewest(std::uint64_t& seen, QImage& image) const
{
    std::lock_guard lock(mutex_);
    if (sequence_ == seen || ready_.bits.empty())
        return false;
    if (image.width() != ready_.width || image.height() != ready_.height ||
        image.format() != QImage::Format_BGR888)
        image = QImage(ready_.width, ready_.height, QImage::Format_BGR888);
    if (image.isNull())
        return false;
    const std::size_t row = static_cast<std::size_t>(ready_.width) * 3;
    for (int y = 0; y < ready_.height; ++y)
        std::memcpy(image.scanLine(y), ready_.scanLine(y), row);
    seen = sequence_;
    return true;
}

void CaptureStream::run()
{
    pollfd fds[2] = {{stream_->fd(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    bool fatal = false;
    while (!fatal) {
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0) {
            fatal = errno != EINTR;
            continue;
        }
        if (fds[1].revents)
            break; // asked to stop
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            fatal = true; // unplugged, or the driver gave up
            continue;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        v4l2::Stream::Filled filled;
        const v4l2::Stream::Status status = stream_->dequeue(filled);
        if (status == v4l2::Stream::Status::Again)
            continue;
        if (status == v4l2::Stream::Status::Fatal) {
            fatal = true;
            continue;
        }
        // A frame that does not decode is dropped; the previous one stays.
        const bool decoded =
            !filled.damaged && decoder_.decode(filled.data, filled.size, decoding_);
        fatal = !stream_->requeue(filled.index);
        if (decoded) {
            std::lock_guard lock(mutex_);
            std::swap(decoding_, ready_);
            ++sequence_;
        }
    }
    // Stop, unmap and close here, so that a slow driver holds no one up.
    stream_.reset();
    if (fatal)
        failed_.store(true, std::memory_order_release);
}

} // namespace platform
