#include "backends/cpu/activation.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

#include "backends/cpu/elementwise_loops.hpp"
#include "backends/cpu/parallel_map.hpp"
#include "backends/cpu/result_tensor.hpp"

namespace quvarin::cpu {
namespace {

// Below this many elements starting workers costs more than it saves.
constexpr std::size_t kParallelSigmoidThreshold = 131072;

// Calls the scalar libm expf for every element (never a vector variant,
// whose bits differ), so the sequential and parallel paths agree exactly.
void sigmoid_range(const float* input, float* output, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) output[i] = 1.0f / (1.0f + std::exp(-input[i]));
}

}  // namespace

Result<Tensor> relu(const Tensor& x) {
    auto values = as_f32_slice(x);
    if (!values.ok()) return std::move(values.error());
    F32Buffer out = make_f32_buffer(values.value().size());
    relu_values(values.value(), out);
    return tensor_laid_out_like(x, std::move(out));
}

Result<Tensor> sigmoid(const Tensor& x) {
    auto values = as_f32_slice(x);
    if (!values.ok()) return std::move(values.error());
    const std::span<const float> input = values.value();
    F32Buffer out = make_f32_buffer(input.size());
    if (input.size() < kParallelSigmoidThreshold) {
        sigmoid_range(input.data(), out.data(), input.size());
    } else {
        parallel_map(input, out, sigmoid_range);
    }
    return tensor_laid_out_like(x, std::move(out));
}

}  // namespace quvarin::cpu
