#include "ops/reduction.hpp"

#include <memory>

#include "autograd/nodes/sum_all_backward.hpp"
#include "backends/cpu/reduction.hpp"
#include "ops/recorded_result.hpp"

namespace quvarin {

Result<Tensor> sum(const Tensor& x) {
    return recorded_result(cpu::sum(x), x.requires_grad, [&](const Tensor& out) {
        return std::make_unique<autograd::SumAllBackward>(x.shape, x.strides, out.id, x.id);
    });
}

}  // namespace quvarin
