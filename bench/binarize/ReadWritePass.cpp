#include "ReadWritePass.h"

#ifdef THRESHCAM_SIMD

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ReadWritePass.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace bench::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

static void invertTarget(std::uint8_t* bytes, std::size_t count)
{
    const hn::ScalableTag<std::uint8_t> d;
    const std::size_t N = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + 4 * N <= count; i += 4 * N) {
        const auto a = hn::LoadU(d, bytes + i);
        const auto b = hn::LoadU(d, bytes + i + N);
        const auto c = hn::LoadU(d, bytes + i + 2 * N);
        const auto e = hn::LoadU(d, bytes + i + 3 * N);
        hn::StoreU(hn::Not(a), d, bytes + i);
        hn::StoreU(hn::Not(b), d, bytes + i + N);
        hn::StoreU(hn::Not(c), d, bytes + i + 2 * N);
        hn::StoreU(hn::Not(e), d, bytes + i + 3 * N);
    }
    for (; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(~bytes[i]);
}

static const char* pathTarget()
{
    return hwy::TargetName(HWY_TARGET);
}

} // namespace bench::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bench {

HWY_EXPORT(invertTarget);
HWY_EXPORT(pathTarget);

void invertInPlace(std::uint8_t* bytes, std::size_t count)
{
    HWY_DYNAMIC_DISPATCH(invertTarget)(bytes, count);
}

const char* invertPath()
{
    return HWY_DYNAMIC_DISPATCH(pathTarget)();
}

} // namespace bench
#endif

#else

#include <cstring>

namespace bench {

void invertInPlace(std::uint8_t* bytes, std::size_t count)
{
    // Eight bytes at a time, the widest the plain language offers.
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        word = ~word;
        std::memcpy(bytes + i, &word, 8);
    }
    for (; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(~bytes[i]);
}

const char* invertPath()
{
    return "C++, 64-bit words";
}

} // namespace bench

#endif
