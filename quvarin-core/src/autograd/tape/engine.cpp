#include "autograd/tape/engine.hpp"

#include "autograd/tape/tape.hpp"

namespace quvarin::autograd {

Result<GradientMap> run_backward(const Tensor& tensor) {
    if (!tensor.requires_grad) {
        return TensorError::AutogradError{"Cannot call backward() on a tensor where requires_grad is false."};
    }
    GradientMap grads;
    if (tensor.dtype != DType::Float32) {
        return TensorError::AutogradError{"Phase 3 backward engine currently only supports CPU Float32 seeding."};
    }
    // Ones over every element: the gradient of the sum of the tensor's elements.
    Storage seed = Storage::from_f32(make_f32_buffer(numel(tensor.shape), 1.0f));
    if (Status error = accumulate_grad(grads, tensor.id, std::move(seed))) return std::move(*error);

    Tape::Nodes nodes = Tape::drain();
    // Every consumer was recorded after its producer, so running the nodes
    // last to first completes each gradient before it is read. A node is
    // destroyed as soon as it has run, releasing what it saved.
    while (!nodes.empty()) {
        const Status error = nodes.back()->backward(grads);
        nodes.pop_back();
        if (error) return *error;
    }
    return grads;
}

}  // namespace quvarin::autograd
