#include "YuyvToBgr.h"

#include <algorithm>
#include <iterator>
#include <numeric>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define THRESHCAM_HAVE_SSSE3 1
#endif

namespace platform {

namespace {

// ---- The rule's coefficients, derived from Kr and Kb at compile time ----

struct Ratio {
    std::int64_t num = 0;
    std::int64_t den = 1; // positive; num / den in lowest terms
};

constexpr Ratio ratio(std::int64_t num, std::int64_t den)
{
    const std::int64_t g = std::gcd(num, den);
    return den < 0 ? Ratio{-num / g, -den / g} : Ratio{num / g, den / g};
}
constexpr Ratio operator*(Ratio a, Ratio b)
{
    return ratio(a.num * b.num, a.den * b.den);
}
constexpr Ratio operator/(Ratio a, Ratio b)
{
    return ratio(a.num * b.den, a.den * b.num);
}
constexpr Ratio operator-(Ratio a, Ratio b)
{
    return ratio(a.num * b.den - b.num * a.den, a.den * b.den);
}

constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) // b > 0
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

constexpr int kFraction = 21;
constexpr std::int32_t kHalf = std::int32_t{1} << (kFraction - 1);
constexpr std::int32_t kFractionMask = (std::int32_t{1} << kFraction) - 1;
// Red and blue: the offset that, with their coefficients, makes V >> 21
// exact (see the header).
constexpr std::int32_t kOffset = 64;
// Green: the bound on its fixed-point error, carried as its offset, so that
// V >> 21 is right whenever V's fraction is at least twice it.
constexpr std::int32_t kMargin = 256;

// r * 2^21 rounded to nearest.
constexpr std::int32_t fixed(Ratio r)
{
    return static_cast<std::int32_t>(floorDiv(2 * (r.num << kFraction) + r.den, 2 * r.den));
}

// One output channel: 255 x = (ny c + ncb d + ncr f) / den exactly, and
// the same sum's coefficients and offset in fixed point.
struct Channel {
    std::int64_t ny, ncb, ncr, den;
    std::int32_t cb, cr; // luma's is the matrix's, the same for all three
    std::int32_t bias;   // 2^20 and the offset
};

// `adjust` moves the chroma coefficients by that many units.
constexpr Channel channel(Ratio y, Ratio cb, Ratio cr, std::int32_t offset, int adjust = 0)
{
    const std::int64_t den = std::lcm(std::lcm(y.den, cb.den), cr.den);
    return {y.num * (den / y.den),
            cb.num * (den / cb.den),
            cr.num * (den / cr.den),
            den,
            cb.num ? fixed(cb) + adjust : 0,
            cr.num ? fixed(cr) + adjust : 0,
            kHalf + offset};
}

struct Matrix {
    int yOffset;    // 16 for limited range, 0 for full
    std::int32_t y; // luma coefficient in fixed point
    Channel bgr[3]; // blue, green, red
};

// kr and kb in ten-thousandths; the units by which blue's and red's chroma
// coefficients move from nearest.
constexpr Matrix matrix(std::int64_t kr10k, std::int64_t kb10k, bool full, int blue, int red)
{
    const Ratio one = ratio(1, 1), two = ratio(2, 1);
    const Ratio kr = ratio(kr10k, 10000), kb = ratio(kb10k, 10000);
    const Ratio kg = one - kr - kb;
    // 255 Y' per step of Y, 255 Pb per step of Cb (and Pr of Cr).
    const Ratio ys = full ? one : ratio(255, 219);
    const Ratio cs = full ? one : ratio(255, 224);
    const Ratio zero = ratio(0, 1);
    return {full ? 0 : 16,
            fixed(ys),
            {channel(ys, two * (one - kb) * cs, zero, kOffset, blue),
             channel(ys, zero - two * kb * (one - kb) / kg * cs,
                     zero - two * kr * (one - kr) / kg * cs, kMargin),
             channel(ys, zero, two * (one - kr) * cs, kOffset, red)}};
}

constexpr Matrix kMatrices[] = {
    matrix(2990, 1140, false, 0, -1), // YuvEncoding::Bt601Limited
    matrix(2990, 1140, true, 0, 0),   // Bt601Full
    matrix(2126, 722, false, -1, 0),  // Rec709Limited
    matrix(2126, 722, true, 0, 0),    // Rec709Full
};

const Matrix& matrixOf(YuvEncoding encoding)
{
    const auto i = static_cast<std::size_t>(encoding);
    return kMatrices[i < std::size(kMatrices) ? i : 0];
}

std::uint8_t clamp8(std::int64_t v)
{
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(v, 0, 255));
}

