#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "backends/cpu/reduction.hpp"
#include "ops/reduction.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

using testing::f32_tensor;

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Sum, AddsLeftToRightFromNegativeZero) {
    struct Case {
        std::vector<float> input;
        float expected;
    };
    const std::vector<Case> cases = {
        {{1.0f, 2.0f, 3.0f}, 6.0f},
        {{}, -0.0f},
        {{-0.0f}, -0.0f},
        {{-0.0f, -0.0f}, -0.0f},
        {{0.0f}, 0.0f},
        {{-0.0f, 0.0f}, 0.0f},
        {{1e8f, 1.0f, -1e8f}, 0.0f},
        {{1e8f, -1e8f, 1.0f}, 1.0f},
        {{3e38f, 3e38f, -3e38f}, kInf},  // overflows on the way, never comes back
        {{kInf, -kInf}, std::numeric_limits<float>::quiet_NaN()},
    };
    for (const Case& c : cases) {
        Result<Tensor> result = sum(f32_tensor(c.input, {c.input.size()}));
        ASSERT_TRUE(result.ok());
        EXPECT_EQ(result.value().shape, (Shape{1}));
        EXPECT_EQ(result.value().strides, (Strides{1}));
        EXPECT_SAME_BITS(testing::values_of(result.value()), std::vector<float>{c.expected});
    }
}

TEST(Sum, StopsGrowingAtTwoToTheTwentyFourOnes) {
    const std::vector<float> ones((std::size_t{1} << 24) + 1, 1.0f);
    EXPECT_EQ(cpu::sum_in_order(ones), 16777216.0f);
}

TEST(Sum, MatchesTheSequentialLoopBitForBit) {
    for (const std::size_t length : {3, 8, 9, 63, 4097}) {
        const std::vector<float> values = testing::mixed_values(length, 5);
        std::vector<float> finite;
        for (const float value : values) {
            if (std::isfinite(value)) finite.push_back(value);
        }
        float expected = -0.0f;
        for (const float value : finite) expected = expected + value;
        EXPECT_SAME_BITS(std::vector<float>{cpu::sum_in_order(finite)}, std::vector<float>{expected});
    }
}

TEST(Sum, OfASumIsTheSameValueAndDtypeAndLayoutAreChecked) {
    const Tensor once = sum(f32_tensor({0.5f, 0.25f}, {2})).value();
    EXPECT_EQ(testing::values_of(sum(once).value()), std::vector<float>{0.75f});
    EXPECT_EQ(testing::error_text(sum(testing::zeros_tensor(DType::Int8, {3}))),
              "DTypeMismatch: Operation expected dtype 'float32', but found 'other CPU dtype'");
    Tensor transposed = f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3});
    transposed.strides = {1, 2};
    EXPECT_EQ(testing::panic_message([&] { (void)sum(transposed); }), "kernel operand is not contiguous row-major");
}

}  // namespace
}  // namespace quvarin
