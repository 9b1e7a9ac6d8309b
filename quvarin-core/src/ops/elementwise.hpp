#pragma once

#include "tensor/tensor.hpp"

namespace quvarin {

// a + b and a * b, element by element, for tensors of identical shape.
// Checks shapes, then dtypes; records AddBackward / MulBackward when either
// operand requires gradients.
Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);

}  // namespace quvarin