// The rule itself, in 64-bit integers: floor(x + 1/2) with x = n / den.
constexpr std::int64_t exactChannel(const Channel& k, int c, int d, int f)
{
    const std::int64_t n = k.ny * c + k.ncb * d + k.ncr * f;
    return floorDiv(2 * n + k.den, 2 * k.den);
}

// Spot checks of the rule: a grey level the old 8-bit form had 1 low
// (255 * 70 / 219 = 81.507), a tie, and the coefficients' sizes.
static_assert(exactChannel(kMatrices[0].bgr[1], 70, 0, 0) == 82);
static_assert(exactChannel(kMatrices[1].bgr[0], 100, -125, 0) == 100 - 221); // -121.5 up
static_assert(kMatrices[1].y == 1 << kFraction && kMatrices[3].y == 1 << kFraction);
static_assert(kMatrices[0].y == 2441889 && kMatrices[0].bgr[2].cr == 3347111 - 1 &&
              kMatrices[2].bgr[0].cb == 4430028 - 1);

// What the header promises of V: its largest size stays in 32 bits, and the
// pieces the SIMD path splits coefficients into fit in 16.
constexpr bool fitsInt32(const Matrix& m)
{
    const std::int64_t cMax = m.yOffset ? 239 : 255;
    for (const Channel& k : m.bgr) {
        const std::int64_t chroma =
            128 * (std::max<std::int64_t>(k.cb, -k.cb) + std::max<std::int64_t>(k.cr, -k.cr));
        if (m.y * cMax + chroma + k.bias >= (std::int64_t{1} << 31) || (k.cb >> 8) > 32767 ||
            (k.cb >> 8) < -32768 || (k.cr >> 8) > 32767 || (k.cr >> 8) < -32768)
            return false;
    }
    return (m.y >> 7) <= 32767;
}
static_assert(std::all_of(std::begin(kMatrices), std::end(kMatrices), fitsInt32));

std::uint8_t exactly(const Channel& k, int c, int d, int f)
{
    return clamp8(exactChannel(k, c, d, f));
}

// Green: V >> 21 when V's fraction shows it is right, else the exact form.
std::uint8_t green(std::int32_t v, const Channel& k, int c, int d, int f)
{
    if ((v & kFractionMask) < 2 * kMargin)
        return exactly(k, c, d, f);
    return clamp8(v >> kFraction);
}

// The row from pixel x on (x even).
[[maybe_unused]] yuv::Row from(const yuv::Row& row, int x)
{
    const std::size_t pair = static_cast<std::size_t>(x / 2) * row.cStep;
    return {row.y + static_cast<std::size_t>(x) * row.yStep, row.cb + pair, row.cr + pair,
            row.yStep, row.cStep};
}

void pixelsPortable(const yuv::Row& row, std::uint8_t* __restrict dst, int width, const Matrix& m)
{
    const Channel& kb = m.bgr[0];
    const Channel& kg = m.bgr[1];
    const Channel& kr = m.bgr[2];
    for (int x = 0; x < width; x += 2) {
        const std::size_t pair = static_cast<std::size_t>(x / 2) * row.cStep;
        const int d = row.cb[pair] - 128;
        const int f = row.cr[pair] - 128;
        const std::int32_t b = kb.cb * d + kb.bias;
        const std::int32_t g = kg.cb * d + kg.cr * f + kg.bias;
        const std::int32_t r = kr.cr * f + kr.bias;
        const int n = std::min(2, width - x);
        for (int k = 0; k < n; ++k) {
            const int c = row.y[static_cast<std::size_t>(x + k) * row.yStep] - m.yOffset;
            const std::int32_t y = m.y * c;
            std::uint8_t* out = dst + 3 * (x + k);
            out[0] = clamp8((y + b) >> kFraction);
            out[1] = green(y + g, kg, c, d, f);
            out[2] = clamp8((y + r) >> kFraction);
        }
    }
}

