// The fake camera. See fakecam.h for what it offers; this file keeps the
// V4L2 side as close to a real driver as the program under test can tell.

#include "fakecam.h"

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#define FAKECAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kNodes = 64;

// The real functions, found once through the next object in the lookup order
// (the C library, or a sanitizer's interceptor that chains on to it).
template <class F> F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name)                                                                                 \
    ([] {                                                                                          \
        static const auto fn = next<decltype(&::name)>(#name);                                     \
        return fn;                                                                                 \
    }())

using Bytes = std::vector<std::uint8_t>;

struct Buffer {
    void* addr = MAP_FAILED;
    std::size_t length = 0;
    explicit Buffer(std::size_t len)
        : length(len)
    {
        addr = REAL(mmap)(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer()
    {
        if (addr != MAP_FAILED)
            REAL(munmap)(addr, length);
    }
};

struct Node {
    int index = 0;
    fakecam_node cfg{};
    std::uint32_t fourcc = 0;
    std::size_t bytesPerLine = 0;
    std::size_t sizeImage = 0;
    std::vector<Bytes> frames;
    // Set under the global lock, read under a handle's alone as well.
    std::atomic<bool> unplugged{false};
    int unplugAfter = 0;  // frames left before unplugging; 0: not planned
    int unplugAtCall = 0; // ioctls left before unplugging; 0: not planned
    int corruptNext = 0;
    std::atomic<long> delivered{0};
    std::atomic<bool> struck{false}; // a transient fault has happened
    const void* owner = nullptr;     // the handle whose buffers the node has
};

// Whether the node's transient fault `fault` strikes now: once, after the
// fifth frame.
bool strikes(Node& n, fakecam_fault fault)
{
    return n.cfg.fault == fault && n.delivered >= 5 && !n.struck.exchange(true);
}

void sleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

enum class BufState { User, Queued, Done };

struct Handle {
    int fd = -1;
    std::shared_ptr<Node> node;
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Buffer>> buffers;
    std::vector<BufState> state;
    std::vector<std::uint32_t> used;
    std::deque<int> queued, done;
    bool streaming = false;
    bool stop = false;
    std::uint32_t sequence = 0;
    std::thread thread;
};

struct Mapping {
    std::shared_ptr<Buffer> buffer;
    int count = 0;
};

struct State {
    std::mutex g; // guards everything below; taken before any Handle::m
    std::array<std::shared_ptr<Node>, kNodes> nodes;
    std::map<int, std::shared_ptr<Handle>> fds;
    std::map<void*, Mapping> mappings;
    std::string log;
    int logFd = -1;
};

// Counters read without the lock, so that the many calls of other code
// (every close, poll and munmap in the process) pass straight through.
std::atomic<int> openFakes{0};
std::atomic<int> liveMappings{0};

State& state()
{
    static State* s = new State; // never destroyed: calls may come during exit
    return *s;
}

void logLine(State& s, const std::string& line)
{
    s.log += line;
    s.log += '\n';
    if (s.logFd >= 0) {
        const std::string l = line + '\n';
        [[maybe_unused]] ssize_t n = REAL(write)(s.logFd, l.data(), l.size());
    }
}

// ---- pictures ----

struct Bgr {
    std::uint8_t b, g, r;
};

constexpr Bgr kBars[8] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                          {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};

std::uint8_t clamp8(int v)
{
    return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

// Each format as the fake lays it out, in enum fakecam_format's order. `at`:
// where blue, green and red sit (RGB), where Y0, Cb, Y1 and Cr sit in a
// pair (4:2:2), or where Cb and Cr come, first or second (4:2:0).
enum class Family { Rgb, Packed422, Semi420, Planar420, Grey, Jpeg };
struct Format {
    const char* name;
    std::uint32_t fourcc;
    Family family;
    int bytes; // per pixel of the first plane
    int at[4];
};
constexpr Format kFormats[] = {
    {"bgr24", V4L2_PIX_FMT_BGR24, Family::Rgb, 3, {0, 1, 2}},
    {"rgb24", V4L2_PIX_FMT_RGB24, Family::Rgb, 3, {2, 1, 0}},
    {"yuyv", V4L2_PIX_FMT_YUYV, Family::Packed422, 2, {0, 1, 2, 3}},
    {"mjpeg", V4L2_PIX_FMT_MJPEG, Family::Jpeg, 0, {}},
    {"uyvy", V4L2_PIX_FMT_UYVY, Family::Packed422, 2, {1, 0, 3, 2}},
    {"yvyu", V4L2_PIX_FMT_YVYU, Family::Packed422, 2, {0, 3, 2, 1}},
    {"vyuy", V4L2_PIX_FMT_VYUY, Family::Packed422, 2, {1, 2, 3, 0}},
    {"nv12", V4L2_PIX_FMT_NV12, Family::Semi420, 1, {0, 1}},
    {"nv21", V4L2_PIX_FMT_NV21, Family::Semi420, 1, {1, 0}},
    {"yu12", V4L2_PIX_FMT_YUV420, Family::Planar420, 1, {0, 1}},
    {"yv12", V4L2_PIX_FMT_YVU420, Family::Planar420, 1, {1, 0}},
    {"xr24", V4L2_PIX_FMT_XBGR32, Family::Rgb, 4, {0, 1, 2}},
    {"ar24", V4L2_PIX_FMT_ABGR32, Family::Rgb, 4, {0, 1, 2}},
    {"xb24", V4L2_PIX_FMT_RGBX32, Family::Rgb, 4, {2, 1, 0}},
    {"ab24", V4L2_PIX_FMT_RGBA32, Family::Rgb, 4, {2, 1, 0}},
    {"bx24", V4L2_PIX_FMT_XRGB32, Family::Rgb, 4, {3, 2, 1}},
    {"ba24", V4L2_PIX_FMT_ARGB32, Family::Rgb, 4, {3, 2, 1}},
    {"rx24", V4L2_PIX_FMT_BGRX32, Family::Rgb, 4, {1, 2, 3}},
    {"ra24", V4L2_PIX_FMT_BGRA32, Family::Rgb, 4, {1, 2, 3}},
    {"bgr4", V4L2_PIX_FMT_BGR32, Family::Rgb, 4, {0, 1, 2}},
    {"rgb4", V4L2_PIX_FMT_RGB32, Family::Rgb, 4, {3, 2, 1}},
    {"grey", V4L2_PIX_FMT_GREY, Family::Grey, 1, {}},
};

const Format& formatOf(const fakecam_node& c)
{
    return kFormats[c.format];
}

// The matrix and range the node writes its YUV in: what its declared
// description means by V4L2's rules for defaults, with the 709 encodings as
// Rec. 709 and every other as BT.601.
struct YuvRule {
    double kr, kb;
    bool full;
};

YuvRule yuvRule(const fakecam_node& c)
{
    const auto colorspace = std::uint32_t(c.colorspace);
    const std::uint32_t enc = c.ycbcr_enc ? std::uint32_t(c.ycbcr_enc)
                                          : std::uint32_t{V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace)};
    const std::uint32_t range =
        c.quantization ? std::uint32_t(c.quantization)
        : c.format == FAKECAM_GREY
            ? std::uint32_t{V4L2_QUANTIZATION_FULL_RANGE}
            : std::uint32_t{V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, enc)};
    const bool rec709 = enc == V4L2_YCBCR_ENC_709 || enc == V4L2_YCBCR_ENC_XV709;
    return {rec709 ? 0.2126 : 0.299, rec709 ? 0.0722 : 0.114,
            range == V4L2_QUANTIZATION_FULL_RANGE};
}

// The inverse of what a camera's Y, Cb and Cr mean, unrounded.
void toYuv(const YuvRule& m, Bgr p, double yuv[3])
{
    const double luma = m.kr * p.r + (1 - m.kr - m.kb) * p.g + m.kb * p.b;
    const double ys = m.full ? 1 : 219.0 / 255, cs = m.full ? 1 : 224.0 / 255;
    yuv[0] = (m.full ? 0 : 16) + ys * luma;
    yuv[1] = 128 + cs * (p.b - luma) / (2 * (1 - m.kb));
    yuv[2] = 128 + cs * (p.r - luma) / (2 * (1 - m.kr));
}

// Bytes of the first plane's rows and of the whole frame; 4:2:0's chroma
// planes follow with rows of bytesPerLine (semi-planar) or half of it.
std::size_t imageSize(const fakecam_node& c, std::size_t bytesPerLine)
{
    const std::size_t luma = bytesPerLine * std::size_t(c.height),
                      ch = std::size_t(c.height + 1) / 2;
    switch (formatOf(c).family) {
    case Family::Semi420:
        return luma + bytesPerLine * ch;
    case Family::Planar420:
        return luma + 2 * (bytesPerLine / 2) * ch;
    case Family::Jpeg:
        return std::size_t(c.width) * std::size_t(c.height) * 2;
    default:
        return luma;
    }
}

Bytes encode(const Node& n, const Bytes& bgr)
{
    const int w = n.cfg.width, h = n.cfg.height;
    const std::size_t bpl = n.bytesPerLine;
    const Format& f = formatOf(n.cfg);
    Bytes out;
    if (f.family == Family::Jpeg) {
        tjhandle tj = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tj &&
            tjCompress2(tj, bgr.data(), w, 0, h, TJPF_BGR, &jpeg, &size, TJSAMP_422, 95, 0) == 0)
            out.assign(jpeg, jpeg + size);
        tjFree(jpeg);
        if (tj)
            tjDestroy(tj);
        return out;
    }
    out.assign(imageSize(n.cfg, bpl), 0x5A); // padding is junk a decoder must skip
    const YuvRule rule = yuvRule(n.cfg);
    std::vector<int> yuv(f.family == Family::Rgb ? 0 : bgr.size());
    for (std::size_t i = 0; i < yuv.size(); i += 3) {
        // The pattern's runs of one colour make this cheap.
        if (i > 0 && std::memcmp(&bgr[i], &bgr[i - 3], 3) == 0) {
            std::copy_n(&yuv[i - 3], 3, &yuv[i]);
            continue;
        }
        double v[3];
        toYuv(rule, {bgr[i], bgr[i + 1], bgr[i + 2]}, v);
        for (int k = 0; k < 3; ++k)
            yuv[i + k] = int(std::lround(v[k]));
    }
    // Y, Cb or Cr (k) of the `across` pixels from (x, y) on: their mean, rounded.
    auto sample = [&](int x, int y, int across, int k) {
        int sum = 0, count = 0;
        for (int i = x; i < std::min(x + across, w); ++i, ++count)
            sum += yuv[(std::size_t(y) * w + i) * 3 + k];
        return clamp8(int(std::lround(double(sum) / count)));
    };
    for (int y = 0; y < h; ++y) {
        std::uint8_t* dst = &out[bpl * y];
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* p = &bgr[(std::size_t(y) * w + x) * 3];
            switch (f.family) {
            case Family::Rgb:
                for (int k = 0; k < 3; ++k)
                    dst[f.bytes * x + f.at[k]] = p[k];
                break;
            case Family::Packed422:
                dst[2 * (x & ~1) + f.at[2 * (x & 1)]] = sample(x, y, 1, 0);
                if (x % 2 == 0) {
                    dst[2 * x + f.at[1]] = sample(x, y, 2, 1);
                    dst[2 * x + f.at[3]] = sample(x, y, 2, 2);
                }
                break;
            default: // 4:2:0 and grey: the test gives the frame
                break;
            }
        }
    }
    return out;
}

