#include "V4l2.h"

#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform::v4l2 {

namespace {

// The formats we decode, in the order we ask for them: those shown as sent
// first, then the cheap conversions (4:2:2 before 4:2:0, which has half the
// colour), then the compressed one, and grey last, so that a camera with
// colour shows colour. The fourcc names are by 32-bit word, ours by memory
// byte order: XR24 is blue, green, red, padding.
struct Known {
    std::uint32_t fourcc;
    FrameFormat format;
};
constexpr Known kFormats[] = {
    {V4L2_PIX_FMT_BGR24, FrameFormat::BGR24}, {V4L2_PIX_FMT_RGB24, FrameFormat::RGB24},
    {V4L2_PIX_FMT_XBGR32, FrameFormat::BGRX}, {V4L2_PIX_FMT_ABGR32, FrameFormat::BGRX},
    {V4L2_PIX_FMT_BGR32, FrameFormat::BGRX}, // the older, ambiguous name
    {V4L2_PIX_FMT_RGBX32, FrameFormat::RGBX}, {V4L2_PIX_FMT_RGBA32, FrameFormat::RGBX},
    {V4L2_PIX_FMT_XRGB32, FrameFormat::XRGB}, {V4L2_PIX_FMT_ARGB32, FrameFormat::XRGB},
    {V4L2_PIX_FMT_RGB32, FrameFormat::XRGB}, // the older, ambiguous name
    {V4L2_PIX_FMT_BGRX32, FrameFormat::XBGR}, {V4L2_PIX_FMT_BGRA32, FrameFormat::XBGR},
    {V4L2_PIX_FMT_YUYV, FrameFormat::YUYV},   {V4L2_PIX_FMT_UYVY, FrameFormat::UYVY},
    {V4L2_PIX_FMT_YVYU, FrameFormat::YVYU},   {V4L2_PIX_FMT_VYUY, FrameFormat::VYUY},
    {V4L2_PIX_FMT_NV12, FrameFormat::NV12},   {V4L2_PIX_FMT_NV21, FrameFormat::NV21},
    {V4L2_PIX_FMT_YUV420, FrameFormat::I420}, {V4L2_PIX_FMT_YVU420, FrameFormat::YV12},
    {V4L2_PIX_FMT_MJPEG, FrameFormat::MJPEG}, {V4L2_PIX_FMT_GREY, FrameFormat::GREY},
};

const Known* known(std::uint32_t fourcc)
{
    for (const Known& k : kFormats)
        if (k.fourcc == fourcc)
            return &k;
    return nullptr;
}

constexpr std::uint32_t kWidth = 640;
constexpr std::uint32_t kHeight = 480;
constexpr std::uint32_t kFps = 30;
constexpr std::uint32_t kBuffers = 4;
// A signal now and then interrupts an ioctl; a driver that answers EINTR
// this many times in a row does so for ever.
constexpr int kInterruptedTries = 8;

std::string failure(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

// How the YUV formats' numbers (and grey's range) are to be read, from the
// format the driver settled on. Defaults follow V4L2's own rules for the
// colorspace; encodings we have no matrix for are read as BT.601 limited
// range, what most webcams send. Grey that declares no range is full range,
// as V4L2's own tools and virtual camera read it. The encoding and range
// fields mean something only with the magic in priv (the kernel sets it; an
// old driver may leave them unset).
YuvEncoding yuvEncoding(const v4l2_pix_format& pix)
{
    const bool grey = pix.pixelformat == V4L2_PIX_FMT_GREY;
    const bool declared = pix.priv == V4L2_PIX_FMT_PRIV_MAGIC;
    const std::uint32_t enc = declared && pix.ycbcr_enc != V4L2_YCBCR_ENC_DEFAULT
                                  ? pix.ycbcr_enc
                                  : std::uint32_t{V4L2_MAP_YCBCR_ENC_DEFAULT(pix.colorspace)};
    const std::uint32_t range =
        declared && pix.quantization != V4L2_QUANTIZATION_DEFAULT ? pix.quantization
        : grey ? std::uint32_t{V4L2_QUANTIZATION_FULL_RANGE}
               : std::uint32_t{V4L2_MAP_QUANTIZATION_DEFAULT(false, pix.colorspace, enc)};
    const bool full = range == V4L2_QUANTIZATION_FULL_RANGE;
    if (grey) // luma alone: only the range matters
        return full ? YuvEncoding::Bt601Full : YuvEncoding::Bt601Limited;
    switch (enc) {
    case V4L2_YCBCR_ENC_601:
    case V4L2_YCBCR_ENC_XV601:
    case V4L2_YCBCR_ENC_SYCC:
        return full ? YuvEncoding::Bt601Full : YuvEncoding::Bt601Limited;
    case V4L2_YCBCR_ENC_709:
    case V4L2_YCBCR_ENC_XV709:
        return full ? YuvEncoding::Rec709Full : YuvEncoding::Rec709Limited;
    default:
        return YuvEncoding::Bt601Limited;
    }
}

} // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Descriptor::~Descriptor()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int Descriptor::ioctl(unsigned long request, void* arg) const noexcept
{
    int rc;
    int tries = 0;
    do
        rc = ::ioctl(fd_, request, arg);
    while (rc == -1 && errno == EINTR && ++tries < kInterruptedTries);
    return rc;
}

MappedBuffer::~MappedBuffer()
{
    if (address_)
        ::munmap(address_, length_);
}

std::unique_ptr<Stream> Stream::open(int index, std::string& error)
{
    const std::string path = "/dev/video" + std::to_string(index);
    // Not blocking: a dequeue must never wait, the capture thread waits in poll.
    Descriptor fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        error = failure(path.c_str(), errno);
        return nullptr;
    }

