#pragma once

#include <span>

#include "tensor/tensor.hpp"

namespace quvarin::cpu {

using MapLoop = void (*)(std::span<const float> x, std::span<float> out);
using CombineLoop = void (*)(std::span<const float> a, std::span<const float> b, std::span<float> out);

// loop over x's storage, laid out like x.
Result<Tensor> map_elements(const Tensor& x, MapLoop loop);
// loop over a's and b's storages, laid out like a. The operation checks shapes
// and dtypes before calling; storages of different lengths are a Panic.
Result<Tensor> combine_elements(const Tensor& a, const Tensor& b, CombineLoop loop);

}  // namespace quvarin::cpu
