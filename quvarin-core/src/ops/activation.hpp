#pragma once

#include "tensor/tensor.hpp"

namespace quvarin {

// max(x, +0) per element; records ReluBackward when x requires gradients.
Result<Tensor> relu(const Tensor& x);
// 1 / (1 + expf(-x)) per element; records SigmoidBackward when x requires
// gradients.
Result<Tensor> sigmoid(const Tensor& x);

}  // namespace quvarin
