#pragma once

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// Elementwise activations over the input's storage, laid out like the input.
Result<Tensor> relu(const Tensor& x);
// Sequential below 131072 elements; from there on spread over the OpenMP pool.
Result<Tensor> sigmoid(const Tensor& x);

}  // namespace quvarin::cpu
