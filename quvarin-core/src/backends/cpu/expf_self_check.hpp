#pragma once

#include <span>

#include "backends/cpu/parallel_map.hpp"

namespace quvarin::cpu {

// The sigmoid with the C library's scalar expf: out[i] = 1 / (1 + expf(-in[i])).
void libm_sigmoid(const float* input, float* output, std::size_t count);

// The self-check inputs: those whose expf lies nearest a rounding boundary
// (for the exact value and for glibc's double-precision result, including the
// two on which glibc's fused and unfused builds differ), the overflow and
// underflow thresholds, subnormal results, signed zeros, infinities and NaNs.
std::span<const float> expf_check_inputs();

// Whether `exp` gives the bits of the process's expf for every check input.
bool reproduces_libm_expf(RangeMap exp);

}  // namespace quvarin::cpu