// Grey levels by the rule with Cb and Cr at 128, for each range.
struct GreyTables {
    std::uint8_t limited[256], full[256];
};

const GreyTables& greyTables()
{
    static const GreyTables tables = [] {
        GreyTables t{};
        for (int v = 0; v < 256; ++v) {
            t.limited[v] = exactly(matrixOf(YuvEncoding::Bt601Limited).bgr[1], v - 16, 0, 0);
            t.full[v] = exactly(matrixOf(YuvEncoding::Bt601Full).bgr[1], v, 0, 0);
        }
        return t;
    }();
    return tables;
}

#ifdef THRESHCAM_HAVE_SSSE3

#define SSSE3 __attribute__((target("ssse3")))

// The matrix as pmaddwd weights. Luma pairs (c << 7, c) with (a >> 7, a & 127);
// chroma pairs (d << 8, f << 8) and (d, f) with the high and low bytes of the
// channel's coefficients, so every product is exact in 32 bits.
struct Weights {
    __m128i y;
    __m128i high[3], low[3], bias[3]; // blue, green, red
};

SSSE3 __m128i words(std::int32_t first, std::int32_t second)
{
    return _mm_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(second) << 16) |
                                           (static_cast<std::uint32_t>(first) & 0xFFFF)));
}

SSSE3 Weights weightsOf(const Matrix& m)
{
    Weights w;
    w.y = words(m.y >> 7, m.y & 127);
    for (int k = 0; k < 3; ++k) {
        w.high[k] = words(m.bgr[k].cb >> 8, m.bgr[k].cr >> 8);
        w.low[k] = words(m.bgr[k].cb & 255, m.bgr[k].cr & 255);
        w.bias[k] = _mm_set1_epi32(m.bgr[k].bias);
    }
    return w;
}

// One channel's V for the four pairs' first and second pixels: the chroma
// sum once per pair, added to each pixel's luma.
struct Sums {
    __m128i first, second;
};

SSSE3 Sums channelSums(const Sums& y, __m128i chroma, __m128i chroma8, const Weights& w, int k)
{
    const __m128i pairs = _mm_add_epi32(
        _mm_add_epi32(_mm_madd_epi16(chroma8, w.high[k]), _mm_madd_epi16(chroma, w.low[k])),
        w.bias[k]);
    return {_mm_add_epi32(y.first, pairs), _mm_add_epi32(y.second, pairs)};
}

SSSE3 __m128i rounded(const Sums& v)
{
    return _mm_packs_epi32(_mm_srai_epi32(v.first, kFraction), _mm_srai_epi32(v.second, kFraction));
}

// Eight pixels, as 16-bit blue, green and red, the pairs' first pixels
// before their second ones, from their luma words (the four pairs' first Y,
// then their second) and chroma words (Cb0 Cr0 Cb1 Cr1 ...); returns a
// non-zero mask when some green V is too near a step for V >> 21.
SSSE3 __m128i eightPixels(__m128i luma, __m128i chromaIn, const Weights& w, int yOffset, __m128i& b,
                          __m128i& g, __m128i& r)
{
    const __m128i c = _mm_sub_epi16(luma, _mm_set1_epi16(static_cast<short>(yOffset)));
    const __m128i c7 = _mm_slli_epi16(c, 7);
    const Sums y = {_mm_madd_epi16(_mm_unpacklo_epi16(c7, c), w.y),
                    _mm_madd_epi16(_mm_unpackhi_epi16(c7, c), w.y)};
    const __m128i chroma = _mm_sub_epi16(chromaIn, _mm_set1_epi16(128));
    const __m128i chroma8 = _mm_slli_epi16(chroma, 8);
    const Sums vg = channelSums(y, chroma, chroma8, w, 1);
    b = rounded(channelSums(y, chroma, chroma8, w, 0));
    g = rounded(vg);
    r = rounded(channelSums(y, chroma, chroma8, w, 2));
    const __m128i fraction = _mm_set1_epi32(kFractionMask);
    const __m128i near = _mm_set1_epi32(2 * kMargin);
    return _mm_or_si128(_mm_cmplt_epi32(_mm_and_si128(vg.first, fraction), near),
                        _mm_cmplt_epi32(_mm_and_si128(vg.second, fraction), near));
}

