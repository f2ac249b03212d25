#include "SpaFormats.h"

// SPA's pod macros build C compound literals, which ISO C++ frowns upon.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

namespace platform::pipewire {

namespace {

struct Known {
    std::uint32_t spa; // spa_video_format
    FrameFormat format;
    std::size_t bytesPerPixel; // of the first plane
    int planes;
};

// Preferred first: shown as sent, then 4:2:2, then 4:2:0, GREY last (MJPEG,
// a subtype of its own, comes between 4:2:0 and GREY). Alpha is dropped, so
// the alpha forms read as their padded ones.
constexpr Known kFormats[] = {
    {SPA_VIDEO_FORMAT_BGR, FrameFormat::BGR24, 3, 1},
    {SPA_VIDEO_FORMAT_RGB, FrameFormat::RGB24, 3, 1},
    {SPA_VIDEO_FORMAT_BGRx, FrameFormat::BGRX, 4, 1},
    {SPA_VIDEO_FORMAT_BGRA, FrameFormat::BGRX, 4, 1},
    {SPA_VIDEO_FORMAT_RGBx, FrameFormat::RGBX, 4, 1},
    {SPA_VIDEO_FORMAT_RGBA, FrameFormat::RGBX, 4, 1},
    {SPA_VIDEO_FORMAT_xRGB, FrameFormat::XRGB, 4, 1},
    {SPA_VIDEO_FORMAT_ARGB, FrameFormat::XRGB, 4, 1},
    {SPA_VIDEO_FORMAT_xBGR, FrameFormat::XBGR, 4, 1},
    {SPA_VIDEO_FORMAT_ABGR, FrameFormat::XBGR, 4, 1},
    {SPA_VIDEO_FORMAT_YUY2, FrameFormat::YUYV, 2, 1},
    {SPA_VIDEO_FORMAT_UYVY, FrameFormat::UYVY, 2, 1},
    {SPA_VIDEO_FORMAT_YVYU, FrameFormat::YVYU, 2, 1},
    {SPA_VIDEO_FORMAT_VYUY, FrameFormat::VYUY, 2, 1},
    {SPA_VIDEO_FORMAT_NV12, FrameFormat::NV12, 1, 2},
    {SPA_VIDEO_FORMAT_NV21, FrameFormat::NV21, 1, 2},
    {SPA_VIDEO_FORMAT_I420, FrameFormat::I420, 1, 3},
    {SPA_VIDEO_FORMAT_YV12, FrameFormat::YV12, 1, 3},
    {SPA_VIDEO_FORMAT_GRAY8, FrameFormat::GREY, 1, 1},
};

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFps = 30;

// Formats the decoder reads at all; the table may name more than it does.
bool decoded(FrameFormat format)
{
    return FrameDecoder::supports({format, kWidth, kHeight, 0, YuvEncoding::Bt601Limited});
}

const Known* known(std::uint32_t spa)
{
    for (const Known& k : kFormats)
        if (k.spa == spa && decoded(k.format))
            return &k;
    return nullptr;
}

// The size and rate we ask for, and the bounds we take.
void addSizeAndRate(spa_pod_builder& b)
{
    const spa_rectangle size = SPA_RECTANGLE(kWidth, kHeight);
    const spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    const spa_rectangle largest = SPA_RECTANGLE(FrameDecoder::kMaxSide, FrameDecoder::kMaxSide);
    const spa_fraction rate = SPA_FRACTION(kFps, 1);
    const spa_fraction slowest = SPA_FRACTION(0, 1);
    const spa_fraction fastest = SPA_FRACTION(1000, 1);
    spa_pod_builder_add(
        &b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest), 0);
}

// Frames taller than this that name no colour matrix are HD video, which
// GStreamer writes in Rec. 709 without saying so, and FFmpeg and the
// browsers read so.
constexpr std::uint32_t kTallestSd = 576;

// YUV's reading as PipeWire declares it: a named matrix as named (BT.601
// unless it is Rec. 709), none Rec. 709 for HD and BT.601 otherwise;
// limited range unless full is named, except for GREY, which cameras that
// declare nothing send in full range.
YuvEncoding encodingOf(const spa_video_info_raw& raw, FrameFormat format)
{
    const bool full =
        raw.color_range == SPA_VIDEO_COLOR_RANGE_0_255 ||
        (format == FrameFormat::GREY && raw.color_range == SPA_VIDEO_COLOR_RANGE_UNKNOWN);
    const bool rec709 =
        raw.color_matrix == SPA_VIDEO_COLOR_MATRIX_BT709 ||
        (raw.color_matrix == SPA_VIDEO_COLOR_MATRIX_UNKNOWN && raw.size.height > kTallestSd);
    if (rec709)
        return full ? YuvEncoding::Rec709Full : YuvEncoding::Rec709Limited;
    return full ? YuvEncoding::Bt601Full : YuvEncoding::Bt601Limited;
}

// The bytes of plane p's row without padding.
std::size_t packedRow(const Negotiated& format, int p)
{
    const std::size_t w = static_cast<std::size_t>(format.layout.width), cw = (w + 1) / 2;
    if (p > 0)
        return format.planes == 2 ? 2 * cw : cw;
    // A 4:2:2 row holds whole pairs: an odd last pixel comes with its pair.
    return format.bytesPerPixel == 2 ? 4 * cw : w * format.bytesPerPixel;
}

// Plane p's rows: the chroma planes' cover two rows each.
std::size_t rowsOf(const Negotiated& format, int p)
{
    const std::size_t h = static_cast<std::size_t>(format.layout.height);
    return p > 0 ? (h + 1) / 2 : h;
}

std::size_t roundUp4(std::size_t n)
{
    return (n + 3) & ~std::size_t{3};
}

// 4:2:0 in one block as GStreamer lays it out (gst_video_info_set_format):
// the planes one after another, each plane's rows rounded up to 4 bytes,
// and the chroma after an even number of luma rows. False, and `planes`
// left alone, when the block is too short for it.
bool splitAsGStreamer(const Negotiated& format, FramePlanes& planes)
{
    const std::size_t w = static_cast<std::size_t>(format.layout.width);
    const std::size_t lumaStride = roundUp4(w);
    const std::size_t chromaStride = format.planes == 2 ? lumaStride : roundUp4((w + 1) / 2);
    const std::size_t chromaRows = rowsOf(format, 1);
    const std::size_t luma = lumaStride * 2 * chromaRows;
    const std::size_t chroma = chromaStride * chromaRows;
    const FramePlanes::Plane block = planes.plane[0];
    if (block.size < luma + chroma * std::size_t(format.planes - 1))
        return false;
    planes.plane[0] = {block.data, luma, lumaStride};
    for (int p = 1; p < format.planes; ++p)
        planes.plane[p] = {block.data + luma + chroma * std::size_t(p - 1), chroma, chromaStride};
    planes.count = format.planes;
    return true;
}

} // namespace

