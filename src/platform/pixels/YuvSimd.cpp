// The YUV rows in SIMD through Highway: one source for x86 and ARM, compiled
// once per instruction set, the best one that the processor runs chosen at
// run time.
//
// The arithmetic is the portable row's (YuvRule.h), 16 pixels a step. Each
// V is summed from 16-bit products taken pairwise into 32 bits (pmaddwd on
// x86, smlal and addp on NEON), with every coefficient split into pieces of
// 16 bits or less so that the products are exact: luma's as (a >> 7, a & 127)
// against (c << 7, c), chroma's high and low bytes against (d << 8, f << 8)
// and (d, f). Vectors are 128 bits on every instruction set: the byte
// shuffles that gather samples and spread the output stay within one block,
// and a row of a few hundred pixels gains little from wider ones.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "YuvSimd.cpp"
#include "YuvRule.h"
#include "YuyvToBgr.h"

#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace platform::yuv::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// Highway only emulates vectors here; the portable row does as well.
static void rowTarget(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    rowPortable(row, dst, width, encoding);
}

#else

namespace {

using rule::kFraction;
using rule::Matrix;

using D8 = hn::FixedTag<std::uint8_t, 16>;
using DI16 = hn::FixedTag<std::int16_t, 8>;
using DI32 = hn::FixedTag<std::int32_t, 4>;
using V8 = hn::Vec<D8>;
using VI16 = hn::Vec<DI16>;
using VI32 = hn::Vec<DI32>;

enum class Layout : std::uint8_t { Packed, SemiPlanar, Planar };

// Word pairs (first, second) in every 32-bit lane.
HWY_INLINE VI16 words(std::int32_t first, std::int32_t second)
{
    const DI16 d;
    return hn::InterleaveLower(d, hn::Set(d, static_cast<std::int16_t>(first)),
                               hn::Set(d, static_cast<std::int16_t>(second)));
}

// Lane i: a[2i] b[2i] + a[2i + 1] b[2i + 1], exact in 32 bits.
HWY_INLINE VI32 pairSums(VI16 a, VI16 b)
{
    const DI32 d;
    VI32 odd = hn::Zero(d);
    const VI32 even = hn::ReorderWidenMulAccumulate(d, a, b, hn::Zero(d), odd);
    return hn::RearrangeToOddPlusEven(even, odd);
}

// Saturating packs that keep the order: `a`'s lanes, then `b`'s. On x86 one
// instruction each; Highway 1.0 has no ordered form of two vectors.
HWY_INLINE VI16 packWords(VI32 a, VI32 b)
{
#if HWY_ARCH_X86
    return VI16{_mm_packs_epi32(a.raw, b.raw)};
#else
    const DI16 d;
    const hn::Half<DI16> half;
    return hn::Combine(d, hn::DemoteTo(half, b), hn::DemoteTo(half, a));
#endif
}

HWY_INLINE V8 packBytes(VI16 a, VI16 b)
{
#if HWY_ARCH_X86
    return V8{_mm_packus_epi16(a.raw, b.raw)};
#else
    const D8 d;
    const hn::Half<D8> half;
    return hn::Combine(d, hn::DemoteTo(half, b), hn::DemoteTo(half, a));
#endif
}

// One channel's V for the four pairs' first and second pixels: the chroma
// sum once per pair, added to each pixel's luma.
template <YuvEncoding kEncoding, int kChannel>
HWY_INLINE void channelSums(VI32 lumaFirst, VI32 lumaSecond, VI16 chroma, VI16 chroma8, VI32& first,
                            VI32& second)
{
    constexpr const rule::Channel& k = rule::kMatrices[static_cast<int>(kEncoding)].bgr[kChannel];
    const VI32 pairs = hn::Add(hn::Add(pairSums(chroma8, words(k.cb >> 8, k.cr >> 8)),
                                       pairSums(chroma, words(k.cb & 255, k.cr & 255))),
                               hn::Set(DI32(), k.bias));
    first = hn::Add(lumaFirst, pairs);
    second = hn::Add(lumaSecond, pairs);
}

HWY_INLINE VI16 rounded(VI32 first, VI32 second)
{
    return packWords(hn::ShiftRight<kFraction>(first), hn::ShiftRight<kFraction>(second));
}

// Eight pixels, as 16-bit blue, green and red, the pairs' first pixels
// before their second ones, from their luma words (the four pairs' first Y,
// then their second) and chroma words (Cb0 Cr0 Cb1 Cr1 ...); the mask is set
// where some green V is too near a step for V >> 21.
template <YuvEncoding kEncoding>
HWY_INLINE hn::Mask<DI32> eightPixels(VI16 luma, VI16 chromaIn, VI16& b, VI16& g, VI16& r)
{
    constexpr const Matrix& m = rule::kMatrices[static_cast<int>(kEncoding)];
    const DI16 di16;
    const DI32 di32;
    const VI16 c = hn::Sub(luma, hn::Set(di16, static_cast<std::int16_t>(m.yOffset)));
    const VI16 c7 = hn::ShiftLeft<7>(c);
    const VI16 wy = words(m.y >> 7, m.y & 127);
    const VI32 lumaFirst = pairSums(hn::InterleaveLower(di16, c7, c), wy);
    const VI32 lumaSecond = pairSums(hn::InterleaveUpper(di16, c7, c), wy);
    const VI16 chroma = hn::Sub(chromaIn, hn::Set(di16, 128));
    const VI16 chroma8 = hn::ShiftLeft<8>(chroma);
    VI32 first = hn::Zero(di32), second = hn::Zero(di32);
    channelSums<kEncoding, 0>(lumaFirst, lumaSecond, chroma, chroma8, first, second);
    b = rounded(first, second);
    channelSums<kEncoding, 2>(lumaFirst, lumaSecond, chroma, chroma8, first, second);
    r = rounded(first, second);
    channelSums<kEncoding, 1>(lumaFirst, lumaSecond, chroma, chroma8, first, second);
    g = rounded(first, second);
    const VI32 fraction = hn::Set(di32, rule::kFractionMask);
    const VI32 near = hn::Set(di32, 2 * rule::kMargin);
    return hn::Or(hn::Lt(hn::And(first, fraction), near), hn::Lt(hn::And(second, fraction), near));
}

// Where pixel p of 16 sits among a channel's 16 bytes: per eight, the pairs'
// first pixels, then their second ones.
constexpr int slot(int p)
{
    return (p & 8) + (p & 1) * 4 + (p & 7) / 2;
}

// Byte i of the 48 bytes out is channel i % 3 of pixel i / 3. For each
// 16-byte block of output, the shuffles pick the bytes that blue, green and
// red supply (0x80 gives zero).
struct OutShuffles {
    std::uint8_t bytes[3][3][16];
};

constexpr OutShuffles outShuffles()
{
    OutShuffles s{};
    for (int block = 0; block < 3; ++block)
        for (int channel = 0; channel < 3; ++channel)
            for (int j = 0; j < 16; ++j) {
                const int i = 16 * block + j;
                s.bytes[block][channel][j] =
                    static_cast<std::uint8_t>(i % 3 == channel ? slot(i / 3) : 0x80);
            }
    return s;
}

HWY_ALIGN constexpr OutShuffles kOutShuffles = outShuffles();

// Output block k of 16 pixels' 48 bytes.
template <int kBlock> HWY_INLINE void storeBlock(V8 b, V8 g, V8 r, std::uint8_t* dst)
{
    const D8 d;
    const auto& shuffles = kOutShuffles.bytes[kBlock];
    const V8 out = hn::Or(hn::Or(hn::TableLookupBytesOr0(b, hn::Load(d, shuffles[0])),
                                 hn::TableLookupBytesOr0(g, hn::Load(d, shuffles[1]))),
                          hn::TableLookupBytesOr0(r, hn::Load(d, shuffles[2])));
    hn::StoreU(out, d, dst + 16 * kBlock);
}

// The shuffles that make 16-bit words of the samples of 16 pixels: luma for
// the first eight and the second, chroma likewise. Packed rows use the first
// of each on both of their 16-byte loads.
struct InShuffles {
    HWY_ALIGN std::uint8_t luma[2][16];
    HWY_ALIGN std::uint8_t chroma[2][16];
};

// Word i of eight takes byte at(i) (zero when below 0).
template <class At> void wordShuffle(std::uint8_t (&bytes)[16], At at)
{
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(at(i) < 0 ? 0x80 : at(i));
        bytes[2 * i + 1] = 0x80;
    }
}

