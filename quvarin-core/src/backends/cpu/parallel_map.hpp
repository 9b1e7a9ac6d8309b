#pragma once

#include <cstddef>
#include <span>

namespace quvarin::cpu {

// Maps input[0, count) to output[0, count) element by element; one call
// covers one contiguous index range.
using RangeMap = void (*)(const float* input, float* output, std::size_t count);

// Splits the index range into one contiguous piece per OpenMP worker and runs
// map_range on each, writing straight into output; returns when every piece
// is done. In a process forked after this process (or an ancestor) started
// the OpenMP pool, the whole range runs on the calling thread instead:
// libgomp's pool does not survive fork and would hang. Either way each
// element goes through the same map_range code, so the bits are the same.
void parallel_map(std::span<const float> input, std::span<float> output, RangeMap map_range);

}  // namespace quvarin::cpu