std::vector<const spa_pod*> offeredFormats(spa_pod_builder& b)
{
    std::vector<const spa_pod*> pods;
    std::vector<std::uint32_t> raw;
    for (const Known& k : kFormats)
        if (decoded(k.format) && k.format != FrameFormat::GREY)
            raw.push_back(k.spa);
    // One format object; raw ones name their formats.
    const auto pod = [&](std::uint32_t subtype, const std::vector<std::uint32_t>& formats) {
        spa_pod_frame f;
        spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
        spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                            SPA_FORMAT_mediaSubtype, SPA_POD_Id(subtype), 0);
        if (!formats.empty()) {
            // A choice's first value is its default, so the first format is named twice.
            spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
            spa_pod_frame choice;
            spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
            spa_pod_builder_id(&b, formats.front());
            for (std::uint32_t format : formats)
                spa_pod_builder_id(&b, format);
            spa_pod_builder_pop(&b, &choice);
        }
        addSizeAndRate(b);
        return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
    };
    if (!raw.empty())
        pods.push_back(pod(SPA_MEDIA_SUBTYPE_raw, raw));
    if (decoded(FrameFormat::MJPEG))
        pods.push_back(pod(SPA_MEDIA_SUBTYPE_mjpg, {}));
    if (decoded(FrameFormat::GREY))
        pods.push_back(pod(SPA_MEDIA_SUBTYPE_raw, {SPA_VIDEO_FORMAT_GRAY8}));
    return pods;
}

