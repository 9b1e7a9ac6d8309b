#include "autograd/nodes/sigmoid_backward.hpp"

#include <utility>

#include "autograd/nodes/backward_inputs.hpp"
#include "backends/cpu/elementwise_loops.hpp"

namespace quvarin::autograd {

Status SigmoidBackward::backward(GradientMap& grads) const {
    auto inputs = gradient_views(grads, output_id, "Gradient missing for Sigmoid Output", output_storage);
    if (!inputs.ok()) return std::move(inputs.error());
    const auto [g, s] = inputs.value().views;

    F32Buffer input_grad = make_f32_buffer(g.size());
    cpu::sigmoid_grad_values(g, s, input_grad);
    return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
}

}  // namespace quvarin::autograd
