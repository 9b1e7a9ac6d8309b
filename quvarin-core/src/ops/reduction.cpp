#include "ops/reduction.hpp"

#include <memory>

#include "autograd/nodes/sum_all_backward.hpp"
#include "autograd/tape/tape.hpp"
#include "backends/cpu/reduction.hpp"

namespace quvarin {

Result<Tensor> sum(const Tensor& x) {
    Result<Tensor> result = cpu::sum(x);
    if (!result.ok()) return result;
    Tensor& out = result.value();
    out.requires_grad = x.requires_grad;
    if (out.requires_grad) {
        autograd::Tape::record(std::make_unique<autograd::SumAllBackward>(x.shape, x.strides, out.id, x.id));
    }
    return result;
}

}  // namespace quvarin