bool readable(const spa_pod* format)
{
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (!format || spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video)
        return false;
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg)
        return decoded(FrameFormat::MJPEG);
    if (mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return false;
    const spa_pod_prop* prop = spa_pod_find_prop(format, nullptr, SPA_FORMAT_VIDEO_format);
    if (!prop)
        return false;
    std::uint32_t count = 0, choice = 0;
    const spa_pod* values = spa_pod_get_values(&prop->value, &count, &choice);
    if (!values || values->type != SPA_TYPE_Id)
        return false;
    const auto* ids = static_cast<const std::uint32_t*>(SPA_POD_BODY_CONST(values));
    for (std::uint32_t i = 0; i < count; ++i)
        if (known(ids[i]))
            return true;
    return false;
}

std::optional<Negotiated> negotiated(const spa_pod* format)
{
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (!format || spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video)
        return std::nullopt;
    Negotiated n;
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg mjpg{};
        if (spa_format_video_mjpg_parse(format, &mjpg) < 0)
            return std::nullopt;
        n.layout = {FrameFormat::MJPEG, static_cast<int>(mjpg.size.width),
                    static_cast<int>(mjpg.size.height), 0, YuvEncoding::Bt601Full};
        n.bytesPerPixel = 0;
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw raw{};
        if (spa_format_video_raw_parse(format, &raw) < 0)
            return std::nullopt;
        const Known* k = known(raw.format);
        if (!k)
            return std::nullopt;
        n.layout = {k->format, static_cast<int>(raw.size.width), static_cast<int>(raw.size.height),
                    0, encodingOf(raw, k->format)};
        n.bytesPerPixel = k->bytesPerPixel;
        n.planes = k->planes;
    } else {
        return std::nullopt;
    }
    // The same bounds as for V4L2's sizes.
    if (!FrameDecoder::supports(n.layout))
        return std::nullopt;
    return n;
}

FrameLayout bufferLayout(const Negotiated& format, FramePlanes& planes)
{
    FrameLayout layout = format.layout;
    if (!format.bytesPerPixel || planes.count < 1)
        return layout; // MJPEG: one picture, no rows
    // No stride for 4:2:0 in one block: GStreamer's layout, as small
    // producers publish it; when the block is too short for that, the
    // planes back to back without padding.
    if (format.planes > 1 && planes.count == 1 && planes.plane[0].stride == 0) {
        splitAsGStreamer(format, planes);
        return layout;
    }
    // No stride otherwise: rows as wide as the block's size over its rows
    // says, as PipeWire's own examples take them, when that holds a row.
    for (int p = 0; p < planes.count; ++p) {
        FramePlanes::Plane& plane = planes.plane[p];
        const std::size_t wide = plane.size / rowsOf(format, p);
        if (plane.stride == 0 && wide >= packedRow(format, p))
            plane.stride = wide;
    }
    // Narrower rows than announced (libcamera does this): show the columns
    // the stride holds, never more; 4:2:2 in whole pairs.
    const std::size_t stride = planes.plane[0].stride;
    if (stride != 0 && stride < packedRow(format, 0))
        layout.width = static_cast<int>(format.bytesPerPixel == 2 ? stride / 4 * 2
                                                                  : stride / format.bytesPerPixel);
    layout.bytesPerLine = stride;
    return layout;
}

} // namespace platform::pipewire

#pragma GCC diagnostic pop
