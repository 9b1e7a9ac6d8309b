#include "backends/cpu/elementwise_builds.hpp"

#include "backends/cpu/exact_rounding.hpp"

namespace quvarin::cpu {
namespace {

namespace baseline {
#define QUVARIN_BUILD_TARGET
#include "backends/cpu/elementwise_build.inc"
#undef QUVARIN_BUILD_TARGET
}  // namespace baseline

#if defined(__x86_64__)
namespace avx2 {
#define QUVARIN_BUILD_TARGET __attribute__((target("avx2")))
#include "backends/cpu/elementwise_build.inc"
#undef QUVARIN_BUILD_TARGET
}  // namespace avx2

namespace avx512 {
#define QUVARIN_BUILD_TARGET __attribute__((target("avx512f")))
#include "backends/cpu/elementwise_build.inc"
#undef QUVARIN_BUILD_TARGET
}  // namespace avx512
#endif

#define QUVARIN_LOOPS(space) \
    space::add, space::multiply, space::relu, space::relu_grad, space::sigmoid_grad, space::sgd_step, space::accumulate

constexpr ElementwiseLoops kBuilds[] = {
#if defined(__x86_64__)
    {"AVX-512", Isa::Avx512f, QUVARIN_LOOPS(avx512)},
    {"AVX2", Isa::Avx2, QUVARIN_LOOPS(avx2)},
#endif
    {"baseline", Isa::Baseline, QUVARIN_LOOPS(baseline)},
};

#undef QUVARIN_LOOPS

}  // namespace

std::span<const ElementwiseLoops> elementwise_builds() { return kBuilds; }

}  // namespace quvarin::cpu