bool prepare(Node& n)
{
    fakecam_node& c = n.cfg;
    if (c.width <= 0)
        c.width = 640;
    if (c.height <= 0)
        c.height = 480;
    if (c.fps <= 0)
        c.fps = 30;
    if (c.colorspace <= 0)
        c.colorspace = c.format == FAKECAM_MJPEG ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SMPTE170M;
    if (c.format < FAKECAM_BGR24 || c.format > FAKECAM_GREY || c.width > 8192 || c.height > 8192)
        return false;
    const Format& format = formatOf(c);
    n.fourcc = format.fourcc;
    // 4:2:0 rows are even, as drivers make them, so that half a row holds a
    // row of chroma.
    const bool is420 = format.family == Family::Semi420 || format.family == Family::Planar420;
    const std::size_t row =
        std::size_t(format.bytes) * std::size_t(is420 ? (c.width + 1) & ~1 : c.width);
    n.bytesPerLine = std::max<std::size_t>(std::size_t(std::max(c.bytes_per_line, 0)), row);
    n.sizeImage = imageSize(c, n.bytesPerLine);
    if (c.kind != FAKECAM_CAPTURE && c.kind != FAKECAM_BUSY)
        return true;
    if (c.frame) {
        n.frames.emplace_back(c.frame, c.frame + c.frame_size);
        c.frame = nullptr; // the caller's bytes need not outlive the call
    } else if (format.family != Family::Rgb && format.family != Family::Packed422 &&
               format.family != Family::Jpeg) {
        return false; // 4:2:0 and grey: the test gives the frame
    } else {
        Bytes bgr(std::size_t(c.width) * c.height * 3);
        for (unsigned k = 0; k < FAKECAM_PATTERN_FRAMES; ++k) {
            fakecam_pattern(c.width, c.height, k, bgr.data());
            n.frames.push_back(encode(n, bgr));
        }
    }
    for (const Bytes& f : n.frames)
        n.sizeImage = std::max(n.sizeImage, f.size());
    return true;
}

