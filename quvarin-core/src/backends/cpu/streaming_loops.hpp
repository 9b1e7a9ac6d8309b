#pragma once

#include <cstddef>
#include <span>

#include "backends/cpu/elementwise_loops.hpp"

namespace quvarin::cpu {

// The loops written with streaming stores, which skip reading each
// destination line before overwriting it and leave the result out of the
// cache, each with the output size, in elements, from which it uses them. The
// streaming build takes its loops from this table (streaming_loops.cpp), so a
// row without a streaming loop of that name does not compile. Same bits as
// the ordinary loops.
//
// Large outputs are written around the cache: faster alone, and no slower in
// a chain such as (a + b) * c, whose next step would find little of the
// output still cached. Sums and products from 4 MiB of output (measured on an
// Intel Xeon and on Zen 4, where ordinary stores took 1.0 to 2.0 times as
// long from 2^20 to 2^25 elements). relu from 16 MiB: its smaller working set
// stays in Zen 4's L3 cache up to 2^21 elements, where streaming took 1.2 to
// 1.5 times as long; from 2^22 on it takes 0.7 to 0.8 times as long.
#define QUVARIN_STREAMING_LOOPS(LOOP)               \
    LOOP(add_values,      std::size_t{1} << 20)     \
    LOOP(multiply_values, std::size_t{1} << 20)     \
    LOOP(relu_values,     std::size_t{1} << 22)

// The streaming build, where this CPU architecture has one.
std::span<const ElementwiseLoops> streaming_builds();

}  // namespace quvarin::cpu
