#include "backends/cpu/elementwise_loops.hpp"

#include "backends/cpu/exact_rounding.hpp"

namespace quvarin::cpu {
namespace {

// Each build defines every declared loop under the target attribute
// QUVARIN_BUILD_TARGET (none for the baseline); the compiler vectorises each
// loop for that target. Arrays never overlap.
#define QUVARIN_LOOP_DEFINITION(name, parameters, statement)                         \
    QUVARIN_BUILD_TARGET void name(std::size_t count, QUVARIN_UNPARENTHESISED parameters) { \
        for (std::size_t i = 0; i < count; ++i) statement;                            \
    }
#define QUVARIN_LOOP_POINTER(name, parameters, statement) name,

using In = const float* __restrict;
using Out = float* __restrict;

namespace baseline {
#define QUVARIN_BUILD_TARGET
QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_DEFINITION)
#undef QUVARIN_BUILD_TARGET
constexpr ElementwiseLoops build{"baseline", Isa::Baseline, QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_POINTER)};
}  // namespace baseline

#if defined(__x86_64__)
namespace avx2 {
#define QUVARIN_BUILD_TARGET __attribute__((target("avx2")))
QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_DEFINITION)
#undef QUVARIN_BUILD_TARGET
constexpr ElementwiseLoops build{"AVX2", Isa::Avx2, QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_POINTER)};
}  // namespace avx2

namespace avx512 {
#define QUVARIN_BUILD_TARGET __attribute__((target("avx512f")))
QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_DEFINITION)
#undef QUVARIN_BUILD_TARGET
constexpr ElementwiseLoops build{"AVX-512", Isa::Avx512f, QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_POINTER)};
}  // namespace avx512
#endif

constexpr ElementwiseLoops kBuilds[] = {
#if defined(__x86_64__)
    avx512::build,
    avx2::build,
#endif
    baseline::build,
};

}  // namespace

std::span<const ElementwiseLoops> elementwise_builds() { return kBuilds; }

}  // namespace quvarin::cpu
