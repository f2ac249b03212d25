#pragma once

// What PipeWire calls the formats the frame decoder reads, in one table,
// and the format objects (pods) that offer them and describe what a camera
// settled on.

#include "FrameDecoder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct spa_pod;
struct spa_pod_builder;

namespace platform::pipewire {

// The formats we offer, as pods built into `builder`, in the order we
// prefer them: 640x480 at 30 fps, or whatever size and rate the camera
// settles on.
std::vector<const spa_pod*> offeredFormats(spa_pod_builder& builder);

// Whether an EnumFormat pod of a camera's offers something we decode.
bool readable(const spa_pod* format);

struct Negotiated {
    FrameLayout layout; // bytesPerLine is left 0: each buffer's chunk gives it
    // Bytes per pixel of the first plane's rows; 0 for MJPEG.
    std::size_t bytesPerPixel = 0;
    // Planes the format has: 1, or 2 or 3 for the planar ones.
    int planes = 1;
};

// The layout of a negotiated Format pod; empty when it is none we decode,
// or a size out of the decoder's bounds.
std::optional<Negotiated> negotiated(const spa_pod* format);

// The layout one buffer is decoded in. `planes` comes with each data block's
// bytes and chunk stride (0 when the chunk gives none), one block per plane
// or all in the first, and leaves with each plane's bytes and stride as the
// decoder is to read them.
FrameLayout bufferLayout(const Negotiated& format, FramePlanes& planes);

} // namespace platform::pipewire
