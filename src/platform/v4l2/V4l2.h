#pragma once

// The V4L2 device side of the capture window: small owners of the operating
// system's resources, and the one stream a capture needs. Everything here
// goes through the C library (open, ioctl, mmap, poll), nothing through
// libv4l2, so a fake at that boundary can stand in for a camera in tests.

#include "FrameDecoder.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform::v4l2 {

// An open file descriptor, closed with its owner.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) noexcept
        : fd_(fd)
    {}
    Descriptor(Descriptor&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // ioctl(2), tried again a few times when a signal interrupts it. A driver
    // that answers EINTR every time then fails with EINTR, so that no caller
    // is held for ever.
    int ioctl(unsigned long request, void* arg) const noexcept;

private:
    int fd_ = -1;
};

// One buffer of the driver's, mapped into our memory; unmapped with its owner.
class MappedBuffer {
public:
    MappedBuffer(void* address, std::size_t length) noexcept
        : address_(address)
        , length_(length)
    {}
    MappedBuffer(MappedBuffer&& other) noexcept
        : address_(std::exchange(other.address_, nullptr))
        , length_(other.length_)
    {}
    MappedBuffer& operator=(MappedBuffer&&) = delete;
    ~MappedBuffer();

    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(address_); }
    std::size_t size() const noexcept { return length_; }

private:
    void* address_;
    std::size_t length_;
};

// A capture device that streams: opened, a format we decode negotiated, its
// buffers mapped and queued, streaming on. Destroying it stops streaming,
// unmaps the buffers and closes the device, in that order.
class Stream {
public:
    // Opens /dev/video<index> and starts streaming. Null when the device is
    // missing, busy, not a streaming video-capture device, or offers no format
    // we decode; `error` then says why, with the system's words.
    static std::unique_ptr<Stream> open(int index, std::string& error);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int fd() const noexcept { return fd_.get(); }
    const FrameLayout& layout() const noexcept { return layout_; }

    // Again: nothing filled yet. Transient: the driver reported an error it
    // may recover from (EIO), after which restart() is worth a try.
    enum class Status { Frame, Again, Transient, Fatal };
    struct Filled {
        unsigned index = 0;
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        bool damaged = false; // the driver flagged the frame as bad
    };
    // Takes the oldest filled buffer; it must go back with requeue().
    Status dequeue(Filled& filled);
    bool requeue(unsigned index);
    // Stops streaming, queues every buffer again and starts anew, as after a
    // transient error. False when the device refuses, e.g. because it is gone.
    bool restart();

private:
    Stream() = default;

    Descriptor fd_;
    std::vector<MappedBuffer> buffers_;
    FrameLayout layout_;
    bool streaming_ = false;
};

} // namespace platform::v4l2
