#include "backends/cpu/reduction.hpp"

#include "backends/cpu/exact_rounding.hpp"

#include <utility>

#include "backends/cpu/row_major.hpp"

namespace quvarin::cpu {

float sum_in_order(std::span<const float> values) {
    // One dependent chain of additions: its latency bounds the loop, and
    // unrolling removes the loop overhead from around it.
    float total = -0.0f;
#pragma GCC unroll 8
    for (const float value : values) total = total + value;
    return total;
}

Result<Tensor> sum(const Tensor& x) {
    require_row_major(x);
    auto values = as_f32_slice(x);
    if (!values.ok()) return std::move(values.error());
    return Tensor(Storage::from_f32(make_f32_buffer(1, sum_in_order(values.value()))), Shape{1}, false,
                  x.dtype);
}

}  // namespace quvarin::cpu