// Packed 4:2:2 in any order: each 16 bytes hold four pairs, read from the
// first of a pair's samples. 4:2:0 and other planes: 16 luma bytes, and eight
// Cb and eight Cr side by side (semi-planar, from the first of the two) or
// in planes of their own, interleaved first.
template <Layout kLayout> InShuffles inShuffles(const Row& row, const std::uint8_t* packed)
{
    InShuffles s{};
    if constexpr (kLayout == Layout::Packed) {
        const int y = static_cast<int>(row.y - packed), cb = static_cast<int>(row.cb - packed),
                  cr = static_cast<int>(row.cr - packed);
        wordShuffle(s.luma[0], [=](int i) { return 4 * (i % 4) + y + 2 * (i / 4); });
        wordShuffle(s.chroma[0], [=](int i) { return 4 * (i / 2) + (i % 2 ? cr : cb); });
    } else {
        const int first = kLayout == Layout::Planar || row.cb < row.cr ? 0 : 1;
        for (int h = 0; h < 2; ++h) {
            wordShuffle(s.luma[h], [=](int i) { return 8 * h + 2 * (i % 4) + i / 4; });
            wordShuffle(s.chroma[h],
                        [=](int i) { return 8 * h + 2 * (i / 2) + ((i % 2) ^ first); });
        }
    }
    return s;
}

