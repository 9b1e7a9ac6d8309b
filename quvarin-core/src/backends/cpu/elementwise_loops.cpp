#include "backends/cpu/elementwise_loops.hpp"

#include <cstddef>

#include "backends/cpu/kernel_dispatch.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

// Large outputs are written around the cache: faster alone, and no slower in
// a chain such as (a + b) * c, whose next step would find little of the output
// still cached. Sums and products from 4 MiB of output (measured on an Intel
// Xeon and on Zen 4, where ordinary stores took 1.0 to 2.0 times as long from
// 2^20 to 2^25 elements). relu from 16 MiB: its smaller working set stays in
// Zen 4's L3 cache up to 2^21 elements, where streaming took 1.2 to 1.5 times
// as long; from 2^22 on it takes 0.7 to 0.8 times as long.
constexpr std::size_t kStreamingFromElements = std::size_t{1} << 20;
constexpr std::size_t kReluStreamingFromElements = std::size_t{1} << 22;

void require_covers(std::span<const float> input, std::size_t count) {
    if (input.size() < count) throw Panic("elementwise input shorter than its output");
}

// The streaming build for an output of `count` elements, if one is in use and worth it.
const StreamingLoops* streaming_for(std::size_t count, std::size_t from_elements) {
    return count >= from_elements ? streaming_loops() : nullptr;
}

}  // namespace

void add_values(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    require_covers(a, out.size());
    require_covers(b, out.size());
    const StreamingLoops* streaming = streaming_for(out.size(), kStreamingFromElements);
    (streaming ? streaming->add : elementwise_loops().add)(a.data(), b.data(), out.data(), out.size());
}

void multiply_values(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    require_covers(a, out.size());
    require_covers(b, out.size());
    const StreamingLoops* streaming = streaming_for(out.size(), kStreamingFromElements);
    (streaming ? streaming->multiply : elementwise_loops().multiply)(a.data(), b.data(), out.data(), out.size());
}

void relu_values(std::span<const float> x, std::span<float> out) {
    require_covers(x, out.size());
    const StreamingLoops* streaming = streaming_for(out.size(), kReluStreamingFromElements);
    (streaming ? streaming->relu : elementwise_loops().relu)(x.data(), out.data(), out.size());
}

void relu_grad_values(std::span<const float> grad, std::span<const float> x, std::span<float> out) {
    require_covers(grad, out.size());
    require_covers(x, out.size());
    elementwise_loops().relu_grad(grad.data(), x.data(), out.data(), out.size());
}

void sigmoid_grad_values(std::span<const float> s, std::span<const float> grad, std::span<float> out) {
    require_covers(s, out.size());
    require_covers(grad, out.size());
    elementwise_loops().sigmoid_grad(s.data(), grad.data(), out.data(), out.size());
}

void sgd_step_values(std::span<const float> p, std::span<const float> grad, float lr, std::span<float> out) {
    require_covers(p, out.size());
    require_covers(grad, out.size());
    elementwise_loops().sgd_step(p.data(), grad.data(), lr, out.data(), out.size());
}

void accumulate_values(std::span<float> total, std::span<const float> incoming) {
    require_covers(incoming, total.size());
    elementwise_loops().accumulate(total.data(), incoming.data(), total.size());
}

}  // namespace quvarin::cpu
