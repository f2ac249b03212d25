#include "Rgb32ToBgr.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define THRESHCAM_HAVE_SSSE3 1
#endif

namespace platform::rgb32 {

namespace {

#ifdef THRESHCAM_HAVE_SSSE3

__attribute__((target("ssse3"))) void rowSsse3Impl(const std::uint8_t* src, std::uint8_t* dst,
                                                   int width, Order order)
{
    alignas(16) std::int8_t bytes[16];
    for (int i = 0; i < 16; ++i) {
        const int channel = i % 3;
        const int at = channel == 0 ? order.b : channel == 1 ? order.g : order.r;
        bytes[i] = static_cast<std::int8_t>(i < 12 ? 4 * (i / 3) + at : -128);
    }
    const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    int x = 0;
    // Each store writes 16 bytes for 12; the next overwrites the last four,
    // and the loop stops where they would pass the row's end.
    for (; x + 6 <= width; x += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), _mm_shuffle_epi8(in, mask));
    }
    rowPortable(src + 4 * x, dst + 3 * x, width - x, order);
}

#endif

} // namespace

void rowPortable(const std::uint8_t* src, std::uint8_t* dst, int width, Order order)
{
    for (int x = 0; x < width; ++x) {
        dst[3 * x] = src[4 * x + order.b];
        dst[3 * x + 1] = src[4 * x + order.g];
        dst[3 * x + 2] = src[4 * x + order.r];
    }
}

RowFunction rowSsse3()
{
#ifdef THRESHCAM_HAVE_SSSE3
    if (__builtin_cpu_supports("ssse3"))
        return rowSsse3Impl;
#endif
    return nullptr;
}

RowFunction bestRow()
{
    static const RowFunction best = [] {
        const RowFunction simd = rowSsse3();
        return simd ? simd : rowPortable;
    }();
    return best;
}

} // namespace platform::rgb32
