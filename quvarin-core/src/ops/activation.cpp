#include "ops/activation.hpp"

#include <memory>

#include "autograd/nodes/relu_backward.hpp"
#include "autograd/nodes/sigmoid_backward.hpp"
#include "autograd/tape/tape.hpp"
#include "backends/cpu/activation.hpp"

namespace quvarin {

Result<Tensor> relu(const Tensor& x) {
    Result<Tensor> result = cpu::relu(x);
    if (!result.ok()) return result;
    Tensor& out = result.value();
    out.requires_grad = x.requires_grad;
    if (out.requires_grad) {
        autograd::Tape::record(std::make_unique<autograd::ReluBackward>(x.storage, out.id, x.id));
    }
    return result;
}

Result<Tensor> sigmoid(const Tensor& x) {
    Result<Tensor> result = cpu::sigmoid(x);
    if (!result.ok()) return result;
    Tensor& out = result.value();
    out.requires_grad = x.requires_grad;
    if (out.requires_grad) {
        // The backward formula needs the outputs, not the inputs.
        autograd::Tape::record(std::make_unique<autograd::SigmoidBackward>(out.storage, out.id, x.id));
    }
    return result;
}

}  // namespace quvarin