// ---- the device side ----

void wake(Handle& h, std::uint64_t count)
{
    [[maybe_unused]] ssize_t n = REAL(write)(h.fd, &count, sizeof count);
}

// `node` is a copy: it may empty the very slot it came from.
void unplugLocked(State& s, std::shared_ptr<Node> node)
{
    node->unplugged = true;
    if (s.nodes[node->index] == node)
        s.nodes[node->index] = nullptr;
    logLine(s, "unplug " + std::to_string(node->index));
    // Readable for ever, so that a poll in progress returns and sees POLLERR.
    for (auto& [fd, h] : s.fds)
        if (h->node == node)
            wake(*h, 1u << 30);
}

void frameLoop(const std::shared_ptr<Handle>& h)
{
    State& s = state();
    const auto period = std::chrono::nanoseconds(1'000'000'000 / h->node->cfg.fps);
    auto due = std::chrono::steady_clock::now();
    unsigned frameNo = 0;
    for (;;) {
        due += period;
        {
            std::unique_lock lock(h->m);
            if (h->cv.wait_until(lock, due, [&] { return h->stop; }))
                return;
        }
        std::lock_guard global(s.g);
        std::lock_guard lock(h->m);
        Node& n = *h->node;
        if (h->stop || n.unplugged)
            return;
        if (h->queued.empty())
            continue; // the program holds every buffer: the frame is dropped
        const int i = h->queued.front();
        h->queued.pop_front();
        const Bytes& frame = n.frames[frameNo++ % n.frames.size()];
        Buffer& b = *h->buffers[i];
        std::size_t size = std::min(frame.size(), b.length);
        std::memcpy(b.addr, frame.data(), size);
        if (n.corruptNext > 0) {
            --n.corruptNext;
            size /= 2;
        }
        h->used[i] = static_cast<std::uint32_t>(size);
        h->state[i] = BufState::Done;
        h->done.push_back(i);
        wake(*h, 1);
        if (n.unplugAfter > 0 && --n.unplugAfter == 0)
            unplugLocked(s, h->node);
    }
}

void stopStreaming(Handle& h)
{
    {
        std::lock_guard lock(h.m);
        h.stop = true;
    }
    h.cv.notify_all();
    if (h.thread.joinable())
        h.thread.join();
    std::lock_guard lock(h.m);
    h.stop = false;
    h.streaming = false;
    h.queued.clear();
    h.done.clear();
    std::fill(h.state.begin(), h.state.end(), BufState::User);
    if (!h.node->unplugged) {
        std::uint64_t v;
        while (REAL(read)(h.fd, &v, sizeof v) > 0) {
        }
    }
}

const char* ioctlName(unsigned long request)
{
    switch (request) {
    case VIDIOC_QUERYCAP:
        return "QUERYCAP";
    case VIDIOC_ENUM_FMT:
        return "ENUM_FMT";
    case VIDIOC_G_FMT:
        return "G_FMT";
    case VIDIOC_S_FMT:
        return "S_FMT";
    case VIDIOC_TRY_FMT:
        return "TRY_FMT";
    case VIDIOC_G_PARM:
        return "G_PARM";
    case VIDIOC_S_PARM:
        return "S_PARM";
    case VIDIOC_REQBUFS:
        return "REQBUFS";
    case VIDIOC_QUERYBUF:
        return "QUERYBUF";
    case VIDIOC_QBUF:
        return "QBUF";
    case VIDIOC_DQBUF:
        return "DQBUF";
    case VIDIOC_STREAMON:
        return "STREAMON";
    case VIDIOC_STREAMOFF:
        return "STREAMOFF";
    default:
        return nullptr;
    }
}

std::uint32_t capsOf(const Node& n)
{
    switch (n.cfg.kind) {
    case FAKECAM_CAPTURE:
    case FAKECAM_BUSY:
        return V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    case FAKECAM_METADATA:
        return V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    case FAKECAM_NO_STREAMING:
        return V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    }
    return 0;
}

bool isVideo(const Node& n)
{
    return capsOf(n) & V4L2_CAP_VIDEO_CAPTURE;
}

int fail(int error)
{
    errno = error;
    return -1;
}

void fillFormat(const Node& n, v4l2_format& f)
{
    std::memset(&f.fmt, 0, sizeof f.fmt);
    f.fmt.pix.width = std::uint32_t(n.cfg.width);
    f.fmt.pix.height = std::uint32_t(n.cfg.height);
    f.fmt.pix.pixelformat = n.fourcc;
    f.fmt.pix.field = V4L2_FIELD_NONE;
    f.fmt.pix.bytesperline = n.cfg.format == FAKECAM_MJPEG ? 0 : std::uint32_t(n.bytesPerLine);
    f.fmt.pix.sizeimage = std::uint32_t(n.sizeImage);
    // As the kernel does: the extended fields are valid.
    f.fmt.pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    f.fmt.pix.colorspace = std::uint32_t(n.cfg.colorspace);
    f.fmt.pix.ycbcr_enc = std::uint32_t(n.cfg.ycbcr_enc);
    f.fmt.pix.quantization = std::uint32_t(n.cfg.quantization);
}

void fillBuffer(Handle& h, int i, v4l2_buffer& b)
{
    b.index = std::uint32_t(i);
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.length = std::uint32_t(h.buffers[i]->length);
    b.m.offset = std::uint32_t(i) << 20;
    b.field = V4L2_FIELD_NONE;
    b.bytesused = h.used[i];
    b.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
              (h.state[i] == BufState::Queued ? V4L2_BUF_FLAG_QUEUED : 0u) |
              (h.state[i] == BufState::Done ? V4L2_BUF_FLAG_DONE : 0u);
}

int deviceIoctl(State& s, const std::shared_ptr<Handle>& hp, unsigned long request, void* arg)
{
    Handle& h = *hp;
    Node& n = *h.node;
    {
        std::lock_guard global(s.g);
        const char* name = ioctlName(request);
        logLine(s,
                "ioctl " + std::to_string(n.index) + ' ' + (name ? name : std::to_string(request)));
        if (n.unplugAtCall > 0 && --n.unplugAtCall == 0)
            unplugLocked(s, h.node);
        if (n.unplugged)
            return fail(ENODEV);
        if (n.cfg.fault == FAKECAM_EINTR)
            return fail(EINTR);
    }
    if (!arg)
        return fail(EFAULT);

    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto& c = *static_cast<v4l2_capability*>(arg);
        std::memset(&c, 0, sizeof c);
        std::snprintf(reinterpret_cast<char*>(c.driver), sizeof c.driver, "fakecam");
        std::snprintf(reinterpret_cast<char*>(c.card), sizeof c.card, "Fake camera %d", n.index);
        std::snprintf(reinterpret_cast<char*>(c.bus_info), sizeof c.bus_info, "platform:fakecam-%d",
                      n.index);
        c.version = 0x060100;
        c.device_caps = capsOf(n);
        c.capabilities = c.device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto& f = *static_cast<v4l2_fmtdesc*>(arg);
        if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !isVideo(n) || f.index != 0)
            return fail(EINVAL);
        f.pixelformat = n.fourcc;
        f.flags = n.cfg.format == FAKECAM_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        std::snprintf(reinterpret_cast<char*>(f.description), sizeof f.description, "fake");
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto& f = *static_cast<v4l2_format*>(arg);
        if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !isVideo(n))
            return fail(EINVAL);
        if (request == VIDIOC_S_FMT && n.cfg.kind == FAKECAM_BUSY)
            return fail(EBUSY);
        // One format and one size: whatever is asked, this is what it gets.
        fillFormat(n, f);
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto& p = *static_cast<v4l2_streamparm*>(arg);
        if (p.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !isVideo(n))
            return fail(EINVAL);
        std::memset(&p.parm, 0, sizeof p.parm);
        p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p.parm.capture.timeperframe = {1, std::uint32_t(n.cfg.fps)};
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto& r = *static_cast<v4l2_requestbuffers*>(arg);
        if (r.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r.memory != V4L2_MEMORY_MMAP ||
            !(capsOf(n) & V4L2_CAP_STREAMING))
            return fail(EINVAL);
        std::lock_guard global(s.g);
        std::lock_guard lock(h.m);
        if (n.cfg.kind == FAKECAM_BUSY || (n.owner && n.owner != &h) || h.streaming)
            return fail(EBUSY);
        h.buffers.clear();
        h.state.clear();
        h.used.clear();
        n.owner = nullptr;
        if (r.count == 0)
            return 0;
        r.count = std::clamp<std::uint32_t>(r.count, 2, 8);
        for (std::uint32_t i = 0; i < r.count; ++i) {
            auto b = std::make_shared<Buffer>(n.sizeImage);
            if (b->addr == MAP_FAILED)
                return fail(ENOMEM);
            h.buffers.push_back(std::move(b));
        }
        h.state.assign(r.count, BufState::User);
        h.used.assign(r.count, 0);
        n.owner = &h;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto& b = *static_cast<v4l2_buffer*>(arg);
        if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        std::lock_guard lock(h.m);
        const int count = int(h.buffers.size());
        if (request == VIDIOC_DQBUF) {
            if (n.cfg.fault == FAKECAM_EINTR_DQBUF)
                return fail(EINTR);
            // Neither takes the frame's count off the descriptor: it stays readable.
            if (h.done.empty() || n.cfg.fault == FAKECAM_EAGAIN_READABLE)
                return fail(EAGAIN);
            if (strikes(n, FAKECAM_EIO_ONCE))
                return fail(EIO);
            const int i = h.done.front();
            h.done.pop_front();
            std::uint64_t one;
            [[maybe_unused]] ssize_t got = REAL(read)(h.fd, &one, sizeof one);
            h.state[i] = BufState::User;
            fillBuffer(h, i, b);
            b.sequence = h.sequence++;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            b.timestamp = {now.tv_sec, now.tv_nsec / 1000};
            ++n.delivered;
            return 0;
        }
        if (b.memory != V4L2_MEMORY_MMAP || b.index >= std::uint32_t(count))
            return fail(EINVAL);
        const int i = int(b.index);
        if (request == VIDIOC_QBUF) {
            if (h.state[i] != BufState::User)
                return fail(EINVAL);
            h.state[i] = BufState::Queued;
            h.queued.push_back(i);
        }
        fillBuffer(h, i, b);
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (request == VIDIOC_STREAMOFF) {
            sleepMs(n.cfg.stop_ms);
            stopStreaming(h);
            return 0;
        }
        std::lock_guard lock(h.m);
        if (h.buffers.empty())
            return fail(EINVAL);
        if (!h.streaming) {
            h.streaming = true;
            h.thread = std::thread(frameLoop, hp);
        }
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

