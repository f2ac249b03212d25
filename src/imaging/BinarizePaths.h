#pragma once

// The ways the pass can run, for the tests and the benchmark to compare. The
// program calls Binarize alone, which takes the fastest of them.

#include "Picture.h"

#include <string>
#include <string_view>
#include <vector>

namespace imaging {

// The plain C++ pass, which processors without a SIMD path take.
void binarizePortable(Picture& picture, int threshold) noexcept;

// The SIMD instruction sets the pass was built for that this processor runs,
// best first, by Highway's names ("AVX3", "AVX2", "SSE4", "SSSE3" on x86).
// Empty in a build without SIMD paths or on a processor with none of them.
// While useBinarizeSimdTarget holds one path, only that one is listed.
std::vector<std::string> binarizeSimdTargets();

// Makes Binarize take the named SIMD path (one of binarizeSimdTargets()), or
// the best one again for an empty name; false for any other name. This goes
// through Highway's test hook, which is process-wide: call it only while no
// other thread can be running the pass.
bool useBinarizeSimdTarget(std::string_view name);

// The path Binarize takes now: a SIMD instruction set's name, or "C++".
std::string binarizePath();

} // namespace imaging
