#include "ops/activation.hpp"

#include <memory>

#include "autograd/nodes/relu_backward.hpp"
#include "autograd/nodes/sigmoid_backward.hpp"
#include "backends/cpu/activation.hpp"
#include "ops/recorded_result.hpp"

namespace quvarin {

Result<Tensor> relu(const Tensor& x) {
    return recorded_result(cpu::relu(x), x.requires_grad, [&](const Tensor& out) {
        return std::make_unique<autograd::ReluBackward>(x.storage, out.id, x.id);
    });
}

Result<Tensor> sigmoid(const Tensor& x) {
    // The backward formula needs the outputs, not the inputs.
    return recorded_result(cpu::sigmoid(x), x.requires_grad, [&](const Tensor& out) {
        return std::make_unique<autograd::SigmoidBackward>(out.storage, out.id, x.id);
    });
}

}  // namespace quvarin
