#pragma once

#include <span>

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// s = -0.0, then s = s + values[i] for i = 0, 1, ... in float32: exactly the
// left-to-right sum, never reassociated.
float sum_in_order(std::span<const float> values);

// The in-order sum of the input's storage as a tensor of shape [1].
Result<Tensor> sum(const Tensor& x);

}  // namespace quvarin::cpu