    v4l2_capability cap{};
    if (fd.ioctl(VIDIOC_QUERYCAP, &cap) < 0) {
        error = failure("VIDIOC_QUERYCAP", errno);
        return nullptr;
    }
    // A device with several nodes describes them all in `capabilities`; what
    // this node does is in device_caps.
    const std::uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
        error = path + ": not a streaming video-capture device";
        return nullptr;
    }

    // The best format the device offers; if it offers none we know, the one
    // it falls back to may still be ours.
    const Known* wanted = nullptr;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; desc.index < 64 && fd.ioctl(VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
        const Known* k = known(desc.pixelformat);
        if (k && (!wanted || k - kFormats < wanted - kFormats))
            wanted = k;
    }
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = kWidth;
    fmt.fmt.pix.height = kHeight;
    fmt.fmt.pix.pixelformat = (wanted ? wanted : &kFormats[0])->fourcc;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    if (fd.ioctl(VIDIOC_S_FMT, &fmt) < 0) {
        error = failure("VIDIOC_S_FMT", errno);
        return nullptr;
    }
    // The driver may adjust size and format; what it settled on must be ours.
    const Known* got = known(fmt.fmt.pix.pixelformat);
    const FrameLayout layout{
        got ? got->format : FrameFormat::BGR24, static_cast<int>(fmt.fmt.pix.width),
        static_cast<int>(fmt.fmt.pix.height),
        got && got->format == FrameFormat::MJPEG ? 0 : fmt.fmt.pix.bytesperline,
        yuvEncoding(fmt.fmt.pix)};
    if (!got || fmt.fmt.pix.width > FrameDecoder::kMaxSide ||
        fmt.fmt.pix.height > FrameDecoder::kMaxSide || !FrameDecoder::supports(layout)) {
        error = path + ": no frame format we can decode";
        return nullptr;
    }

    // Many drivers have no frame-rate control; then they run at their own.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (fd.ioctl(VIDIOC_G_PARM, &parm) == 0 &&
        (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
        parm.parm.capture.timeperframe = {1, kFps};
        fd.ioctl(VIDIOC_S_PARM, &parm);
    }

    v4l2_requestbuffers req{};
    req.count = kBuffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (fd.ioctl(VIDIOC_REQBUFS, &req) < 0) {
        error = failure("VIDIOC_REQBUFS", errno);
        return nullptr;
    }
    if (req.count == 0) {
        error = path + ": no buffers";
        return nullptr;
    }

    std::unique_ptr<Stream> stream(new Stream);
    stream->layout_ = layout;
    for (std::uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (fd.ioctl(VIDIOC_QUERYBUF, &buf) < 0) {
            error = failure("VIDIOC_QUERYBUF", errno);
            return nullptr;
        }
        void* address = ::mmap(nullptr, buf.length, PROT_READ, MAP_SHARED, fd.get(), buf.m.offset);
        if (address == MAP_FAILED) {
            error = failure("mmap", errno);
            return nullptr;
        }
        stream->buffers_.emplace_back(address, buf.length);
        if (fd.ioctl(VIDIOC_QBUF, &buf) < 0) {
            error = failure("VIDIOC_QBUF", errno);
            return nullptr;
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (fd.ioctl(VIDIOC_STREAMON, &type) < 0) {
        error = failure("VIDIOC_STREAMON", errno);
        return nullptr;
    }
    stream->streaming_ = true;
    stream->fd_ = std::move(fd);
    return stream;
}

Stream::~Stream()
{
    if (streaming_) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fd_.ioctl(VIDIOC_STREAMOFF, &type); // fails harmlessly on a vanished device
    }
    buffers_.clear();
    // fd_ closes last, as a member declared first.
}

Stream::Status Stream::dequeue(Filled& filled)
{
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (fd_.ioctl(VIDIOC_DQBUF, &buf) < 0)
        return errno == EAGAIN ? Status::Again : errno == EIO ? Status::Transient : Status::Fatal;
    if (buf.index >= buffers_.size())
        return Status::Fatal;
    const MappedBuffer& mapped = buffers_[buf.index];
    filled.index = buf.index;
    filled.data = mapped.data();
    filled.size = std::min<std::size_t>(buf.bytesused, mapped.size());
    filled.damaged = buf.flags & V4L2_BUF_FLAG_ERROR;
    return Status::Frame;
}

bool Stream::requeue(unsigned index)
{
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    return fd_.ioctl(VIDIOC_QBUF, &buf) == 0;
}

bool Stream::restart()
{
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (fd_.ioctl(VIDIOC_STREAMOFF, &type) < 0)
        return false;
    // STREAMOFF gave every buffer back to us, whatever state it was in.
    streaming_ = false;
    for (unsigned i = 0; i < buffers_.size(); ++i)
        if (!requeue(i))
            return false;
    if (fd_.ioctl(VIDIOC_STREAMON, &type) < 0)
        return false;
    streaming_ = true;
    return true;
}

} // namespace platform::v4l2
