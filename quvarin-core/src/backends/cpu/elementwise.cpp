#include "backends/cpu/elementwise.hpp"

#include <utility>

#include "backends/cpu/result_tensor.hpp"
#include "backends/cpu/row_major.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {

Result<Tensor> map_elements(const Tensor& x, MapLoop loop) {
    require_row_major(x);
    auto values = as_f32_slice(x);
    if (!values.ok()) return std::move(values.error());
    F32Buffer out = make_f32_buffer(values.value().size());
    loop(values.value(), out);
    return tensor_laid_out_like(x, std::move(out));
}

Result<Tensor> combine_elements(const Tensor& a, const Tensor& b, CombineLoop loop) {
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

}  // namespace quvarin::cpu
