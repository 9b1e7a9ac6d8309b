#pragma once

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// C = A·B for 2-D float32 tensors through one cblas_sgemm call that reads both
// operands in place through their strides. Checks ranks, then the inner
// dimension, then both storages' element kinds; the result is [m, n],
// row-major, with requires_grad false.
Result<Tensor> matmul(const Tensor& a, const Tensor& b);

}  // namespace quvarin::cpu
