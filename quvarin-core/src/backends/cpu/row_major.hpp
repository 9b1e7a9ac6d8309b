#pragma once

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// Panics unless `t` is laid out contiguously in row-major order. The
// elementwise, activation and sum kernels read a storage as one flat
// sequence, which is right for that layout only; every producer emits it.
void require_row_major(const Tensor& t);

}  // namespace quvarin::cpu
