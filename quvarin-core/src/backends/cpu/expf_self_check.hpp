#pragma once

#include <span>
#include <string>

#include "backends/cpu/parallel_map.hpp"

namespace quvarin::cpu {

// How sigmoid computes expf in this process, decided at the first call: the
// widest expf lanes the CPU runs that reproduce the process's own expf on
// every input of a self-check, otherwise (and for good) the scalar expf.
struct SigmoidPath {
    RangeMap sigmoid;  // out[i] = 1 / (1 + expf(-in[i]))
    std::string description;
};

const SigmoidPath& sigmoid_path();

// The self-check inputs: those whose expf lies nearest a rounding boundary
// (for the exact value and for glibc's double-precision result, including the
// two on which glibc's fused and unfused builds differ), the overflow and
// underflow thresholds, subnormal results, signed zeros, infinities and NaNs.
std::span<const float> expf_check_inputs();

// Whether `exp` gives the bits of the process's expf for every check input.
bool reproduces_libm_expf(RangeMap exp);

}  // namespace quvarin::cpu
