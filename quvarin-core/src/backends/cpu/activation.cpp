#include "backends/cpu/activation.hpp"

#include <cstddef>
#include <utility>

#include "backends/cpu/elementwise_loops.hpp"
#include "backends/cpu/kernel_dispatch.hpp"
#include "backends/cpu/parallel_map.hpp"
#include "backends/cpu/result_tensor.hpp"
#include "backends/cpu/row_major.hpp"

namespace quvarin::cpu {
namespace {

// Below this many elements starting workers costs more than it saves.
constexpr std::size_t kParallelSigmoidThreshold = 131072;

}  // namespace

Result<Tensor> relu(const Tensor& x) {
    require_row_major(x);
    auto values = as_f32_slice(x);
    if (!values.ok()) return std::move(values.error());
    F32Buffer out = make_f32_buffer(values.value().size());
    relu_values(values.value(), out);
    return tensor_laid_out_like(x, std::move(out));
}

Result<Tensor> sigmoid(const Tensor& x) {
    require_row_major(x);
    auto values = as_f32_slice(x);
    if (!values.ok()) return std::move(values.error());
    const std::span<const float> input = values.value();
    F32Buffer out = make_f32_buffer(input.size());
    // Both paths map every element with the same code, so their bits agree.
    const RangeMap sigmoid_range = sigmoid_map();
    if (input.size() < kParallelSigmoidThreshold) {
        sigmoid_range(input.data(), out.data(), input.size());
    } else {
        parallel_map(input, out, sigmoid_range);
    }
    return tensor_laid_out_like(x, std::move(out));
}

}  // namespace quvarin::cpu
