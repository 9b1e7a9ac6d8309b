#include "ops/elementwise.hpp"

#include <memory>
#include <utility>

#include "autograd/nodes/add_backward.hpp"
#include "autograd/nodes/mul_backward.hpp"
#include "autograd/tape/tape.hpp"
#include "backends/cpu/elementwise.hpp"
#include "ops/gradient_id.hpp"
#include "ops/operand_checks.hpp"

namespace quvarin {
namespace {

using Kernel = Result<Tensor> (*)(const Tensor&, const Tensor&);

// What + and * share: shapes before dtypes, the kernel, then the result's
// requires_grad and, when set, the node that make_node builds.
template <class MakeNode>
Result<Tensor> elementwise(const Tensor& a, const Tensor& b, Kernel kernel, MakeNode make_node) {
    if (Status error = check_same_shape(a, b)) return std::move(*error);
    if (Status error = check_same_dtype(a, b)) return std::move(*error);
    Result<Tensor> result = kernel(a, b);
    if (!result.ok()) return result;
    Tensor& out = result.value();
    out.requires_grad = a.requires_grad || b.requires_grad;
    if (out.requires_grad) autograd::Tape::record(make_node(out.id));
    return result;
}

}  // namespace

Result<Tensor> add(const Tensor& a, const Tensor& b) {
    return elementwise(a, b, cpu::add, [&](TensorId out) {
        return std::make_unique<autograd::AddBackward>(gradient_id(a), gradient_id(b), out);
    });
}

Result<Tensor> mul(const Tensor& a, const Tensor& b) {
    return elementwise(a, b, cpu::mul, [&](TensorId out) {
        return std::make_unique<autograd::MulBackward>(gradient_id(a), gradient_id(b), a.storage, b.storage, out);
    });
}

}  // namespace quvarin