// 16 pixels at a time, 48 bytes out; returns how many pixels it converted.
// Only layouts whose loads stay inside the row come here.
template <YuvEncoding kEncoding, Layout kLayout>
HWY_NOINLINE int sixteens(const Row& row, std::uint8_t* HWY_RESTRICT dst, int width)
{
    const D8 d8;
    const DI16 di16;
    const DI32 di32;
    const hn::Half<D8> half8;
    const std::uint8_t* const packed = std::min({row.y, row.cb, row.cr});
    const std::uint8_t* const semiPlanar = std::min(row.cb, row.cr);
    const InShuffles in = inShuffles<kLayout>(row, packed);
    const V8 lumaIn0 = hn::Load(d8, in.luma[0]);
    const V8 lumaIn1 = hn::Load(d8, in.luma[1]);
    const V8 chromaIn0 = hn::Load(d8, in.chroma[0]);
    const V8 chromaIn1 = hn::Load(d8, in.chroma[1]);
    const Matrix& m = rule::kMatrices[static_cast<int>(kEncoding)];

    int x = 0;
    for (; x + 16 <= width; x += 16) {
        VI16 luma0, luma1, chroma0, chroma1;
        if constexpr (kLayout == Layout::Packed) {
            const V8 first = hn::LoadU(d8, packed + 2 * x);
            const V8 second = hn::LoadU(d8, packed + 2 * x + 16);
            luma0 = hn::BitCast(di16, hn::TableLookupBytesOr0(first, lumaIn0));
            chroma0 = hn::BitCast(di16, hn::TableLookupBytesOr0(first, chromaIn0));
            luma1 = hn::BitCast(di16, hn::TableLookupBytesOr0(second, lumaIn0));
            chroma1 = hn::BitCast(di16, hn::TableLookupBytesOr0(second, chromaIn0));
        } else {
            const V8 l = hn::LoadU(d8, row.y + x);
            V8 c;
            if constexpr (kLayout == Layout::Planar)
                c = hn::InterleaveLower(d8,
                                        hn::ZeroExtendVector(d8, hn::LoadU(half8, row.cb + x / 2)),
                                        hn::ZeroExtendVector(d8, hn::LoadU(half8, row.cr + x / 2)));
            else
                c = hn::LoadU(d8, semiPlanar + x);
            luma0 = hn::BitCast(di16, hn::TableLookupBytesOr0(l, lumaIn0));
            luma1 = hn::BitCast(di16, hn::TableLookupBytesOr0(l, lumaIn1));
            chroma0 = hn::BitCast(di16, hn::TableLookupBytesOr0(c, chromaIn0));
            chroma1 = hn::BitCast(di16, hn::TableLookupBytesOr0(c, chromaIn1));
        }
        VI16 b0 = hn::Zero(di16), g0 = b0, r0 = b0, b1 = b0, g1 = b0, r1 = b0;
        const auto hard = hn::Or(eightPixels<kEncoding>(luma0, chroma0, b0, g0, r0),
                                 eightPixels<kEncoding>(luma1, chroma1, b1, g1, r1));
        if (!hn::AllFalse(di32, hard)) {
            rule::pixelsPortable(rule::from(row, x), dst + 3 * x, 16, m);
            continue;
        }
        const V8 b = packBytes(b0, b1);
        const V8 g = packBytes(g0, g1);
        const V8 r = packBytes(r0, r1);
        storeBlock<0>(b, g, r, dst + 3 * x);
        storeBlock<1>(b, g, r, dst + 3 * x);
        storeBlock<2>(b, g, r, dst + 3 * x);
    }
    return x;
}