// Where pixel p of 16 sits among a channel's 16 bytes: per eight, the pairs'
// first pixels, then their second ones.
constexpr int slot(int p)
{
    return (p & 8) + (p & 1) * 4 + (p & 7) / 2;
}

// Byte i of the 48 bytes out is channel i % 3 of pixel i / 3. For each
// 16-byte block of output, the masks pick the bytes that blue, green and red
// supply (-128 gives zero).
struct OutMasks {
    std::int8_t bytes[3][3][16];
};

constexpr OutMasks outMasks()
{
    OutMasks m{};
    for (int block = 0; block < 3; ++block)
        for (int channel = 0; channel < 3; ++channel)
            for (int j = 0; j < 16; ++j) {
                const int i = 16 * block + j;
                m.bytes[block][channel][j] =
                    static_cast<std::int8_t>(i % 3 == channel ? slot(i / 3) : -128);
            }
    return m;
}

constexpr OutMasks kOutMasks = outMasks();

// A pshufb mask of eight words, word i taking byte at(i) (zero when below 0).
template <class At> SSSE3 __m128i wordMask(At at)
{
    alignas(16) std::int8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<std::int8_t>(at(i) < 0 ? -128 : at(i));
        bytes[2 * i + 1] = -128;
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
}

// The words of 16 pixels from x on, as eightPixels takes them.
struct Sixteen {
    __m128i luma[2], chroma[2];
};

// 4:2:2 packed in any order: each 16 bytes hold four pairs.
struct PackedLoad {
    const std::uint8_t* src;
    __m128i luma, chroma;

    SSSE3 PackedLoad(const yuv::Row& row)
        : src(std::min({row.y, row.cb, row.cr}))
    {
        const int y = static_cast<int>(row.y - src), cb = static_cast<int>(row.cb - src),
                  cr = static_cast<int>(row.cr - src);
        luma = wordMask([=](int i) { return 4 * (i % 4) + y + 2 * (i / 4); });
        chroma = wordMask([=](int i) { return 4 * (i / 2) + (i % 2 ? cr : cb); });
    }
    SSSE3 Sixteen operator()(int x) const
    {
        Sixteen s;
        for (int h = 0; h < 2; ++h) {
            const __m128i in =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x + 16 * h));
            s.luma[h] = _mm_shuffle_epi8(in, luma);
            s.chroma[h] = _mm_shuffle_epi8(in, chroma);
        }
        return s;
    }
};

// 4:2:0 and other planes: 16 luma bytes, and eight Cb and eight Cr side by
// side (semi-planar) or in planes of their own, interleaved first.
template <bool planar> struct PlanesLoad {
    const std::uint8_t* y;
    const std::uint8_t* cb;
    const std::uint8_t* cr;
    __m128i luma[2], chroma[2];

    SSSE3 explicit PlanesLoad(const yuv::Row& row)
        : y(row.y)
        , cb(row.cb)
        , cr(row.cr)
    {
        const int first = planar || cb < cr ? 0 : 1;
        for (int h = 0; h < 2; ++h) {
            luma[h] = wordMask([=](int i) { return 8 * h + 2 * (i % 4) + i / 4; });
            chroma[h] = wordMask([=](int i) { return 8 * h + 2 * (i / 2) + (i % 2 ^ first); });
        }
    }
    SSSE3 Sixteen operator()(int x) const
    {
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        __m128i c;
        if constexpr (planar)
            c = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + x / 2)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + x / 2)));
        else
            c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(std::min(cb, cr) + x));
        Sixteen s;
        for (int h = 0; h < 2; ++h) {
            s.luma[h] = _mm_shuffle_epi8(l, luma[h]);
            s.chroma[h] = _mm_shuffle_epi8(c, chroma[h]);
        }
        return s;
    }
};

