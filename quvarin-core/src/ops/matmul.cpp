#include "ops/matmul.hpp"

#include <memory>
#include <utility>

#include "autograd/nodes/matmul_backward.hpp"
#include "backends/cpu/matmul.hpp"
#include "ops/gradient_id.hpp"
#include "ops/operand_checks.hpp"
#include "ops/recorded_result.hpp"

namespace quvarin {

Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
    // Unlike + and *, the dtypes are compared before any shape.
    if (Status error = check_same_dtype(a, b)) return std::move(*error);
    return recorded_result(cpu::matmul(a, b), a.requires_grad || b.requires_grad, [&](const Tensor& out) {
        return std::make_unique<autograd::MatMulBackward>(gradient_id(a), gradient_id(b), a.storage, b.storage,
                                                          a.shape, a.strides, b.shape, b.strides, out.id);
    });
}

}  // namespace quvarin