// ---- configuration ----

void loadEnvironment();

std::once_flag envOnce;

void ensureEnvironment()
{
    std::call_once(envOnce, loadEnvironment);
}

int addNode(int index, const fakecam_node& cfg)
{
    if (index < 0 || index >= kNodes)
        return -1;
    auto node = std::make_shared<Node>();
    node->index = index;
    node->cfg = cfg;
    if (!prepare(*node))
        return -1;
    State& s = state();
    std::lock_guard global(s.g);
    if (s.nodes[index])
        unplugLocked(s, s.nodes[index]);
    s.nodes[index] = std::move(node);
    return 0;
}

int configure(const char* spec)
{
    std::string all = spec ? spec : "";
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find(';', pos);
        if (end == std::string::npos)
            end = all.size();
        const std::string entry = all.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty())
            continue;
        int index = -1, w = 0, h = 0, fps = 0, unplug = 0, stride = 0;
        char kind[16] = {};
        if (std::sscanf(entry.c_str(), "%d=%15[a-z0-9]", &index, kind) != 2)
            return -1;
        const std::string k = kind;
        fakecam_node n{};
        n.kind = FAKECAM_CAPTURE;
        if (k == "meta") {
            n.kind = FAKECAM_METADATA;
        } else if (k == "busy") {
            n.kind = FAKECAM_BUSY;
        } else if (k == "nostream") {
            n.kind = FAKECAM_NO_STREAMING;
        } else {
            const auto* f =
                std::find_if(std::begin(kFormats), std::end(kFormats),
                             [&](const Format& candidate) { return k == candidate.name; });
            if (f == std::end(kFormats))
                return -1;
            n.format = fakecam_format(f - std::begin(kFormats));
        }
        const std::size_t colon = entry.find(':');
        if (colon != std::string::npos)
            std::sscanf(entry.c_str() + colon + 1, "%dx%d@%d", &w, &h, &fps);
        const std::size_t u = entry.find(",unplug=");
        if (u != std::string::npos)
            unplug = std::atoi(entry.c_str() + u + 8);
        const std::size_t st = entry.find(",stride=");
        if (st != std::string::npos)
            stride = std::atoi(entry.c_str() + st + 8);
        if (const std::size_t at = entry.find(",openms="); at != std::string::npos)
            n.open_ms = std::atoi(entry.c_str() + at + 8);
        if (const std::size_t at = entry.find(",stopms="); at != std::string::npos)
            n.stop_ms = std::atoi(entry.c_str() + at + 8);
        if (const std::size_t at = entry.find(",fault="); at != std::string::npos) {
            const std::string f = entry.substr(at + 7, entry.find(',', at + 7) - at - 7);
            static const char* const faults[] = {"",       "eintr", "eintr-dqbuf",
                                                 "eagain", "eio",   "pollerr"};
            const auto* found = std::find(std::begin(faults), std::end(faults), f);
            if (found == std::end(faults))
                return -1;
            n.fault = fakecam_fault(found - std::begin(faults));
        }
        // The colour description, each a word for one of V4L2's values.
        struct Word {
            const char* option;
            const char* word;
            int value;
            int fakecam_node::*field;
        };
        static const Word words[] = {
            {",colorspace=", "170m", V4L2_COLORSPACE_SMPTE170M, &fakecam_node::colorspace},
            {",colorspace=", "709", V4L2_COLORSPACE_REC709, &fakecam_node::colorspace},
            {",colorspace=", "srgb", V4L2_COLORSPACE_SRGB, &fakecam_node::colorspace},
            {",colorspace=", "jpeg", V4L2_COLORSPACE_JPEG, &fakecam_node::colorspace},
            {",colorspace=", "2020", V4L2_COLORSPACE_BT2020, &fakecam_node::colorspace},
            {",range=", "limited", V4L2_QUANTIZATION_LIM_RANGE, &fakecam_node::quantization},
            {",range=", "full", V4L2_QUANTIZATION_FULL_RANGE, &fakecam_node::quantization},
            {",enc=", "601", V4L2_YCBCR_ENC_601, &fakecam_node::ycbcr_enc},
            {",enc=", "709", V4L2_YCBCR_ENC_709, &fakecam_node::ycbcr_enc},
            {",enc=", "2020", V4L2_YCBCR_ENC_BT2020, &fakecam_node::ycbcr_enc},
        };
        for (const char* option : {",colorspace=", ",range=", ",enc="}) {
            const std::size_t at = entry.find(option);
            if (at == std::string::npos)
                continue;
            const std::size_t from = at + std::strlen(option);
            const std::string word = entry.substr(from, entry.find(',', from) - from);
            const auto* found =
                std::find_if(std::begin(words), std::end(words), [&](const Word& candidate) {
                    return std::strcmp(candidate.option, option) == 0 && word == candidate.word;
                });
            if (found == std::end(words))
                return -1;
            n.*(found->field) = found->value;
        }
        n.width = w;
        n.height = h;
        n.fps = fps;
        n.bytes_per_line = stride;
        if (addNode(index, n) != 0)
            return -1;
        if (unplug > 0)
            fakecam_unplug(index, unplug);
    }
    return 0;
}

