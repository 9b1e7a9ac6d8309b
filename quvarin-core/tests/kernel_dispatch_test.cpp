#include "backends/cpu/kernel_dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.hpp"

namespace quvarin::cpu {
namespace {

TEST(KernelDispatch, ReportsEachFamilysPickAmongTheBuildsThisCpuRuns) {
    const std::vector<KernelChoice> choices = kernel_choices();
    const KernelFamily families[] = {KernelFamily::ElementwiseLoops, KernelFamily::StreamingStores,
                                     KernelFamily::SigmoidExpf, KernelFamily::BackwardProducts};
    ASSERT_EQ(choices.size(), std::size(families));
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const std::vector<std::string> builds = runnable_builds(families[i]);
        EXPECT_NE(std::ranges::find(builds, choices[i].build), builds.end()) << choices[i].family;
        EXPECT_FALSE(choices[i].reason.empty()) << choices[i].family;
    }
    EXPECT_EQ(testing::panic_message([] { ForcedBuild forced(KernelFamily::ElementwiseLoops, "AVX-1024"); }),
              "no build 'AVX-1024' of the elementwise loops runs here");
}

}  // namespace
}  // namespace quvarin::cpu
