#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "backends/cpu/exp_lanes.hpp"
#include "backends/cpu/expf_self_check.hpp"
#include "backends/cpu/kernel_dispatch.hpp"

namespace quvarin {
namespace {

#if defined(__x86_64__) && defined(__GLIBC__)

bool cpu_runs_avx2_lanes() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

// A lane that drifted from glibc's expf would only show as a slower sigmoid.
TEST(SigmoidPath, UsesExpfLanesWithGlibcOnCpusThatRunThem) {
    if (!cpu_runs_avx2_lanes()) GTEST_SKIP() << "CPU without AVX2 and FMA";
    for (const cpu::KernelChoice& choice : cpu::kernel_choices()) {
        if (choice.family == "sigmoid expf") {
            EXPECT_NE(choice.build, "scalar libm expf") << choice.reason;
        }
    }
}

// glibc's two builds of expf differ on two inputs only; without them among
// the check inputs the wrong build's lanes would pass.
TEST(SigmoidPath, SelfCheckPassesExactlyOneOfTheFusedAndUnfusedLanes) {
    if (!cpu_runs_avx2_lanes()) GTEST_SKIP() << "CPU without AVX2 and FMA";
    EXPECT_NE(cpu::reproduces_libm_expf(cpu::avx2_exp_lanes(true).exp),
              cpu::reproduces_libm_expf(cpu::avx2_exp_lanes(false).exp));
    if (!__builtin_cpu_supports("avx512f")) return;
    EXPECT_NE(cpu::reproduces_libm_expf(cpu::avx512_exp_lanes(true).exp),
              cpu::reproduces_libm_expf(cpu::avx512_exp_lanes(false).exp));
}

#endif

}  // namespace
}  // namespace quvarin
