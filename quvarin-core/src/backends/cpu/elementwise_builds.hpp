#pragma once

#include <cstddef>
#include <span>

#include "backends/cpu/cpu_features.hpp"

namespace quvarin::cpu {

// One build of the loops in which element i of the output depends only on
// element i of the inputs, compiled for one vector width. Every build gives
// the same bits. The pointers are __restrict: outputs never overlap inputs,
// except `accumulate`, which updates `total` in place.
struct ElementwiseLoops {
    const char* name;
    Isa isa;
    void (*add)(const float* a, const float* b, float* out, std::size_t count);
    void (*multiply)(const float* a, const float* b, float* out, std::size_t count);
    void (*relu)(const float* x, float* out, std::size_t count);
    void (*relu_grad)(const float* grad, const float* x, float* out, std::size_t count);
    void (*sigmoid_grad)(const float* s, const float* grad, float* out, std::size_t count);
    void (*sgd_step)(const float* p, const float* grad, float lr, float* out, std::size_t count);
    void (*accumulate)(float* total, const float* incoming, std::size_t count);
};

// Every build compiled for this architecture, widest first.
std::span<const ElementwiseLoops> elementwise_builds();

}  // namespace quvarin::cpu
