#include "PipeWireRoad.h"

#include "PipeWire.h"
#include "SpaFormats.h"

#include <linux/dma-buf.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/vfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

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
// windows show one frame a 33 ms preview tick. A frame a little early after
// a late one still counts, so that a camera at 30 fps keeps every frame.
constexpr auto kShortestInterval = std::chrono::milliseconds(30);

// The data blocks of one buffer that came as descriptors. A dma-buf keeps its
// size for life: it is mapped once, checked against that size. Any other
// descriptor (a memfd, or a file that a producer calls a dma-buf) may be cut
// short by its producer at any time, which would fault a mapping: it is read
// with pread instead, checked against what pread returns.
struct Blocks {
    struct Block {
        int fd = -1; // to read, or the dma-buf to sync around a read
        void* address = MAP_FAILED;
        std::size_t length = 0;
    };
    Block block[FramePlanes::kMost];

    Blocks() = default;
    Blocks(const Blocks&) = delete;
    Blocks& operator=(const Blocks&) = delete;
    ~Blocks()
    {
        for (const Block& b : block)
            if (b.address != MAP_FAILED)
                ::munmap(b.address, b.length);
    }
};

void prepareBlock(const spa_data& d, Blocks::Block& b)
{
    if (d.data || d.fd < 0 || (d.type != SPA_DATA_MemFd && d.type != SPA_DATA_DmaBuf))
        return;
    const int fd = static_cast<int>(d.fd);
    struct statfs fs {};
    if (d.type != SPA_DATA_DmaBuf || ::fstatfs(fd, &fs) != 0 || fs.f_type != DMA_BUF_MAGIC) {
        b.fd = fd;
        return;
    }
    const off_t end = ::lseek(fd, 0, SEEK_END);
    const std::size_t length = std::size_t{d.mapoffset} + d.maxsize;
    if (end < 0 || static_cast<std::size_t>(end) < length || length == 0)
        return;
    void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
        return;
    b.fd = fd;
    b.address = address;
    b.length = length;
}

// Reads `size` bytes at `offset` into `out`; false when the file holds fewer
// (its producer cut it short) or cannot be read at all.
bool readBlock(int fd, std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out)
{
    out.resize(size);
    std::size_t done = 0;
    for (int interrupted = 0; done < size;) {
        const ssize_t n = ::pread(fd, out.data() + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR && ++interrupted < 3)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

void syncDmaBuf(int fd, std::uint64_t flags)
{
    dma_buf_sync sync{};
    sync.flags = flags | DMA_BUF_SYNC_READ;
    // Memory that is not a dma-buf says ENOTTY; there is nothing to sync then.
    while (::ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync) < 0 && errno == EINTR) {
    }
}

// The connection, the stream and what it decodes into. The stream's
// process runs on PipeWire's data thread, inside the cycle that brings the
// buffer: that thread alone touches the stream's buffers and the decoder,
// until stop() has destroyed the stream. The rest runs on the loop thread.
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
    bool daemonAnswered() const { return answered_.load(); }
    // Stops the loop and lets go of everything, also after a start() that
    // failed half-way; off the user-interface thread, since it may meet a
    // daemon that does not answer.
    void stop();

private:
    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onAddBuffer(void* data, pw_buffer* buffer);
    static void onRemoveBuffer(void* data, pw_buffer* buffer);
    static void onProcess(void* data);
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
    spa_hook coreListener_{};
    spa_hook streamListener_{};
    std::optional<Negotiated> currentFormat() const
    {
        const std::lock_guard lock(formatMutex_);
        return format_;
    }

    // Set on the loop thread; read by start() and by the data thread.
    mutable std::mutex formatMutex_;
    std::optional<Negotiated> format_;
    bool failed_ = false;
    int sync_ = -1;
    // Set on the loop thread, read by open() once start() has let go of the lock.
    std::atomic<bool> answered_{false};
    // The blocks of every buffer the stream has now; the stream's own list
    // is gone once stop() has taken our listener off it. Buffers come and go
    // on the loop thread while the data thread reads them: the mutex keeps a
    // buffer's blocks, and its user_data, from going during a read.
    std::mutex blocksMutex_;
    std::vector<std::unique_ptr<Blocks>> blocks_;
    // What blocks read with pread are read into, one a plane, kept for the next frame.
    std::vector<std::uint8_t> copies_[FramePlanes::kMost];
    std::unique_ptr<FrameDecoder> decoder_;
    std::chrono::steady_clock::time_point nextDecode_{};
};

Capture::~Capture()
{
    stop();
}