void loadEnvironment()
{
    if (const char* path = std::getenv("FAKECAM_LOG")) {
        State& s = state();
        std::lock_guard global(s.g);
        s.logFd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (const char* spec = std::getenv("FAKECAM"))
        configure(spec);
}

// "/dev/videoN" with N in 0..63, or -1.
int nodeIndex(const char* path)
{
    if (!path || std::strncmp(path, "/dev/video", 10) != 0)
        return -1;
    const char* p = path + 10;
    if (*p < '0' || *p > '9')
        return -1;
    int n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + (*p - '0');
        if (n >= kNodes)
            return -1;
    }
    return *p == '\0' ? n : -1;
}

int openNode(int index)
{
    ensureEnvironment();
    State& s = state();
    int delay = 0;
    {
        std::lock_guard global(s.g);
        if (s.nodes[index])
            delay = s.nodes[index]->cfg.open_ms;
    }
    sleepMs(delay);
    std::lock_guard global(s.g);
    const std::shared_ptr<Node> node = s.nodes[index];
    if (!node) {
        logLine(s, "open " + std::to_string(index) + " ENOENT");
        return fail(ENOENT);
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (fd < 0)
        return -1;
    auto h = std::make_shared<Handle>();
    h->fd = fd;
    h->node = node;
    s.fds[fd] = std::move(h);
    ++openFakes;
    logLine(s, "open " + std::to_string(index));
    return fd;
}

std::shared_ptr<Handle> handleOf(int fd)
{
    if (openFakes.load() == 0)
        return nullptr;
    State& s = state();
    std::lock_guard global(s.g);
    const auto it = s.fds.find(fd);
    return it == s.fds.end() ? nullptr : it->second;
}

int modeArg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, int) : 0;
}

} // namespace

