#include "autograd/nodes/add_backward.hpp"

namespace quvarin::autograd {

Status AddBackward::backward(GradientMap& grads) const {
    const Storage* found = grads.find(output_id);
    if (found == nullptr) {
        return TensorError::AutogradError{"Gradient missing for Output ID " + output_id.debug_string()};
    }
    // Held by value: accumulating may rehash the map under `found`.
    const Storage grad = *found;
    // The same buffer goes to both operands; copy-on-write in accumulate_grad
    // keeps a later addition to one id from reaching the others.
    if (lhs_id) {
        if (Status error = accumulate_grad(grads, *lhs_id, grad)) return error;
    }
    if (rhs_id) {
        if (Status error = accumulate_grad(grads, *rhs_id, grad)) return error;
    }
    return std::nullopt;
}

}  // namespace quvarin::autograd