void Capture::stop()
{
    if (!loop_)
        return;
    // While the loop still runs, under its lock: no callback of ours runs
    // on the loop thread, and once the listeners are off and the stream is
    // gone (which waits for the data thread's cycle) none runs anywhere.
    pw_thread_loop_lock(loop_);
    spa_hook_remove(&streamListener_);
    spa_hook_remove(&coreListener_);
    spa_zero(streamListener_);
    spa_zero(coreListener_);
    if (stream_)
        pw_stream_destroy(stream_);
    stream_ = nullptr;
    {
        const std::lock_guard lock(blocksMutex_);
        blocks_.clear();
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    // The loop no longer runs and nothing of ours listens: what follows is
    // this thread's alone.
    if (core_)
        pw_core_disconnect(core_);
    if (context_)
        pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
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
        self->answered_.store(true);
}

void Capture::onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    auto* self = static_cast<Capture*>(data);
    if (id != SPA_PARAM_Format || !param)
        return;
    const std::optional<Negotiated> format = negotiated(param);
    {
        const std::lock_guard lock(self->formatMutex_);
        self->format_ = format;
    }
    if (!format) {
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

void Capture::onAddBuffer(void* data, pw_buffer* buffer)
{
    auto* self = static_cast<Capture*>(data);
    const spa_buffer* buf = buffer->buffer;
    auto blocks = std::make_unique<Blocks>();
    for (std::uint32_t i = 0; i < buf->n_datas && i < FramePlanes::kMost; ++i)
        prepareBlock(buf->datas[i], blocks->block[i]);
    const std::lock_guard lock(self->blocksMutex_);
    buffer->user_data = blocks.get();
    self->blocks_.push_back(std::move(blocks));
}

void Capture::onRemoveBuffer(void* data, pw_buffer* buffer)
{
    auto* self = static_cast<Capture*>(data);
    const std::lock_guard lock(self->blocksMutex_);
    std::erase_if(self->blocks_, [&](const auto& b) { return b.get() == buffer->user_data; });
    buffer->user_data = nullptr;
}

void Capture::onProcess(void* data)
{
    static_cast<Capture*>(data)->readNewest();
}

void Capture::readNewest()
{
    // Every buffer goes back before this returns, on the data thread, in the
    // cycle that brought it. A producer that starts a cycle only with a
    // buffer to fill (GStreamer's pipewiresink, a camera's driver) gets its
    // buffers back only in cycles: buffers that we kept for later, or that
    // waited for another thread to take them, left it with none after a
    // burst, stopped for good.
    pw_buffer* waiting[16];
    std::size_t count = 0;
    while (count < std::size(waiting) && (waiting[count] = pw_stream_dequeue_buffer(stream_)))
        ++count;
    // A flood is thinned here: what comes too soon goes back unread.
    const auto now = std::chrono::steady_clock::now();
    if (count > 0 && now >= nextDecode_) {
        nextDecode_ = std::max(nextDecode_, now - kShortestInterval) + kShortestInterval;
        // The newest buffer that decodes is shown. A damaged newest one does
        // not cost a good one that came before.
        for (std::size_t i = count; i-- > 0;)
            if (read(waiting[i]))
                break;
    }
    for (std::size_t i = 0; i < count; ++i)
        pw_stream_queue_buffer(stream_, waiting[i]);
}

// Every field of the buffer is the producer's word: each block must hold its
// chunk, and the rows what the format needs, or the frame is dropped and
// the previous one stays.
bool Capture::read(pw_buffer* buffer)
{
    const std::optional<Negotiated> current = currentFormat();
    if (!current)
        return false;
    const Negotiated& format = *current;
    const std::lock_guard lock(blocksMutex_);
    const spa_buffer* buf = buffer->buffer;
    const auto* blocks = static_cast<const Blocks*>(buffer->user_data);
    // Planes as blocks of their own, or all in the first one.
    const int planes =
        buf->n_datas >= static_cast<std::uint32_t>(format.planes) ? format.planes : 1;
    if (buf->n_datas < 1 || !blocks)
        return false;
    FramePlanes in;
    in.count = planes;
    int dmaBufs[FramePlanes::kMost];
    int syncs = 0;
    for (int p = 0; p < planes; ++p) {
        const spa_data& d = buf->datas[p];
        const Blocks::Block& block = blocks->block[p];
        if (!d.chunk)
            return false;
        // Once: the producer may write the chunk while we read it.
        const spa_chunk chunk = *d.chunk;
        if ((chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) || chunk.stride < 0 ||
            chunk.offset > d.maxsize || chunk.size > d.maxsize - chunk.offset)
            return false;
        const std::uint8_t* bytes = nullptr;
        if (d.data) {
            bytes = static_cast<const std::uint8_t*>(d.data) + chunk.offset;
        } else if (block.address != MAP_FAILED) {
            bytes = static_cast<const std::uint8_t*>(block.address) + d.mapoffset + chunk.offset;
            dmaBufs[syncs++] = block.fd;
        } else if (block.fd >= 0) {
            if (!readBlock(block.fd, std::uint64_t{d.mapoffset} + chunk.offset, chunk.size,
                           copies_[p]))
                return false;
            bytes = copies_[p].data();
        } else {
            return false;
        }
        in.plane[p] = {bytes, chunk.size, static_cast<std::size_t>(chunk.stride)};
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
    // Not PW_STREAM_FLAG_MAP_BUFFERS: blocks are mapped here, with their sizes
    // checked. RT_PROCESS: see readNewest().
    if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                       PW_STREAM_FLAG_DONT_RECONNECT |
                                                       PW_STREAM_FLAG_RT_PROCESS),
                          formats.data(), static_cast<std::uint32_t>(formats.size())) < 0) {
        error = "pw_stream_connect failed";
        return false;
    }
    timespec deadline{};
    pw_thread_loop_get_time(
        loop_, &deadline,
        std::chrono::duration_cast<std::chrono::nanoseconds>(kNegotiationBound).count());
    while (!currentFormat() && !failed_)
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT)
            break;
    if (!currentFormat() || failed_) {
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
