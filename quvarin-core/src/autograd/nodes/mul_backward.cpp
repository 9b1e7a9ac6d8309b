#include "autograd/nodes/mul_backward.hpp"

#include <utility>

#include "backends/cpu/elementwise_loops.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::autograd {

Status MulBackward::backward(GradientMap& grads) const {
    const Storage* found = grads.find(output_id);
    if (found == nullptr) return TensorError::AutogradError{"Gradient missing"};
    const Storage grad = *found;  // held by value: accumulating may rehash the map

    // All three views before any arithmetic, so a non-float32 storage adds
    // nothing to the map.
    auto g = as_f32_slice(grad);
    if (!g.ok()) return std::move(g.error());
    auto a = as_f32_slice(lhs_storage);
    if (!a.ok()) return std::move(a.error());
    auto b = as_f32_slice(rhs_storage);
    if (!b.ok()) return std::move(b.error());

    if (lhs_id) {
        F32Buffer lhs_grad = make_f32_buffer(g.value().size());
        cpu::multiply_values(g.value(), b.value(), lhs_grad);
        if (Status error = accumulate_grad(grads, *lhs_id, Storage::from_f32(std::move(lhs_grad)))) return error;
    }
    if (rhs_id) {
        F32Buffer rhs_grad = make_f32_buffer(g.value().size());
        cpu::multiply_values(g.value(), a.value(), rhs_grad);
        if (Status error = accumulate_grad(grads, *rhs_id, Storage::from_f32(std::move(rhs_grad)))) return error;
    }
    return std::nullopt;
}

}  // namespace quvarin::autograd
