#include "autograd/nodes/sum_all_backward.hpp"

#include <cstdint>
#include <optional>
#include <utility>

#include "tensor/panic.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::autograd {

Status SumAllBackward::backward(GradientMap& grads) const {
    const Storage* found = grads.find(output_id);
    if (found == nullptr) return TensorError::AutogradError{"Gradient missing for Sum Output"};
    const Storage grad = *found;  // held by value: accumulating may rehash the map

    auto g = as_f32_slice(grad);
    if (!g.ok()) return std::move(g.error());
    if (g.value().empty()) throw Panic("the gradient of a sum has no element");
    const std::optional<std::uint64_t> count = checked_numel(input_shape);
    if (!count) throw Panic("capacity overflow");

    F32Buffer input_grad = make_f32_buffer(*count, g.value()[0]);
    return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
}

}  // namespace quvarin::autograd
