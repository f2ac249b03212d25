#include "PipeWireRoad.h"

#include "PipeWire.h"
#include "SpaFormats.h"

#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace platform::pipewire {

void initialise()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

namespace {

// A camera that has not settled on a format in this time is refused, and
// the search goes on.
constexpr auto kNegotiationBound = std::chrono::milliseconds(1000);
// A producer that floods gets no more decodes than about 33 a second: the
// windows show one frame a 33 ms preview tick, and a camera at 30 fps is
// never held up.
constexpr auto kShortestInterval = std::chrono::milliseconds(30);

// One data block of a buffer that came as a descriptor, mapped by us, so
// that its size is checked against the memory itself before anything is
// read: a producer's word alone is not trusted.
struct Mapping {
    void* address = MAP_FAILED;
    std::size_t length = 0;
    int dmaBuf = -1; // the descriptor to sync around a read, for DmaBuf

    ~Mapping()
    {
        if (address != MAP_FAILED)
            ::munmap(address, length);
    }
    const std::uint8_t* data(std::uint32_t offset) const
    {
        return address == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(address) + offset;
    }
};

// Maps the block when its memory holds all that it claims and cannot
// shrink under us (a memfd that its producer might truncate would fault).
void mapBlock(const spa_data& d, Mapping& m)
{
    if (d.fd < 0 || (d.type != SPA_DATA_MemFd && d.type != SPA_DATA_DmaBuf))
        return;
    const int fd = static_cast<int>(d.fd);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    const std::size_t length = std::size_t{d.mapoffset} + d.maxsize;
    if (end < 0 || static_cast<std::size_t>(end) < length || length == 0)
        return;
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals >= 0 && !(seals & F_SEAL_SHRINK))
        return;
    void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
        return;
    m.address = address;
    m.length = length;
    if (d.type == SPA_DATA_DmaBuf)
        m.dmaBuf = fd;
}

void syncDmaBuf(int fd, std::uint64_t flags)
{
    dma_buf_sync sync{};
    sync.flags = flags | DMA_BUF_SYNC_READ;
    // Memory that is not a dma-buf says ENOTTY; there is nothing to sync then.
    while (::ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync) < 0 && errno == EINTR) {
    }
}

// The connection, the stream and what its loop thread decodes into. The
// loop thread alone touches the stream's buffers and the decoder.
class Capture {
public:
    explicit Capture(std::shared_ptr<FrameSink> sink)
        : sink_(std::move(sink))
    {}
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Connects to camera `serial` and waits, bounded, for a format.
    bool start(const std::string& serial, std::string& error);
    // Whether the daemon answered a round trip during start().
    bool daemonAnswered() const { return answered_; }
    // Stops the loop and lets go of everything; off the user-interface
    // thread, since it may meet a daemon that does not answer.
    void stop();

private:
    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onAddBuffer(void* data, pw_buffer* buffer);
    static void onRemoveBuffer(void* data, pw_buffer* buffer);
    static void onProcess(void* data);
    static void onTimer(void* data, std::uint64_t expirations);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onCoreDone(void* data, std::uint32_t id, int seq);

    void fail();
    void readNewest();
    // Decodes the buffer and hands the frame over; false when it is damaged.
    bool read(pw_buffer* buffer);

    const std::shared_ptr<FrameSink> sink_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_source* timer_ = nullptr; // reads what a flood left waiting
    bool timerSet_ = false;
    spa_hook coreListener_{};
    spa_hook streamListener_{};
    // Set on the loop thread, read by start() under the loop's lock.
    std::optional<Negotiated> format_;
    bool failed_ = false;
    int sync_ = -1;
    bool answered_ = false;
    std::unique_ptr<FrameDecoder> decoder_;
    std::chrono::steady_clock::time_point lastDecode_{};
};

Capture::~Capture()
{
    stop();
}

void Capture::stop()
{
    if (loop_)
        pw_thread_loop_stop(loop_);
    // The loop no longer runs: what follows is this thread's alone.
    if (timer_)
        pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
    timer_ = nullptr;
    if (stream_)
        pw_stream_destroy(stream_); // gives each buffer back through onRemoveBuffer
    if (core_)
        pw_core_disconnect(core_);
    if (context_)
        pw_context_destroy(context_);
    if (loop_)
        pw_thread_loop_destroy(loop_);
    stream_ = nullptr;
    core_ = nullptr;
    context_ = nullptr;
    loop_ = nullptr;
}

void Capture::fail()
{
    failed_ = true;
    sink_->fail();
    pw_thread_loop_signal(loop_, false);
}

