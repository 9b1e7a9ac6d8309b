#pragma once

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// a + b and a * b over the first min(len a, len b) elements of both storages,
// laid out like a. The operation checks shapes and dtypes before calling.
Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);

}  // namespace quvarin::cpu
