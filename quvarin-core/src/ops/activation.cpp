#include "ops/activation.hpp"

#include <memory>

#include "autograd/nodes/activation_backward.hpp"
#include "backends/cpu/elementwise.hpp"
#include "backends/cpu/kernel_dispatch.hpp"
#include "ops/recorded_result.hpp"

namespace quvarin {
namespace {

template <const autograd::ActivationGrad& Activation>
Result<Tensor> activation(const Tensor& x, cpu::MapLoop loop) {
    return recorded_result(cpu::map_elements(x, loop), x.requires_grad, [&](const Tensor& out) {
        const Storage& saved = Activation.saved == autograd::Saved::Input ? x.storage : out.storage;
        return std::make_unique<autograd::ActivationBackward<Activation>>(saved, out.id, x.id);
    });
}

}  // namespace

Result<Tensor> relu(const Tensor& x) { return activation<autograd::kReluGrad>(x, cpu::relu_values); }

Result<Tensor> sigmoid(const Tensor& x) { return activation<autograd::kSigmoidGrad>(x, cpu::sigmoid_values); }

}  // namespace quvarin