void Capture::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*)
{
    // A camera removed, or refused: with no reconnecting, the stream ends.
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
        static_cast<Capture*>(data)->fail();
}

void Capture::onCoreError(void* data, std::uint32_t id, int, int, const char*)
{
    // The daemon gone (EPIPE), or the core refusing us.
    if (id == PW_ID_CORE)
        static_cast<Capture*>(data)->fail();
}

void Capture::onCoreDone(void* data, std::uint32_t id, int seq)
{
    auto* self = static_cast<Capture*>(data);
    if (id == PW_ID_CORE && seq == self->sync_)
        self->answered_ = true;
}

void Capture::onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    auto* self = static_cast<Capture*>(data);
    if (id != SPA_PARAM_Format || !param)
        return;
    self->format_ = negotiated(param);
    if (!self->format_) {
        pw_stream_set_error(self->stream_, -EINVAL, "format not decoded");
        return;
    }
    // Any memory type: descriptors are mapped here, checked against their size.
    std::uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd) |
                                 (1 << SPA_DATA_DmaBuf))))};
    pw_stream_update_params(self->stream_, params, 1);
    pw_thread_loop_signal(self->loop_, false);
}

void Capture::onAddBuffer(void*, pw_buffer* buffer)
{
    const spa_buffer* buf = buffer->buffer;
    auto* maps = new Mapping[FramePlanes::kMost];
    for (std::uint32_t i = 0; i < buf->n_datas && i < FramePlanes::kMost; ++i)
        if (!buf->datas[i].data)
            mapBlock(buf->datas[i], maps[i]);
    buffer->user_data = maps;
}

void Capture::onRemoveBuffer(void*, pw_buffer* buffer)
{
    delete[] static_cast<Mapping*>(buffer->user_data);
    buffer->user_data = nullptr;
}

void Capture::onProcess(void* data)
{
    auto* self = static_cast<Capture*>(data);
    // Too soon after the last frame: the buffers stay with us until the
    // timer, so that a producer that floods runs out of them and waits.
    // A driver that floods wakes us each cycle: the timer is set once.
    const auto due = self->lastDecode_ + kShortestInterval;
    const auto now = std::chrono::steady_clock::now();
    if (now < due) {
        if (!self->timerSet_) {
            const auto left = std::chrono::nanoseconds(due - now).count();
            timespec value{0, std::max<long>(1, long(left))};
            pw_loop_update_timer(pw_thread_loop_get_loop(self->loop_), self->timer_, &value,
                                 nullptr, false);
            self->timerSet_ = true;
        }
        return;
    }
    self->readNewest();
}

void Capture::onTimer(void* data, std::uint64_t)
{
    auto* self = static_cast<Capture*>(data);
    self->timerSet_ = false;
    onProcess(self);
}

void Capture::readNewest()
{
    // The newest buffer that decodes is shown; the older ones go straight
    // back. A damaged newest one does not cost a good one that came before.
    pw_buffer* waiting[16];
    std::size_t count = 0;
    while (count < std::size(waiting) && (waiting[count] = pw_stream_dequeue_buffer(stream_)))
        ++count;
    if (count == 0)
        return;
    lastDecode_ = std::chrono::steady_clock::now();
    for (std::size_t i = count; i-- > 0;)
        if (read(waiting[i]))
            break;
    for (std::size_t i = 0; i < count; ++i)
        pw_stream_queue_buffer(stream_, waiting[i]);
}

// Every field of the buffer is the producer's word: each block must hold its
// chunk, and the rows what the format needs, or the frame is dropped and
// the previous one stays.
bool Capture::read(pw_buffer* buffer)
{
    if (!format_)
        return false;
    const Negotiated& format = *format_;
    const spa_buffer* buf = buffer->buffer;
    const auto* maps = static_cast<const Mapping*>(buffer->user_data);
    // Planes as blocks of their own, or all in the first one.
    const int planes =
        buf->n_datas >= static_cast<std::uint32_t>(format.planes) ? format.planes : 1;
    if (buf->n_datas < 1 || !maps)
        return false;
    FramePlanes in;
    in.count = planes;
    int dmaBufs[FramePlanes::kMost];
    int syncs = 0;
    for (int p = 0; p < planes; ++p) {
        const spa_data& d = buf->datas[p];
        const std::uint8_t* base =
            d.data ? static_cast<const std::uint8_t*>(d.data) : maps[p].data(d.mapoffset);
        const spa_chunk* chunk = d.chunk;
        if (!base || !chunk || (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) || chunk->stride < 0 ||
            chunk->offset > d.maxsize || chunk->size > d.maxsize - chunk->offset)
            return false;
        in.plane[p] = {base + chunk->offset, chunk->size, static_cast<std::size_t>(chunk->stride)};
        if (!d.data && maps[p].dmaBuf >= 0)
            dmaBufs[syncs++] = maps[p].dmaBuf;
    }

    const FrameLayout layout = bufferLayout(format, in);
    if (!decoder_ || decoder_->layout() != layout)
        decoder_ = std::make_unique<FrameDecoder>(layout);

    std::shared_ptr<Frame> frame = sink_->spareFrame();
    for (int i = 0; i < syncs; ++i)
        syncDmaBuf(dmaBufs[i], DMA_BUF_SYNC_START);
    const bool decoded = decoder_->decode(in, *frame);
    for (int i = 0; i < syncs; ++i)
        syncDmaBuf(dmaBufs[i], DMA_BUF_SYNC_END);
    if (decoded)
        sink_->deliver(std::move(frame));
    return decoded;
}

