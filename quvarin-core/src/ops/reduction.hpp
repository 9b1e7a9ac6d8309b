#pragma once

#include "tensor/tensor.hpp"

namespace quvarin {

// The left-to-right float32 sum of all elements, as a tensor of shape [1];
// records SumAllBackward when x requires gradients.
Result<Tensor> sum(const Tensor& x);

}  // namespace quvarin