template <YuvEncoding kEncoding> int sixteensOf(const Row& row, std::uint8_t* dst, int width)
{
    if (row.yStep == 2 && row.cStep == 4)
        return sixteens<kEncoding, Layout::Packed>(row, dst, width);
    if (row.yStep == 1 && row.cStep == 2 && (row.cr - row.cb == 1 || row.cb - row.cr == 1))
        return sixteens<kEncoding, Layout::SemiPlanar>(row, dst, width);
    if (row.yStep == 1 && row.cStep == 1)
        return sixteens<kEncoding, Layout::Planar>(row, dst, width);
    return 0;
}

} // namespace

static void rowTarget(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    int x = 0;
    // The coefficients are constants of each encoding's copy of the loop.
    switch (encoding) {
    case YuvEncoding::Bt601Full:
        x = sixteensOf<YuvEncoding::Bt601Full>(row, dst, width);
        break;
    case YuvEncoding::Rec709Limited:
        x = sixteensOf<YuvEncoding::Rec709Limited>(row, dst, width);
        break;
    case YuvEncoding::Rec709Full:
        x = sixteensOf<YuvEncoding::Rec709Full>(row, dst, width);
        break;
    default:
        x = sixteensOf<YuvEncoding::Bt601Limited>(row, dst, width);
        break;
    }
    rule::pixelsPortable(rule::from(row, x), dst + 3 * x, width - x, rule::matrixOf(encoding));
}

#endif

} // namespace platform::yuv::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <hwy/targets.h>

#include <atomic>

namespace platform::yuv {

HWY_EXPORT(rowTarget);

namespace {

// Set while useRowPath holds the portable row.
std::atomic<bool> portableChosen{false};

bool isSimd(std::int64_t target)
{
    return target != HWY_SCALAR && target != HWY_EMU128;
}

void rowBest(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    if (portableChosen.load(std::memory_order_relaxed))
        rowPortable(row, dst, width, encoding);
    else
        HWY_DYNAMIC_DISPATCH(rowTarget)(row, dst, width, encoding);
}

} // namespace

RowFunction bestRow()
{
    return rowBest;
}

std::vector<std::string> rowPaths()
{
    std::vector<std::string> names;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets())
        if (isSimd(target))
            names.emplace_back(hwy::TargetName(target));
    names.emplace_back("C++");
    return names;
}

bool useRowPath(std::string_view name)
{
    hwy::SetSupportedTargetsForTest(0);
    portableChosen = name == "C++";
    if (name.empty() || portableChosen)
        return true;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        if (isSimd(target) && name == hwy::TargetName(target)) {
            hwy::SetSupportedTargetsForTest(target);
            return true;
        }
    }
    return false;
}

} // namespace platform::yuv

#endif
