#pragma once

#include <cstddef>
#include <span>

#include "backends/cpu/cpu_features.hpp"

namespace quvarin::cpu {

// out[i] = a[i] + b[i], out[i] = a[i] * b[i] and out[i] = relu(x[i]) written
// with streaming stores, which skip reading each destination line before
// overwriting it and leave the result out of the cache. Same bits as the
// ordinary loops.
struct StreamingLoops {
    const char* name;
    Isa isa;
    void (*add)(const float* a, const float* b, float* out, std::size_t count);
    void (*multiply)(const float* a, const float* b, float* out, std::size_t count);
    void (*relu)(const float* x, float* out, std::size_t count);
};

// Every build compiled for this architecture (none off x86-64).
std::span<const StreamingLoops> streaming_builds();

}  // namespace quvarin::cpu
