#pragma once

#include "autograd/tape/tape.hpp"
#include "tensor/tensor.hpp"

namespace quvarin {

// The step every forward operation ends with, given its kernel's result: the
// result requires gradients when an operand does, and then the node that
// make_node(result) builds goes on the calling thread's tape. A failed kernel
// passes through with nothing recorded.
template <class MakeNode>
Result<Tensor> recorded_result(Result<Tensor> result, bool requires_grad, MakeNode make_node) {
    if (!result.ok()) return result;
    Tensor& out = result.value();
    out.requires_grad = requires_grad;
    if (out.requires_grad) autograd::Tape::record(make_node(out));
    return result;
}

}  // namespace quvarin
