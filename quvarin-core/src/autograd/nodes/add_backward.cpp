#include "autograd/nodes/add_backward.hpp"

#include <utility>

#include "autograd/nodes/backward_inputs.hpp"

namespace quvarin::autograd {

Status AddBackward::backward(GradientMap& grads) const {
    Result<Storage> grad = output_gradient(grads, output_id);
    if (!grad.ok()) return std::move(grad.error());
    // The same buffer goes to both operands; copy-on-write in accumulate_grad
    // keeps a later addition to one id from reaching the others.
    if (lhs_id) {
        if (Status error = accumulate_grad(grads, *lhs_id, grad.value())) return error;
    }
    if (rhs_id) {
        if (Status error = accumulate_grad(grads, *rhs_id, grad.value())) return error;
    }
    return std::nullopt;
}

}  // namespace quvarin::autograd
