#pragma once

// The entry points of a fuzz target, as libFuzzer (or replay.cpp) calls them.

#include <cstddef>
#include <cstdint>

extern "C" {
// Once, before the first input.
int LLVMFuzzerInitialize(int* argc, char*** argv);
// One input; returns 0.
int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
}
