#include "autograd/nodes/sigmoid_backward.hpp"

#include <utility>

#include "backends/cpu/elementwise_loops.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::autograd {

Status SigmoidBackward::backward(GradientMap& grads) const {
    const Storage* found = grads.find(output_id);
    if (found == nullptr) return TensorError::AutogradError{"Gradient missing for Sigmoid Output"};
    const Storage grad = *found;  // held by value: accumulating may rehash the map

    auto g = as_f32_slice(grad);
    if (!g.ok()) return std::move(g.error());
    auto s = as_f32_slice(output_storage);
    if (!s.ok()) return std::move(s.error());

    F32Buffer input_grad = make_f32_buffer(g.value().size());
    cpu::sigmoid_grad_values(s.value(), g.value(), input_grad);
    return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
}

}  // namespace quvarin::autograd
