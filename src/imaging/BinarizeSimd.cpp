// The pass in SIMD through Highway: one copy per instruction set, the best
// one that the processor runs chosen at the first call. The release build
// needs nothing beyond x86-64's baseline to start.
//
// The rule needs a 32-bit sum per pixel (luminanceSum), so each pixel gets a
// 32-bit lane holding its bytes blue, green, red and a zero,
// v = B + 2^8 G + 2^16 R. Then
//     cB v + (cG - 256 cB) (v >> 8) + (cR - 256 cG) (v >> 16)
// equals cB B + cG G + cR R modulo 2^32, which is the sum itself because it
// stays below 2^31: two shifts and three multiplies, with no unpacking of
// channels.
//
// One step takes 4P pixels, P being the number of 32-bit lanes, which is
// three vectors of bytes. Four groups of P pixels are each spread into lanes,
// summed and compared; saturating packs, which keep the sign, bring the four
// groups down to one byte per pixel; and those bytes are spread back to
// three per pixel.

// Highway leaves AVX3_DL (AVX-512 with VBMI: Ice Lake, Zen 4 and later) out
// unless asked; the pass has a faster step for it.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "BinarizeSimd.cpp"
#include "BinarizeKernel.h"
#include "BinarizePaths.h"
#include "Luminance.h"

#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace imaging::detail::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// Highway only emulates vectors here; the plain loop does as well and is the
// one the tests check directly.
static void binarizeRowsTarget(const PixelRows& rows, std::uint32_t floor)
{
    forEachRun(rows, [floor](std::uint8_t* pixels, std::size_t count) {
        binarizeRunPortable(pixels, count, floor);
    });
}

static const char* pathName()
{
    return "C++";
}

#else