// ---- the interposed C library functions ----

FAKECAM_EXPORT int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = modeArg(flags, ap);
    va_end(ap);
    const int n = nodeIndex(path);
    return n >= 0 ? openNode(n) : REAL(open)(path, flags, mode);
}

FAKECAM_EXPORT int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = modeArg(flags, ap);
    va_end(ap);
    const int n = nodeIndex(path);
    return n >= 0 ? openNode(n) : REAL(open64)(path, flags, mode);
}

FAKECAM_EXPORT int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = modeArg(flags, ap);
    va_end(ap);
    const int n = nodeIndex(path);
    return n >= 0 ? openNode(n) : REAL(openat)(dirfd, path, flags, mode);
}

FAKECAM_EXPORT int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = modeArg(flags, ap);
    va_end(ap);
    const int n = nodeIndex(path);
    return n >= 0 ? openNode(n) : REAL(openat64)(dirfd, path, flags, mode);
}

FAKECAM_EXPORT int close(int fd)
{
    if (openFakes.load() == 0)
        return REAL(close)(fd);
    State& s = state();
    std::shared_ptr<Handle> h;
    {
        std::lock_guard global(s.g);
        const auto it = s.fds.find(fd);
        if (it != s.fds.end()) {
            h = std::move(it->second);
            s.fds.erase(it);
            if (h->node->owner == h.get())
                h->node->owner = nullptr;
            logLine(s, "close " + std::to_string(h->node->index));
        }
    }
    if (!h)
        return REAL(close)(fd);
    sleepMs(h->node->cfg.stop_ms);
    stopStreaming(*h);
    h->buffers.clear(); // mapped ones live on until unmapped, as in the kernel
    const int rc = REAL(close)(fd);
    --openFakes;
    return rc;
}

