#pragma once

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// a + b and a * b element by element over both storages, laid out like a.
// The operation checks shapes and dtypes before calling; storages of
// different lengths are a Panic.
Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);

}  // namespace quvarin::cpu
