#include "ops/elementwise.hpp"

#include <memory>
#include <utility>

#include "autograd/nodes/add_backward.hpp"
#include "autograd/nodes/mul_backward.hpp"
#include "backends/cpu/elementwise.hpp"
#include "backends/cpu/elementwise_loops.hpp"
#include "ops/gradient_id.hpp"
#include "ops/operand_checks.hpp"
#include "ops/recorded_result.hpp"

namespace quvarin {
namespace {

// What + and * share: shapes before dtypes, then the loop and the node that
// make_node builds.
template <class MakeNode>
Result<Tensor> elementwise(const Tensor& a, const Tensor& b, cpu::CombineLoop loop, MakeNode make_node) {
    if (Status error = check_same_shape(a, b)) return std::move(*error);
    if (Status error = check_same_dtype(a, b)) return std::move(*error);
    return recorded_result(cpu::combine_elements(a, b, loop), a.requires_grad || b.requires_grad, make_node);
}

}  // namespace

Result<Tensor> add(const Tensor& a, const Tensor& b) {
    return elementwise(a, b, cpu::add_values, [&](const Tensor& out) {
        return std::make_unique<autograd::AddBackward>(gradient_id(a), gradient_id(b), out.id);
    });
}

Result<Tensor> mul(const Tensor& a, const Tensor& b) {
    return elementwise(a, b, cpu::multiply_values, [&](const Tensor& out) {
        return std::make_unique<autograd::MulBackward>(gradient_id(a), gradient_id(b), a.storage, b.storage,
                                                       out.id);
    });
}

}  // namespace quvarin
