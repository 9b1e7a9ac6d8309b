#pragma once

#include "autograd/tape/gradient_map.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::autograd {

// One reverse-mode pass: seeds the tensor's gradient with ones, drains the
// calling thread's tape and runs its nodes from last to first.
Result<GradientMap> run_backward(const Tensor& tensor);

}  // namespace quvarin::autograd