// 16 pixels at a time, 48 bytes out; returns how many pixels it converted.
template <class Load>
SSSE3 int sixteens(const Load& load, const yuv::Row& row, std::uint8_t* dst, int width,
                   const Matrix& m)
{
    const Weights w = weightsOf(m);
    __m128i mask[3][3];
    for (int block = 0; block < 3; ++block)
        for (int channel = 0; channel < 3; ++channel)
            mask[block][channel] =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(kOutMasks.bytes[block][channel]));

    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const Sixteen in = load(x);
        __m128i b0, g0, r0, b1, g1, r1;
        const __m128i hard =
            _mm_or_si128(eightPixels(in.luma[0], in.chroma[0], w, m.yOffset, b0, g0, r0),
                         eightPixels(in.luma[1], in.chroma[1], w, m.yOffset, b1, g1, r1));
        if (_mm_movemask_epi8(hard) != 0) {
            pixelsPortable(from(row, x), dst + 3 * x, 16, m);
            continue;
        }
        const __m128i b = _mm_packus_epi16(b0, b1);
        const __m128i g = _mm_packus_epi16(g0, g1);
        const __m128i r = _mm_packus_epi16(r0, r1);
        for (int k = 0; k < 3; ++k) {
            const __m128i out = _mm_or_si128(
                _mm_or_si128(_mm_shuffle_epi8(b, mask[k][0]), _mm_shuffle_epi8(g, mask[k][1])),
                _mm_shuffle_epi8(r, mask[k][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x + 16 * k), out);
        }
    }
    return x;
}

SSSE3 void rowSsse3Impl(const yuv::Row& row, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    const Matrix& m = matrixOf(encoding);
    int x = 0;
    // Only the layouts whose loads stay inside the row; any other goes the
    // portable way.
    if (row.yStep == 2 && row.cStep == 4)
        x = sixteens(PackedLoad(row), row, dst, width, m);
    else if (row.yStep == 1 && row.cStep == 2 && (row.cr - row.cb == 1 || row.cb - row.cr == 1))
        x = sixteens(PlanesLoad<false>(row), row, dst, width, m);
    else if (row.yStep == 1 && row.cStep == 1)
        x = sixteens(PlanesLoad<true>(row), row, dst, width, m);
    pixelsPortable(from(row, x), dst + 3 * x, width - x, m);
}

SSSE3 void yuyvSsse3(const std::uint8_t* src, std::uint8_t* dst, int pairs, YuvEncoding encoding)
{
    rowSsse3Impl({src, src + 1, src + 3, 2, 4}, dst, 2 * pairs, encoding);
}

#endif

} // namespace

} // namespace platform

namespace platform::yuv {

void rowPortable(const Row& row, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    pixelsPortable(row, dst, width, matrixOf(encoding));
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

void greyRow(const std::uint8_t* src, std::uint8_t* dst, int width, YuvEncoding encoding)
{
    const bool full = encoding == YuvEncoding::Bt601Full || encoding == YuvEncoding::Rec709Full;
    const std::uint8_t* table = full ? greyTables().full : greyTables().limited;
    for (int x = 0; x < width; ++x)
        dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = table[src[x]];
}

} // namespace platform::yuv

namespace platform::yuyv {

void rowPortable(const std::uint8_t* src, std::uint8_t* dst, int pairs, YuvEncoding encoding)
{
    yuv::rowPortable({src, src + 1, src + 3, 2, 4}, dst, 2 * pairs, encoding);
}

RowFunction rowSsse3()
{
#ifdef THRESHCAM_HAVE_SSSE3
    if (__builtin_cpu_supports("ssse3"))
        return yuyvSsse3;
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
