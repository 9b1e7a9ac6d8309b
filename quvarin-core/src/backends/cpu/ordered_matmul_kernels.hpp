#pragma once

#include <span>

#include "backends/cpu/cpu_features.hpp"
#include "backends/cpu/ordered_matmul.hpp"

namespace quvarin::cpu {

// One build of the ordered product for one vector width. Every build computes
// the same chains, so they differ in speed only.
struct OrderedMatmulKernel {
    const char* name;
    Isa isa;
    // Writes x · y into out (x.rows × y.cols floats, row-major). The operands
    // are already checked to lie within their buffers, with x.cols == y.rows > 0.
    void (*run)(const StridedMatrix& x, const StridedMatrix& y, float* out);
};

// Every build compiled for this architecture, narrowest first.
std::span<const OrderedMatmulKernel> ordered_matmul_builds();

}  // namespace quvarin::cpu
