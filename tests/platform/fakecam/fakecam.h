#pragma once

/* A fake V4L2 camera at the C-library boundary. Loaded into a process (linked
 * before the C library, or through LD_PRELOAD) it takes over /dev/video0 ..
 * /dev/video63: the nodes configured here exist, every other one gives
 * ENOENT, so nothing ever reaches a real camera. open, close, ioctl, mmap,
 * munmap and poll on those nodes are answered here; everything else goes to
 * the real functions.
 *
 * Configure in process through the functions below, or for a whole program
 * through the environment:
 *   FAKECAM="3=yuyv:640x480@30;5=meta;1=busy;2=nostream;4=mjpeg:1280x720@30,unplug=100"
 *     capture formats bgr24, rgb24, yuyv, mjpeg and the others of enum
 *     fakecam_format by their names there; then optional :WxH (default
 *     640x480) and @fps (default 30); options ,unplug=K (gone after K
 *     frames), ,stride=B (bytes per line), ,openms=T and ,stopms=T (see
 *     the fields) and ,fault=eintr|eintr-dqbuf|eagain|eio|pollerr (see
 *     enum fakecam_fault; a busy node takes the timing options too), and the
 *     colour description ,colorspace=170m|709|srgb|jpeg|2020,
 *     ,range=limited|full and ,enc=601|709|2020 (unset: the defaults).
 *   FAKECAM_LOG=/path   also appends every log line to that file.
 *
 * Each streaming node has a real descriptor (an eventfd) that turns readable
 * when a frame is ready, so the program's own poll works unchanged. */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum fakecam_kind {
    FAKECAM_CAPTURE,      /* a streaming video-capture camera */
    FAKECAM_METADATA,     /* a metadata node, as UVC cameras have beside the video one */
    FAKECAM_BUSY,         /* in use by another program: formats and buffers give EBUSY */
    FAKECAM_NO_STREAMING, /* capture through read() only */
};

/* Named as in FAKECAM strings: lower case, the fourcc's letters. */
enum fakecam_format {
    FAKECAM_BGR24,
    FAKECAM_RGB24,
    FAKECAM_YUYV,
    FAKECAM_MJPEG,
    FAKECAM_UYVY,
    FAKECAM_YVYU,
    FAKECAM_VYUY,
    FAKECAM_NV12,
    FAKECAM_NV21,
    FAKECAM_YU12,
    FAKECAM_YV12,
    FAKECAM_XR24, /* and the others of 32 bits, each with its alpha form */
    FAKECAM_AR24,
    FAKECAM_XB24,
    FAKECAM_AB24,
    FAKECAM_BX24,
    FAKECAM_BA24,
    FAKECAM_RX24,
    FAKECAM_RA24,
    FAKECAM_BGR4,
    FAKECAM_RGB4,
    FAKECAM_GREY,
};

/* Drivers that misbehave. The transient ones strike once, at the dequeue or
 * poll after the node's fifth frame. */
enum fakecam_fault {
    FAKECAM_NO_FAULT,
    FAKECAM_EINTR,           /* every ioctl fails with EINTR */
    FAKECAM_EINTR_DQBUF,     /* streams, but every DQBUF fails with EINTR */
    FAKECAM_EAGAIN_READABLE, /* readable once a frame is done, yet DQBUF gives EAGAIN */
    FAKECAM_EIO_ONCE,        /* one DQBUF fails with EIO */
    FAKECAM_POLLERR_ONCE,    /* one poll reports POLLERR; the device stays */
};

struct fakecam_node {
    enum fakecam_kind kind;
    enum fakecam_format format;
    int width;          /* 0: 640 */
    int height;         /* 0: 480 */
    int fps;            /* 0: 30 */
    int bytes_per_line; /* 0: no padding; padding bytes are filled with junk */
    /* Every frame is these bytes (copied, in the node's format); NULL for the
     * built-in test pattern, which RGB, 4:2:2 and MJPEG nodes have (4:2:0
     * and grey nodes need their frame). */
    const unsigned char* frame;
    size_t frame_size;
    enum fakecam_fault fault;
    int open_ms; /* open takes this long */
    int stop_ms; /* STREAMOFF takes this long, and close as long again */
    /* The colour description the driver declares, as V4L2's enum values:
     * v4l2_colorspace (0: SMPTE 170M, or JPEG for mjpeg), v4l2_quantization
     * and v4l2_ycbcr_encoding (0: the colorspace's default; grey: full
     * range). The test pattern's YUV follows it: Rec. 709 for the 709
     * encodings, BT.601 for all others. */
    int colorspace;
    int quantization;
    int ycbcr_enc;
};

/* Removes every node (open descriptors of them act as unplugged) and clears
 * the log. */
void fakecam_reset(void);
/* Adds node /dev/video<index>, replacing one there. 0 on success. */
int fakecam_add(int index, const struct fakecam_node* node);
/* Adds nodes from a string in the FAKECAM syntax. 0 on success. */
int fakecam_configure(const char* spec);
/* Unplugs the node now (after_frames 0) or after that many more frames. Open
 * descriptors then fail with ENODEV and poll reports POLLERR | POLLHUP. */
void fakecam_unplug(int index, int after_frames);
/* Unplugs the node as its `calls`-th ioctl from now arrives (1: the next
 * one), which then fails: the device vanishes at that step of a connection. */
void fakecam_unplug_at_ioctl(int index, int calls);
/* The next `frames` frames of the node arrive cut to half their length. */
void fakecam_corrupt(int index, int frames);

/* Descriptors of fake nodes open right now. */
int fakecam_open_count(void);
/* Frames the node has delivered to a dequeue so far. */
long fakecam_frames_delivered(int index);
/* Copies the log (one line per call: "open 3", "open 4 ENOENT",
 * "ioctl 3 QUERYCAP", "ioctl 3 STREAMON", "close 3", ...) into buf, NUL
 * terminated, and returns its full length. */
size_t fakecam_log(char* buf, size_t size);
void fakecam_clear_log(void);

/* The test pattern's frame number `frame` (frames repeat after 8), as
 * blue-green-red rows without padding: eight colour bars over the top three
 * quarters, grey below with a white 16 x 16 marker that moves 16 pixels a
 * frame. */
void fakecam_pattern(int width, int height, unsigned frame, unsigned char* bgr);
#define FAKECAM_PATTERN_FRAMES 8

#ifdef __cplusplus
}
#endif