FAKECAM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (const std::shared_ptr<Handle> h = handleOf(fd))
        return deviceIoctl(state(), h, request, arg);
    return REAL(ioctl)(fd, request, arg);
}

FAKECAM_EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd,
                          off_t offset) noexcept
{
    const std::shared_ptr<Handle> h = fd >= 0 ? handleOf(fd) : nullptr;
    if (!h)
        return REAL(mmap)(addr, length, prot, flags, fd, offset);
    State& s = state();
    std::lock_guard global(s.g);
    std::lock_guard lock(h->m);
    const std::size_t i = std::size_t(offset) >> 20;
    if (h->node->unplugged) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    if ((offset & ((1 << 20) - 1)) != 0 || i >= h->buffers.size() ||
        length > h->buffers[i]->length || !(flags & MAP_SHARED)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    Mapping& m = s.mappings[h->buffers[i]->addr];
    m.buffer = h->buffers[i];
    if (m.count++ == 0)
        ++liveMappings;
    return m.buffer->addr;
}

FAKECAM_EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd,
                            off_t offset) noexcept
{
    return mmap(addr, length, prot, flags, fd, offset);
}

FAKECAM_EXPORT int munmap(void* addr, size_t length) noexcept
{
    if (liveMappings.load() > 0) {
        std::shared_ptr<Buffer> last; // freed after the lock is released
        State& s = state();
        std::lock_guard global(s.g);
        const auto it = s.mappings.find(addr);
        if (it != s.mappings.end()) {
            if (--it->second.count == 0) {
                last = std::move(it->second.buffer);
                s.mappings.erase(it);
                --liveMappings;
            }
            return 0;
        }
    }
    return REAL(munmap)(addr, length);
}

