#include "CaptureStream.h"

#include <map>
#include <utility>

namespace platform {

namespace {

// The running streams by driver (see the header). Weak, so that a stream's
// life is its windows' alone.
std::map<Driver, std::weak_ptr<CaptureStream>>& registry()
{
    static std::map<Driver, std::weak_ptr<CaptureStream>> streams;
    return streams;
}

} // namespace

std::shared_ptr<CaptureStream> CaptureStream::acquire(const Driver& driver, std::string& error)
{
    if (!driver.road)
        return nullptr;
    auto& streams = registry();
    std::erase_if(streams, [](const auto& stream) { return stream.second.expired(); });
    std::weak_ptr<CaptureStream>& entry = streams[driver];
    if (auto running = entry.lock(); running && !running->failed())
        return running;
    auto sink = std::make_shared<FrameSink>();
    std::unique_ptr<CameraFeed> feed = driver.road->open(driver.id, sink, error);
    if (!feed)
        return nullptr;
    std::shared_ptr<CaptureStream> stream(
        new CaptureStream(driver, std::move(sink), std::move(feed)));
    entry = stream;
    return stream;
}

CaptureStream::CaptureStream(Driver driver, std::shared_ptr<FrameSink> sink,
                             std::unique_ptr<CameraFeed> feed)
    : driver_(std::move(driver))
    , sink_(std::move(sink))
    , feed_(std::move(feed))
{}

CaptureStream::~CaptureStream() = default;

std::shared_ptr<const Frame> CaptureStream::takeNewest(std::uint64_t& seen) const
{
    return sink_->takeNewest(seen);
}

} // namespace platform
