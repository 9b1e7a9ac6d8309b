#include "autograd/nodes/mul_backward.hpp"

#include <utility>

#include "autograd/nodes/backward_inputs.hpp"
#include "backends/cpu/elementwise_loops.hpp"

namespace quvarin::autograd {

Status MulBackward::backward(GradientMap& grads) const {
    auto inputs = gradient_views(grads, output_id, "Gradient missing", lhs_storage, rhs_storage);
    if (!inputs.ok()) return std::move(inputs.error());
    const auto [g, a, b] = inputs.value().views;

    if (lhs_id) {
        F32Buffer lhs_grad = make_f32_buffer(g.size());
        cpu::multiply_values(g, b, lhs_grad);
        if (Status error = accumulate_grad(grads, *lhs_id, Storage::from_f32(std::move(lhs_grad)))) return error;
    }
    if (rhs_id) {
        F32Buffer rhs_grad = make_f32_buffer(g.size());
        cpu::multiply_values(g, a, rhs_grad);
        if (Status error = accumulate_grad(grads, *rhs_id, Storage::from_f32(std::move(rhs_grad)))) return error;
    }
    return std::nullopt;
}

}  // namespace quvarin::autograd
