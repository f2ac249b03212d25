#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

// Reads every byte and writes it back inverted, with the widest vectors the
// processor has: what any in-place pass over these bytes costs at the least.
void invertInPlace(std::uint8_t* bytes, std::size_t count);

// The instruction set invertInPlace runs with here.
const char* invertPath();

} // namespace bench