bool Capture::start(const std::string& serial, std::string& error)
{
    initialise();
    loop_ = pw_thread_loop_new("threshcam-camera", nullptr);
    if (!loop_) {
        error = "pw_thread_loop_new failed";
        return false;
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_ || pw_thread_loop_start(loop_) < 0) {
        error = "no PipeWire context";
        return false;
    }
    pw_thread_loop_lock(loop_);
    timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), onTimer, this);
    struct Unlock {
        pw_thread_loop* loop;
        ~Unlock() { pw_thread_loop_unlock(loop); }
    } unlock{loop_};

    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        error = std::string("no PipeWire daemon: ") + std::strerror(errno);
        return false;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = onCoreError;
        e.done = onCoreDone;
        return e;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    sync_ = pw_core_sync(core_, PW_ID_CORE, 0);

    stream_ = pw_stream_new(core_, "threshcam",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                              PW_KEY_TARGET_OBJECT, serial.c_str(), nullptr));
    if (!stream_) {
        error = std::string("pw_stream_new: ") + std::strerror(errno);
        return false;
    }
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = onStateChanged;
        e.param_changed = onParamChanged;
        e.add_buffer = onAddBuffer;
        e.remove_buffer = onRemoveBuffer;
        e.process = onProcess;
        return e;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    std::uint8_t buffer[4096];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    std::vector<const spa_pod*> formats = offeredFormats(b);
    // Not PW_STREAM_FLAG_MAP_BUFFERS: blocks are mapped here, with their sizes checked.
    if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                       PW_STREAM_FLAG_DONT_RECONNECT),
                          formats.data(), static_cast<std::uint32_t>(formats.size())) < 0) {
        error = "pw_stream_connect failed";
        return false;
    }
    timespec deadline{};
    pw_thread_loop_get_time(
        loop_, &deadline,
        std::chrono::duration_cast<std::chrono::nanoseconds>(kNegotiationBound).count());
    while (!format_ && !failed_)
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT)
            break;
    if (!format_ || failed_) {
        error = failed_ ? "the camera went away" : "the camera settled on no format we decode";
        return false;
    }
    return true;
}

class Feed final : public CameraFeed {
public:
    explicit Feed(std::unique_ptr<Capture> capture)
        : capture_(std::move(capture))
    {}
    ~Feed() override { release(std::move(capture_)); }

    // Stops behind the caller, so that no window waits on the daemon.
    static void release(std::unique_ptr<Capture> capture)
    {
        std::thread([capture = std::move(capture)] { capture->stop(); }).detach();
    }

private:
    std::unique_ptr<Capture> capture_;
};

class Road final : public CameraRoad {
public:
    std::unique_ptr<CameraFeed> open(const std::string& id, const std::shared_ptr<FrameSink>& sink,
                                     std::string& error) const override
    {
        // A daemon that has just let one camera's bound run out without a
        // word costs no second wait in the same search.
        if (std::chrono::steady_clock::now() < silentUntil_.load()) {
            error = "the PipeWire daemon does not answer";
            return nullptr;
        }
        auto capture = std::make_unique<Capture>(sink);
        if (!capture->start(id, error)) {
            if (!capture->daemonAnswered())
                silentUntil_ = std::chrono::steady_clock::now() + kSilence;
            Feed::release(std::move(capture));
            return nullptr;
        }
        return std::make_unique<Feed>(std::move(capture));
    }

private:
    static constexpr std::chrono::seconds kSilence{2};
    // When the daemon last failed to answer, plus kSilence.
    mutable std::atomic<std::chrono::steady_clock::time_point> silentUntil_{};
};

} // namespace

const CameraRoad& road()
{
    static const Road instance;
    return instance;
}

} // namespace platform::pipewire
