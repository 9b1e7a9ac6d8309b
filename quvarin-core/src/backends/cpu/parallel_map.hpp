#pragma once

#include <cstddef>
#include <span>

namespace quvarin::cpu {

// Maps input[0, count) to output[0, count) element by element; one call
// covers one contiguous index range.
using RangeMap = void (*)(const float* input, float* output, std::size_t count);

// False in a process forked after this process (or an ancestor) started the
// OpenMP pool: libgomp's pool does not survive fork and would hang.
bool openmp_pool_usable();

// Splits the index range into one contiguous piece per OpenMP worker and runs
// map_range on each, writing straight into output; returns when every piece
// is done. Each element goes through the same map_range code as on one
// thread, so the bits are the same. Panics where the pool is not usable.
void parallel_map(std::span<const float> input, std::span<float> output, RangeMap map_range);

}  // namespace quvarin::cpu
