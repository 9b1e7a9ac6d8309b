#include "autograd/nodes/relu_backward.hpp"

#include <utility>

#include "backends/cpu/elementwise_loops.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::autograd {

Status ReluBackward::backward(GradientMap& grads) const {
    const Storage* found = grads.find(output_id);
    if (found == nullptr) return TensorError::AutogradError{"Gradient missing for ReLU Output"};
    const Storage grad = *found;  // held by value: accumulating may rehash the map

    auto g = as_f32_slice(grad);
    if (!g.ok()) return std::move(g.error());
    auto x = as_f32_slice(input_storage);
    if (!x.ok()) return std::move(x.error());

    F32Buffer input_grad = make_f32_buffer(g.value().size());
    cpu::relu_grad_values(g.value(), x.value(), input_grad);
    return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
}

}  // namespace quvarin::autograd
