#include "autograd/nodes/sum_all_backward.hpp"

#include <cstdint>
#include <optional>
#include <utility>

#include "autograd/nodes/backward_inputs.hpp"
#include "tensor/panic.hpp"

namespace quvarin::autograd {

Status SumAllBackward::backward(GradientMap& grads) const {
    auto inputs = gradient_views(grads, output_id, "Gradient missing for Sum Output");
    if (!inputs.ok()) return std::move(inputs.error());
    const auto [g] = inputs.value().views;

    if (g.empty()) throw Panic("the gradient of a sum has no element");
    const std::optional<std::uint64_t> count = checked_numel(input_shape);
    if (!count) throw Panic("capacity overflow");

    F32Buffer input_grad = make_f32_buffer(*count, g[0]);
    return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
}

}  // namespace quvarin::autograd
