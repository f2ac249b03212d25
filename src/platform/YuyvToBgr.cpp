#include "YuyvToBgr.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define THRESHCAM_HAVE_SSSE3 1
#endif

namespace platform::yuyv {

namespace {

std::uint8_t clamp8(int v)
{
    return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

#ifdef THRESHCAM_HAVE_SSSE3

#define SSSE3 __attribute__((target("ssse3")))

SSSE3 __m128i packShifted(__m128i lo, __m128i hi)
{
    return _mm_packs_epi32(_mm_srai_epi32(lo, 8), _mm_srai_epi32(hi, 8));
}

// Eight pixels from 16 bytes, as 16-bit blue, green and red. All arithmetic
// is that of the header: pmaddwd forms the products and sums exactly in 32
// bits, the shift is arithmetic, and the saturating packs here and in the
// caller do the clamping.
SSSE3 void eightPixels(__m128i in, __m128i& b, __m128i& g, __m128i& r)
{
    const __m128i c = _mm_sub_epi16(_mm_and_si128(in, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(16));
    const __m128i chroma = _mm_sub_epi16(_mm_srli_epi16(in, 8), _mm_set1_epi16(128));
    // Chroma words are U0 V0 U1 V1 ...: each U (or V) goes to both pixels.
    const __m128i d =
        _mm_shuffle_epi8(chroma, _mm_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13));
    const __m128i e = _mm_shuffle_epi8(
        chroma, _mm_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15));
    const __m128i one = _mm_set1_epi16(1);
    const __m128i cdLo = _mm_unpacklo_epi16(c, d), cdHi = _mm_unpackhi_epi16(c, d);
    const __m128i ceLo = _mm_unpacklo_epi16(c, e), ceHi = _mm_unpackhi_epi16(c, e);
    const __m128i e1Lo = _mm_unpacklo_epi16(e, one), e1Hi = _mm_unpackhi_epi16(e, one);
    // pmaddwd weights (low word first) for (C, E), (C, D), (C, D) and (E, 1).
    const __m128i kR = _mm_set1_epi32((409 << 16) | 298);
    const __m128i kG = _mm_set1_epi32(static_cast<int>(0xFF9C0000u | 298)); // -100, 298
    const __m128i kB = _mm_set1_epi32((516 << 16) | 298);
    const __m128i kGE = _mm_set1_epi32((128 << 16) | (-208 & 0xFFFF));
    const __m128i round = _mm_set1_epi32(128);
    r = packShifted(_mm_add_epi32(_mm_madd_epi16(ceLo, kR), round),
                    _mm_add_epi32(_mm_madd_epi16(ceHi, kR), round));
    g = packShifted(_mm_add_epi32(_mm_madd_epi16(cdLo, kG), _mm_madd_epi16(e1Lo, kGE)),
                    _mm_add_epi32(_mm_madd_epi16(cdHi, kG), _mm_madd_epi16(e1Hi, kGE)));
    b = packShifted(_mm_add_epi32(_mm_madd_epi16(cdLo, kB), round),
                    _mm_add_epi32(_mm_madd_epi16(cdHi, kB), round));
}

// 16 pixels at a time: 32 bytes in, 48 bytes out.
SSSE3 void rowSsse3Impl(const std::uint8_t* src, std::uint8_t* dst, int pairs)
{
    // Byte i of the 48 bytes out is channel i % 3 of pixel i / 3. For each
    // 16-byte block of output, the masks pick the bytes that blue, green and
    // red supply (-128 gives zero).
    const __m128i m[3][3] = {
        {_mm_setr_epi8(0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4, -128, -128,
                       5),
         _mm_setr_epi8(-128, 0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4, -128,
                       -128),
         _mm_setr_epi8(-128, -128, 0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4,
                       -128)},
        {_mm_setr_epi8(-128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128, -128, 10,
                       -128),
         _mm_setr_epi8(5, -128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128, -128,
                       10),
         _mm_setr_epi8(-128, 5, -128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128,
                       -128)},
        {_mm_setr_epi8(-128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128, -128, 15,
                       -128, -128),
         _mm_setr_epi8(-128, -128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128, -128,
                       15, -128),
         _mm_setr_epi8(10, -128, -128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128,
                       -128, 15)},
    };

    int i = 0;
    for (; i + 8 <= pairs; i += 8) {
        __m128i b0, g0, r0, b1, g1, r1;
        eightPixels(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i)), b0, g0, r0);
        eightPixels(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i + 16)), b1, g1,
                    r1);
        const __m128i b = _mm_packus_epi16(b0, b1);
        const __m128i g = _mm_packus_epi16(g0, g1);
        const __m128i r = _mm_packus_epi16(r0, r1);
        for (int k = 0; k < 3; ++k) {
            const __m128i out = _mm_or_si128(
                _mm_or_si128(_mm_shuffle_epi8(b, m[k][0]), _mm_shuffle_epi8(g, m[k][1])),
                _mm_shuffle_epi8(r, m[k][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 6 * i + 16 * k), out);
        }
    }
    rowPortable(src + 4 * i, dst + 6 * i, pairs - i);
}

#endif

} // namespace

void rowPortable(const std::uint8_t* __restrict src, std::uint8_t* __restrict dst, int pairs)
{
    for (int i = 0; i < pairs; ++i) {
        const std::uint8_t* p = src + 4 * i;
        std::uint8_t* d = dst + 6 * i;
        const int y0 = 298 * (p[0] - 16);
        const int u = p[1] - 128;
        const int y1 = 298 * (p[2] - 16);
        const int v = p[3] - 128;
        const int r = 409 * v + 128;
        const int g = -100 * u - 208 * v + 128;
        const int b = 516 * u + 128;
        d[0] = clamp8((y0 + b) >> 8);
        d[1] = clamp8((y0 + g) >> 8);
        d[2] = clamp8((y0 + r) >> 8);
        d[3] = clamp8((y1 + b) >> 8);
        d[4] = clamp8((y1 + g) >> 8);
        d[5] = clamp8((y1 + r) >> 8);
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

} // namespace platform::yuyv
