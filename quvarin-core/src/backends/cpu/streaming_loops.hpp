#pragma once

#include <span>

#include "backends/cpu/elementwise_loops.hpp"

namespace quvarin::cpu {

// add_values, multiply_values and relu_values written with streaming stores,
// which skip reading each destination line before overwriting it and leave
// the result out of the cache; the other loops are left out. Same bits as
// the ordinary loops.
std::span<const ElementwiseLoops> streaming_builds();

}  // namespace quvarin::cpu
