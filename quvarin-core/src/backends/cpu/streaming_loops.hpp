#pragma once

#include <cstddef>

namespace quvarin::cpu {

// out[i] = a[i] + b[i], out[i] = a[i] * b[i] and out[i] = relu(x[i]) written
// with streaming stores, which skip reading each destination line before
// overwriting it and leave the result out of the cache. They return false,
// having written nothing, where the CPU has no AVX-512F (or is not x86-64).
bool add_streaming(const float* a, const float* b, float* out, std::size_t count);
bool multiply_streaming(const float* a, const float* b, float* out, std::size_t count);
bool relu_streaming(const float* x, float* out, std::size_t count);

}  // namespace quvarin::cpu
