#pragma once

#include "tensor/tensor.hpp"

namespace quvarin {

// ShapeMismatch with a's shape as expected and b's as found, unless the
// shapes are equal (strides are not compared).
Status check_same_shape(const Tensor& a, const Tensor& b);
// DTypeMismatch with a's dtype name as expected and b's as found, unless the
// dtypes are equal.
Status check_same_dtype(const Tensor& a, const Tensor& b);

}  // namespace quvarin
