#include "backends/cpu/elementwise.hpp"

#include <utility>

#include "backends/cpu/elementwise_loops.hpp"
#include "backends/cpu/result_tensor.hpp"
#include "backends/cpu/row_major.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

using ValuesLoop = void (*)(std::span<const float>, std::span<const float>, std::span<float>);

Result<Tensor> combine(const Tensor& a, const Tensor& b, ValuesLoop loop) {
    require_row_major(a);
    require_row_major(b);
    auto a_values = as_f32_slice(a);
    if (!a_values.ok()) return std::move(a_values.error());
    auto b_values = as_f32_slice(b);
    if (!b_values.ok()) return std::move(b_values.error());

    // Equal shapes hold equal counts: anything else is a broken record, not
    // a prefix to compute on.
    if (a_values.value().size() != b_values.value().size()) throw Panic("elementwise operands differ in length");
    F32Buffer out = make_f32_buffer(a_values.value().size());
    loop(a_values.value(), b_values.value(), out);
    return tensor_laid_out_like(a, std::move(out));
}

}  // namespace

Result<Tensor> add(const Tensor& a, const Tensor& b) { return combine(a, b, add_values); }

Result<Tensor> mul(const Tensor& a, const Tensor& b) { return combine(a, b, multiply_values); }

}  // namespace quvarin::cpu