#if defined(__SANITIZE_THREAD__)
#define FAKECAM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FAKECAM_TSAN 1
#endif
#endif

#ifdef FAKECAM_TSAN
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

// ThreadSanitizer runs our poll inside its own, which it takes for a blocking
// system call: it then ignores every lock taken and every atomic used within,
// so our reads under the global lock would be reported as races with every
// other thread's writes under it. Kept out of its sight there.
namespace {
struct UnseenBySanitizer {
#ifdef FAKECAM_TSAN
    UnseenBySanitizer()
    {
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
    }
    ~UnseenBySanitizer()
    {
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    }
#else
    UnseenBySanitizer() = default;
#endif
    UnseenBySanitizer(const UnseenBySanitizer&) = delete;
    UnseenBySanitizer& operator=(const UnseenBySanitizer&) = delete;
};
} // namespace

FAKECAM_EXPORT int poll(pollfd* fds, nfds_t nfds, int timeout)
{
    [[maybe_unused]] const UnseenBySanitizer unseen;
    int rc = REAL(poll)(fds, nfds, timeout);
    if (rc < 0 || openFakes.load() == 0)
        return rc;
    State& s = state();
    std::lock_guard global(s.g);
    for (nfds_t i = 0; i < nfds; ++i) {
        const auto it = s.fds.find(fds[i].fd);
        if (it == s.fds.end())
            continue;
        // A gone device wakes its readers with an error, as the kernel's do.
        Node& n = *it->second->node;
        if (n.unplugged) {
            if (fds[i].revents == 0)
                ++rc;
            fds[i].revents |= POLLERR | POLLHUP;
        } else if ((fds[i].revents & POLLIN) && strikes(n, FAKECAM_POLLERR_ONCE)) {
            fds[i].revents |= POLLERR;
        }
    }
    return rc;
}

// ---- configuration API ----

FAKECAM_EXPORT void fakecam_reset(void)
{
    ensureEnvironment();
    State& s = state();
    std::lock_guard global(s.g);
    for (auto& n : s.nodes)
        if (n)
            unplugLocked(s, n);
    s.log.clear();
}

FAKECAM_EXPORT int fakecam_add(int index, const fakecam_node* node)
{
    ensureEnvironment();
    return node ? addNode(index, *node) : -1;
}

FAKECAM_EXPORT int fakecam_configure(const char* spec)
{
    ensureEnvironment();
    return configure(spec);
}

FAKECAM_EXPORT void fakecam_unplug(int index, int after_frames)
{
    State& s = state();
    std::lock_guard global(s.g);
    if (index < 0 || index >= kNodes || !s.nodes[index])
        return;
    if (after_frames <= 0)
        unplugLocked(s, s.nodes[index]);
    else
        s.nodes[index]->unplugAfter = after_frames;
}

FAKECAM_EXPORT void fakecam_unplug_at_ioctl(int index, int calls)
{
    State& s = state();
    std::lock_guard global(s.g);
    if (index >= 0 && index < kNodes && s.nodes[index])
        s.nodes[index]->unplugAtCall = calls;
}

FAKECAM_EXPORT void fakecam_corrupt(int index, int frames)
{
    State& s = state();
    std::lock_guard global(s.g);
    if (index >= 0 && index < kNodes && s.nodes[index])
        s.nodes[index]->corruptNext = frames;
}

FAKECAM_EXPORT int fakecam_open_count(void)
{
    return openFakes.load();
}

FAKECAM_EXPORT long fakecam_frames_delivered(int index)
{
    State& s = state();
    std::lock_guard global(s.g);
    if (index >= 0 && index < kNodes && s.nodes[index])
        return s.nodes[index]->delivered;
    for (auto& [fd, h] : s.fds)
        if (h->node->index == index)
            return h->node->delivered;
    return 0;
}

FAKECAM_EXPORT size_t fakecam_log(char* buf, size_t size)
{
    State& s = state();
    std::lock_guard global(s.g);
    if (buf && size > 0) {
        const std::size_t n = std::min(size - 1, s.log.size());
        std::memcpy(buf, s.log.data(), n);
        buf[n] = '\0';
    }
    return s.log.size();
}

FAKECAM_EXPORT void fakecam_clear_log(void)
{
    State& s = state();
    std::lock_guard global(s.g);
    s.log.clear();
}

FAKECAM_EXPORT void fakecam_pattern(int width, int height, unsigned frame, unsigned char* bgr)
{
    const int top = height * 3 / 4;
    const int markerX = width > 16 ? int((frame % FAKECAM_PATTERN_FRAMES) * 16) % (width - 16) : 0;
    const int markerY = top + (height - top) / 2 - 8;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            Bgr c{128, 128, 128};
            if (y < top)
                c = kBars[x * 8 / width];
            else if (x >= markerX && x < markerX + 16 && y >= markerY && y < markerY + 16)
                c = {255, 255, 255};
            unsigned char* p = bgr + (std::size_t(y) * width + x) * 3;
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
}
