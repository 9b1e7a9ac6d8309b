#include "autograd/nodes/relu_backward.hpp"

#include <utility>

#include "autograd/nodes/backward_inputs.hpp"
#include "backends/cpu/elementwise_loops.hpp"

namespace quvarin::autograd {

Status ReluBackward::backward(GradientMap& grads) const {
    auto inputs = gradient_views(grads, output_id, "Gradient missing for ReLU Output", input_storage);
    if (!inputs.ok()) return std::move(inputs.error());
    const auto [g, x] = inputs.value().views;

    F32Buffer input_grad = make_f32_buffer(g.size());
    cpu::relu_grad_values(g, x, input_grad);
    return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
}

}  // namespace quvarin::autograd