namespace {

using D8 = hn::ScalableTag<std::uint8_t>;
using DI8 = hn::ScalableTag<std::int8_t>;
using DI16 = hn::ScalableTag<std::int16_t>;
using D32 = hn::ScalableTag<std::uint32_t>;
using DI32 = hn::ScalableTag<std::int32_t>;
using VI32 = hn::Vec<DI32>;

// The weights of the sum rearranged for v, v >> 8 and v >> 16; unsigned
// arithmetic wraps, which is what the identity above needs.
constexpr std::uint32_t kMixV = kBlueWeight23;
constexpr std::uint32_t kMixV8 = kGreenWeight23 - 256 * kBlueWeight23;
constexpr std::uint32_t kMixV16 = kRedWeight23 - 256 * kGreenWeight23;

constexpr std::uint32_t mixedSum(std::uint8_t R, std::uint8_t G, std::uint8_t B)
{
    const std::uint32_t v = B | (G << 8) | (std::uint32_t{R} << 16);
    return kMixV * v + kMixV8 * (v >> 8) + kMixV16 * (v >> 16);
}
static_assert(mixedSum(255, 255, 255) == luminanceSum(255, 255, 255));
static_assert(mixedSum(200, 100, 50) == luminanceSum(200, 100, 50));
static_assert(mixedSum(0, 255, 1) == luminanceSum(0, 255, 1));

// Brings four vectors of 32-bit values down to one vector of bytes,
// saturating, so that each byte has the sign of its value. The order of the
// bytes is the packs' own; the caller finds it out by packing lane numbers.
HWY_INLINE hn::Vec<DI8> packBytes(VI32 a, VI32 b, VI32 c, VI32 d)
{
    const DI8 di8;
#if HWY_ARCH_X86
    // Packs that work within 128-bit blocks: two instructions for four
    // vectors, where packing each in order takes three or more apiece.
    const DI16 di16;
    const hn::Rebind<std::int8_t, DI16> di8Half;
    const auto ab = hn::DemoteTo(di8Half, hn::ReorderDemote2To(di16, a, b));
    const auto cd = hn::DemoteTo(di8Half, hn::ReorderDemote2To(di16, c, d));
    return hn::Combine(di8, cd, ab);
#else
    const hn::Rebind<std::int8_t, DI32> di8Quarter;
    const hn::Twice<decltype(di8Quarter)> di8Half;
    const auto ab = hn::Combine(di8Half, hn::DemoteTo(di8Quarter, b), hn::DemoteTo(di8Quarter, a));
    const auto cd = hn::Combine(di8Half, hn::DemoteTo(di8Quarter, d), hn::DemoteTo(di8Quarter, c));
    return hn::Combine(di8, cd, ab);
#endif
}

// Blue, green, red and a zero per 32-bit lane, for four pixels that start at
// the beginning of a 128-bit block; 0x80 makes a zero byte.
alignas(16) constexpr std::uint8_t kSpreadPixels[16] = {0, 1, 2, 0x80, 3, 4,  5,  0x80,
                                                        6, 7, 8, 0x80, 9, 10, 11, 0x80};
// The same four bytes later, for the last group of a step with 128-bit vectors.
alignas(16) constexpr std::uint8_t kSpreadPixelsAt4[16] = {4,  5,  6,  0x80, 7,  8,  9,  0x80,
                                                           10, 11, 12, 0x80, 13, 14, 15, 0x80};

// Vectors of one 128-bit block: lane moves across blocks are not needed.
constexpr bool kOneBlock = hn::MaxLanes(D8()) == 16;

// luminanceSum - floor for the P pixels whose bytes start at `at`, after the
// lane move `lanes` and the byte shuffle `spread`: white where not negative.
template <class Lanes>
HWY_INLINE VI32 groupSums(D32 d32, const std::uint8_t* at, const Lanes& lanes, hn::Vec<D8> spread,
                          hn::Vec<D32> mixV, hn::Vec<D32> mixV8, hn::Vec<D32> mixV16,
                          hn::Vec<D32> floorV)
{
    const D8 d8;
    auto bytes = hn::LoadU(d8, at);
    if constexpr (!kOneBlock)
        bytes = hn::BitCast(d8, hn::TableLookupLanes(hn::BitCast(d32, bytes), lanes));
    const auto v = hn::BitCast(d32, hn::TableLookupBytesOr0(bytes, spread));
    const auto sum = hn::Add(hn::Add(hn::Mul(v, mixV), hn::Mul(hn::ShiftRight<8>(v), mixV8)),
                             hn::Mul(hn::ShiftRight<16>(v), mixV16));
    return hn::BitCast(DI32(), hn::Sub(sum, floorV));
}

// One output vector: the lane move `lanes`, then the byte shuffle `bytes`.
template <class Lanes>
HWY_INLINE hn::Vec<D8> fanOut(D32 d32, hn::Vec<D8> values, const Lanes& lanes, hn::Vec<D8> bytes)
{
    if constexpr (!kOneBlock)
        values = hn::BitCast(D8(), hn::TableLookupLanes(hn::BitCast(d32, values), lanes));
    return hn::TableLookupBytes(values, bytes);
}

// Where the bytes of a step go, worked out once per pass.
struct StepTables {
    // In: 32-bit lanes 3i..3i+2 of a group's bytes hold the four pixels of
    // block i and move to block i; the last group of a step is loaded from P
    // bytes earlier than the others (so as not to read past the step), so its
    // lanes sit P/4 further on.
    HWY_ALIGN std::int32_t gather[hn::MaxLanes(D32())];
    HWY_ALIGN std::int32_t gatherLast[hn::MaxLanes(D32())];
    // Out: the lane move and the byte shuffle for each of the three vectors.
    HWY_ALIGN std::int32_t fanLanes[3][hn::MaxLanes(D32())];
    HWY_ALIGN std::uint8_t fanBytes[3][hn::MaxLanes(D8())];
};

// False when packBytes does not keep each four pixels that start at a
// multiple of four together and in order, which the spreading below needs
// because it moves whole 32-bit lanes.
inline bool setUp(StepTables& tables)
{
    const D8 d8;
    const DI8 di8;
    const D32 d32;
    const DI32 di32;
    const std::size_t N = hn::Lanes(d8);
    const std::size_t P = hn::Lanes(d32);

    // Where packBytes puts each pixel of a step: pack the pixel numbers.
    HWY_ALIGN std::int8_t packed[hn::MaxLanes(di8)];
    const VI32 pixel = hn::Iota(di32, 0);
    const auto p = static_cast<std::int32_t>(P);
    hn::Store(packBytes(pixel, hn::Add(pixel, hn::Set(di32, p)),
                        hn::Add(pixel, hn::Set(di32, 2 * p)), hn::Add(pixel, hn::Set(di32, 3 * p))),
              di8, packed);
    std::int32_t quadAt[hn::MaxLanes(d32)];
    for (std::size_t lane = 0; lane < P; ++lane) {
        const int first = packed[4 * lane];
        if (first % 4 != 0)
            return false;
        for (std::size_t k = 1; k < 4; ++k)
            if (packed[4 * lane + k] != first + static_cast<int>(k))
                return false;
        quadAt[first / 4] = static_cast<std::int32_t>(lane);
    }

    for (std::size_t lane = 0; lane < P; ++lane) {
        const auto source =
            static_cast<std::int32_t>(3 * (lane / 4) + std::min<std::size_t>(lane % 4, 2));
        tables.gather[lane] = source;
        tables.gatherLast[lane] = source + static_cast<std::int32_t>(P / 4);
    }
    // Byte t of output block b (of 3N/16 in a step) is pixel (16b + t) / 3,
    // one of the sixteen pixels from 16 (b / 3) on. The lane move brings
    // those four quads into the block, in order; the byte shuffle picks.
    for (std::size_t out = 0; out < 3; ++out) {
        for (std::size_t t = 0; t < N; ++t) {
            const std::size_t block = out * (N / 16) + t / 16;
            const std::size_t pixelOfByte = (16 * block + t % 16) / 3;
            if (kOneBlock) // no lane move: pick straight from where the packs left it
                tables.fanBytes[out][t] =
                    static_cast<std::uint8_t>(4 * quadAt[pixelOfByte / 4] + pixelOfByte % 4);
            else
                tables.fanBytes[out][t] = static_cast<std::uint8_t>(pixelOfByte - 16 * (block / 3));
        }
        for (std::size_t lane = 0; lane < P; ++lane) {
            const std::size_t block = out * (N / 16) + lane / 4;
            tables.fanLanes[out][lane] = quadAt[4 * (block / 3) + lane % 4];
        }
    }
    return true;
}

// The pass over `count` adjacent pixels, at least one step's worth.
HWY_INLINE void binarizeRun(const StepTables& tables, std::uint32_t floor, std::uint8_t* pixels,
                            std::size_t count)
{
    const D8 d8;
    const DI8 di8;
    const D32 d32;
    const std::size_t N = hn::Lanes(d8);
    const std::size_t P = hn::Lanes(d32);
    const std::size_t step = 4 * P;

    // Every constant in a register of its own before the loop: the stores
    // through `pixels` could otherwise alias the tables and force reloads.
    const auto gather = hn::SetTableIndices(d32, tables.gather);
    const auto gatherLast = hn::SetTableIndices(d32, tables.gatherLast);
    const auto spreadPixels = hn::LoadDup128(d8, kSpreadPixels);
    const auto spreadPixelsLast = hn::LoadDup128(d8, kOneBlock ? kSpreadPixelsAt4 : kSpreadPixels);
    const auto fan0 = hn::SetTableIndices(d32, tables.fanLanes[0]);
    const auto fan1 = hn::SetTableIndices(d32, tables.fanLanes[1]);
    const auto fan2 = hn::SetTableIndices(d32, tables.fanLanes[2]);
    const auto fanBytes0 = hn::Load(d8, tables.fanBytes[0]);
    const auto fanBytes1 = hn::Load(d8, tables.fanBytes[1]);
    const auto fanBytes2 = hn::Load(d8, tables.fanBytes[2]);
    const auto mixV = hn::Set(d32, kMixV);
    const auto mixV8 = hn::Set(d32, kMixV8);
    const auto mixV16 = hn::Set(d32, kMixV16);
    const auto floorV = hn::Set(d32, floor);
    const auto minusOne = hn::Set(di8, -1);

    // The last step ends exactly at the end of the run and goes over some
    // pixels again: harmless, since a binarized pixel stays as it is under
    // the same threshold.
    for (std::size_t done = 0; done < count; done += step) {
        std::uint8_t* const at = pixels + 3 * std::min(done, count - step);
        // All three vectors are read before any is written, so the step
        // works in place.
        const VI32 g0 = groupSums(d32, at, gather, spreadPixels, mixV, mixV8, mixV16, floorV);
        const VI32 g1 =
            groupSums(d32, at + 3 * P, gather, spreadPixels, mixV, mixV8, mixV16, floorV);
        const VI32 g2 =
            groupSums(d32, at + 6 * P, gather, spreadPixels, mixV, mixV8, mixV16, floorV);
        const VI32 g3 =
            groupSums(d32, at + 8 * P, gatherLast, spreadPixelsLast, mixV, mixV8, mixV16, floorV);
        const auto white =
            hn::BitCast(d8, hn::VecFromMask(di8, hn::Gt(packBytes(g0, g1, g2, g3), minusOne)));
        hn::StoreU(fanOut(d32, white, fan0, fanBytes0), d8, at);
        hn::StoreU(fanOut(d32, white, fan1, fanBytes1), d8, at + N);
        hn::StoreU(fanOut(d32, white, fan2, fanBytes2), d8, at + 2 * N);
    }
}

#if HWY_TARGET == HWY_AVX3_DL

// The same step with AVX-512 VBMI, which Highway 1.0 does not wrap: byte
// permutes across the whole vector do each lane move and byte shuffle pair
// in one, and comparisons into mask registers, which join into one mask of
// the step's 64 pixels, take the place of the packs.
HWY_INLINE __mmask16 groupWhite(const std::uint8_t* at, __m512i pixelBytes, __m512i mixV,
                                __m512i mixV8, __m512i mixV16, __m512i floorV)
{
    // Bytes 3k..3k+2 of the load into lane k, with a zero on top.
    const __m512i v =
        _mm512_maskz_permutexvar_epi8(0x7777777777777777ull, pixelBytes, _mm512_loadu_si512(at));
    const __m512i sum =
        _mm512_add_epi32(_mm512_add_epi32(_mm512_mullo_epi32(v, mixV),
                                          _mm512_mullo_epi32(_mm512_srli_epi32(v, 8), mixV8)),
                         _mm512_mullo_epi32(_mm512_srli_epi32(v, 16), mixV16));
    return _mm512_cmpge_epu32_mask(sum, floorV);
}

HWY_INLINE void binarizeRunVbmi(std::uint32_t floor, std::uint8_t* pixels, std::size_t count)
{
    constexpr std::size_t step = 64;
    alignas(64) std::uint8_t gather[64], gatherLast[64], fan[3][64];
    for (int lane = 0; lane < 16; ++lane) {
        for (int k = 0; k < 4; ++k) {
            gather[4 * lane + k] = static_cast<std::uint8_t>(k < 3 ? 3 * lane + k : 0);
            gatherLast[4 * lane + k] = static_cast<std::uint8_t>(k < 3 ? 16 + 3 * lane + k : 0);
        }
    }
    for (int out = 0; out < 3; ++out)
        for (int t = 0; t < 64; ++t)
            fan[out][t] = static_cast<std::uint8_t>((64 * out + t) / 3);
    const __m512i pixelBytes = _mm512_load_si512(gather);
    // The last group is loaded 16 bytes early so as not to read past the step.
    const __m512i pixelBytesLast = _mm512_load_si512(gatherLast);
    const __m512i fan0 = _mm512_load_si512(fan[0]);
    const __m512i fan1 = _mm512_load_si512(fan[1]);
    const __m512i fan2 = _mm512_load_si512(fan[2]);
    const __m512i mixV = _mm512_set1_epi32(static_cast<int>(kMixV));
    const __m512i mixV8 = _mm512_set1_epi32(static_cast<int>(kMixV8));
    const __m512i mixV16 = _mm512_set1_epi32(static_cast<int>(kMixV16));
    const __m512i floorV = _mm512_set1_epi32(static_cast<int>(floor));

    for (std::size_t done = 0; done < count; done += step) {
        std::uint8_t* const at = pixels + 3 * std::min(done, count - step);
        // As in binarizeRun: all reads of the step come before its writes.
        const __mmask16 w0 = groupWhite(at, pixelBytes, mixV, mixV8, mixV16, floorV);
        const __mmask16 w1 = groupWhite(at + 48, pixelBytes, mixV, mixV8, mixV16, floorV);
        const __mmask16 w2 = groupWhite(at + 96, pixelBytes, mixV, mixV8, mixV16, floorV);
        const __mmask16 w3 = groupWhite(at + 128, pixelBytesLast, mixV, mixV8, mixV16, floorV);
        // The _mm512_kunpack forms, which clang 14's headers have as well as
        // GCC's; the _kunpack*_mask* ones are GCC's alone there.
        const __m512i white =
            _mm512_movm_epi8(_mm512_kunpackd(_mm512_kunpackw(w3, w2), _mm512_kunpackw(w1, w0)));
        _mm512_storeu_si512(at, _mm512_permutexvar_epi8(fan0, white));
        _mm512_storeu_si512(at + 64, _mm512_permutexvar_epi8(fan1, white));
        _mm512_storeu_si512(at + 128, _mm512_permutexvar_epi8(fan2, white));
    }
}

#endif

} // namespace

