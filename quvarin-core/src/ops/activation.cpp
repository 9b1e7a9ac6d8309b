#include "ops/activation.hpp"

#include <memory>

#include "autograd/nodes/relu_backward.hpp"
#include "autograd/nodes/sigmoid_backward.hpp"
#include "backends/cpu/elementwise.hpp"
#include "backends/cpu/kernel_dispatch.hpp"
#include "ops/recorded_result.hpp"

namespace quvarin {

Result<Tensor> relu(const Tensor& x) {
    return recorded_result(cpu::map_elements(x, cpu::relu_values), x.requires_grad, [&](const Tensor& out) {
        return std::make_unique<autograd::ReluBackward>(x.storage, out.id, x.id);
    });
}

Result<Tensor> sigmoid(const Tensor& x) {
    // The backward formula needs the outputs, not the inputs.
    return recorded_result(cpu::map_elements(x, cpu::sigmoid_values), x.requires_grad, [&](const Tensor& out) {
        return std::make_unique<autograd::SigmoidBackward>(out.storage, out.id, x.id);
    });
}

}  // namespace quvarin
