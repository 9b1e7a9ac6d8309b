#pragma once

#include "tensor/tensor.hpp"

namespace quvarin {

// The product of two 2-D float32 tensors; records MatMulBackward when either
// operand requires gradients.
Result<Tensor> matmul(const Tensor& a, const Tensor& b);

}  // namespace quvarin
