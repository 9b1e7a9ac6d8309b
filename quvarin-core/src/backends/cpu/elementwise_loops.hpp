#pragma once

#include <cstddef>
#include <span>

#include "backends/cpu/cpu_features.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {

// Every loop over float32 elements in which element i of the output depends
// only on element i of the inputs, declared once: its name, its parameters
// (the arrays read, then any scalar, then the array written) and the
// statement that computes element i, each operation rounded in turn. The
// declaration gives each loop its builds (elementwise_builds.cpp), its entry
// below and its bit-for-bit test over every build (tests/elementwise_test.cpp).
// relu_values gives +0 for -0 and NaN; accumulate_values reads the array it
// writes. No two arrays of a call overlap.
#define QUVARIN_ELEMENTWISE_LOOPS(LOOP)                                                                       \
    LOOP(add_values,          (In a, In b, Out out),               out[i] = a[i] + b[i])                      \
    LOOP(multiply_values,     (In a, In b, Out out),               out[i] = a[i] * b[i])                      \
    LOOP(relu_values,         (In x, Out out),                     out[i] = x[i] > 0.0f ? x[i] : 0.0f)        \
    LOOP(relu_grad_values,    (In grad, In x, Out out),            out[i] = x[i] > 0.0f ? grad[i] : 0.0f)     \
    LOOP(sigmoid_grad_values, (In grad, In s, Out out),            out[i] = (s[i] * grad[i]) * (1.0f - s[i])) \
    LOOP(sgd_step_values,     (In p, In grad, float lr, Out out),  out[i] = p[i] - lr * grad[i])              \
    LOOP(accumulate_values,   (In incoming, Out total),            total[i] = incoming[i] + total[i])

#define QUVARIN_UNPARENTHESISED(...) __VA_ARGS__

// One build of every loop, compiled for one vector width; every build gives
// the same bits. A loop takes the element count first, then its parameters as
// pointers; a build may leave a loop out (nullptr).
struct ElementwiseLoops {
    using In = const float*;
    using Out = float*;

    const char* name;
    Isa isa;
#define QUVARIN_LOOP_FIELD(name, parameters, statement) \
    void (*name)(std::size_t count, QUVARIN_UNPARENTHESISED parameters) = nullptr;
    QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_FIELD)
#undef QUVARIN_LOOP_FIELD
};

#define QUVARIN_LOOP_NAME(name, parameters, statement) name,
enum class LoopName { QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_NAME) };
#undef QUVARIN_LOOP_NAME

// Whether `build` has `loop` rather than leaving it out.
constexpr bool has_loop(const ElementwiseLoops& build, LoopName loop) {
    switch (loop) {
#define QUVARIN_HAS_LOOP(name, parameters, statement) \
    case LoopName::name: return build.name != nullptr;
        QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_HAS_LOOP)
#undef QUVARIN_HAS_LOOP
    }
    return false;
}

// Every build compiled for this architecture.
std::span<const ElementwiseLoops> elementwise_builds();

// The build that runs `loop` over `count` elements in this process; the
// choice is made in kernel_dispatch.cpp.
const ElementwiseLoops& elementwise_build_for(LoopName loop, std::size_t count);

namespace loop_entry {

// A pointer parameter of a loop as its entry takes it; scalars stay as they are.
template <class Parameter>
struct View {
    using type = Parameter;
    static Parameter pointer(Parameter value) { return value; }
};
template <>
struct View<const float*> {
    using type = std::span<const float>;
    static const float* pointer(std::span<const float> in) { return in.data(); }
};
template <>
struct View<float*> {
    using type = std::span<float>;
    static float* pointer(std::span<float> out) { return out.data(); }
};

inline void count_output(std::size_t& count, std::span<float> out) { count = out.size(); }
inline void count_output(std::size_t&, const auto&) {}

inline void require_covers(std::span<const float> in, std::size_t count) {
    if (in.size() < count) throw Panic("elementwise input shorter than its output");
}
inline void require_covers(const auto&, std::size_t) {}

template <LoopName Loop, auto Field, class Signature>
struct Entry;

// Runs the loop over every element of the array written, in the build picked
// for it; panics when an array read is shorter.
template <LoopName Loop, auto Field, class... Parameters>
struct Entry<Loop, Field, void (*)(std::size_t, Parameters...)> {
    static void run(typename View<Parameters>::type... arrays) {
        std::size_t count = 0;
        (count_output(count, arrays), ...);
        (require_covers(arrays, count), ...);
        (elementwise_build_for(Loop, count).*Field)(count, View<Parameters>::pointer(arrays)...);
    }
};

}  // namespace loop_entry

// The loops as called: cpu::add_values(a, b, out) and so on, with spans.
#define QUVARIN_LOOP_ENTRY(name, parameters, statement)                           \
    inline constexpr auto* name = &loop_entry::Entry<LoopName::name, &ElementwiseLoops::name, \
                                                     decltype(ElementwiseLoops::name)>::run;
QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_ENTRY)
#undef QUVARIN_LOOP_ENTRY

}  // namespace quvarin::cpu
