#pragma once

#include "tensor/f32_buffer.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::cpu {

// The result of an elementwise kernel: values laid out like `layout` (its
// shape, strides and dtype), a fresh id, requires_grad false.
Tensor tensor_laid_out_like(const Tensor& layout, F32Buffer values);

}  // namespace quvarin::cpu
