#include "autograd/nodes/matmul_backward.hpp"

#include <utility>

#include "autograd/nodes/backward_inputs.hpp"
#include "backends/cpu/ordered_matmul.hpp"
#include "tensor/panic.hpp"

namespace quvarin::autograd {

Status MatMulBackward::backward(GradientMap& grads) const {
    auto inputs = gradient_views(grads, output_id, "Gradient missing for MatMul Output", lhs_storage, rhs_storage);
    if (!inputs.ok()) return std::move(inputs.error());
    const auto [g, a, b] = inputs.value().views;

    if (lhs_shape.size() < 2 || rhs_shape.size() < 2 || lhs_strides.size() < 2 || rhs_strides.size() < 2) {
        throw Panic("a matrix product recorded an operand with fewer than two dimensions");
    }
    const std::uint64_t m = lhs_shape[0];
    const std::uint64_t k = lhs_shape[1];
    const std::uint64_t n = rhs_shape[1];
    // g is the contiguous row-major output; A and B go through their strides.
    const cpu::StridedMatrix output_grad{g, m, n, n, 1};

    if (lhs_id) {
        const cpu::StridedMatrix b_transposed{b, n, k, rhs_strides[1], rhs_strides[0]};
        F32Buffer lhs_grad = cpu::ordered_matmul(output_grad, b_transposed);
        if (Status error = accumulate_grad(grads, *lhs_id, Storage::from_f32(std::move(lhs_grad)))) return error;
    }
    if (rhs_id) {
        const cpu::StridedMatrix a_transposed{a, k, m, lhs_strides[1], lhs_strides[0]};
        F32Buffer rhs_grad = cpu::ordered_matmul(a_transposed, output_grad);
        if (Status error = accumulate_grad(grads, *rhs_id, Storage::from_f32(std::move(rhs_grad)))) return error;
    }
    return std::nullopt;
}

}  // namespace quvarin::autograd