static void binarizeRowsTarget(const PixelRows& rows, std::uint32_t floor)
{
#if HWY_TARGET == HWY_AVX3_DL
    forEachRun(rows, [floor](std::uint8_t* pixels, std::size_t count) {
        if (count >= 64)
            binarizeRunVbmi(floor, pixels, count);
        else
            binarizeRunPortable(pixels, count, floor);
    });
#else
    StepTables tables;
    const bool vectors = setUp(tables);
    const std::size_t step = 4 * hn::Lanes(D32());
    forEachRun(rows, [&](std::uint8_t* pixels, std::size_t count) {
        if (vectors && count >= step)
            binarizeRun(tables, floor, pixels, count);
        else
            binarizeRunPortable(pixels, count, floor);
    });
#endif
}

static const char* pathName()
{
    return hwy::TargetName(HWY_TARGET);
}

#endif

} // namespace imaging::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <hwy/targets.h>

namespace imaging {

namespace detail {

HWY_EXPORT(binarizeRowsTarget);
HWY_EXPORT(pathName);

void binarizeRows(const PixelRows& rows, std::uint32_t floor) noexcept
{
    HWY_DYNAMIC_DISPATCH(binarizeRowsTarget)(rows, floor);
}

} // namespace detail

namespace {

bool isSimd(std::int64_t target)
{
    return target != HWY_SCALAR && target != HWY_EMU128;
}

} // namespace

std::vector<std::string> binarizeSimdTargets()
{
    std::vector<std::string> names;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets())
        if (isSimd(target))
            names.emplace_back(hwy::TargetName(target));
    return names;
}

bool useBinarizeSimdTarget(std::string_view name)
{
    hwy::SetSupportedTargetsForTest(0);
    if (name.empty())
        return true;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        if (isSimd(target) && name == hwy::TargetName(target)) {
            hwy::SetSupportedTargetsForTest(target);
            return true;
        }
    }
    return false;
}

std::string binarizePath()
{
    return HWY_DYNAMIC_DISPATCH(detail::pathName)();
}

} // namespace imaging

#endif
