#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "backends/cpu/expf_self_check.hpp"
#include "ops/activation.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

using testing::f32_tensor;
using testing::mixed_values;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float reference_sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

std::vector<float> sigmoid_values(const std::vector<float>& input) {
    Result<Tensor> result = sigmoid(f32_tensor(input, {input.size()}));
    EXPECT_TRUE(result.ok()) << testing::error_text(result);
    return testing::values_of(result.value());
}

TEST(Relu, GivesPositiveZeroForNegativesZerosAndNaN) {
    const Tensor x = f32_tensor({-1.0f, 0.0f, -0.0f, 2.5f, kNaN, kInf, -kInf}, {7});
    EXPECT_SAME_BITS(testing::values_of(relu(x).value()),
                     (std::vector<float>{0.0f, 0.0f, 0.0f, 2.5f, 0.0f, kInf, 0.0f}));
}

TEST(Sigmoid, SaturatesAndPropagatesSpecialValues) {
    const std::vector<float> y = sigmoid_values({0.0f, 100.0f, -100.0f, kInf, -kInf, -88.0f});
    EXPECT_EQ(y[0], 0.5f);
    EXPECT_EQ(y[1], 1.0f);
    EXPECT_EQ(y[2], 0.0f);
    EXPECT_EQ(y[3], 1.0f);
    EXPECT_EQ(y[4], 0.0f);
    EXPECT_GT(y[5], 0.0f);
    EXPECT_LT(y[5], std::numeric_limits<float>::min());  // subnormal
    EXPECT_TRUE(std::isnan(sigmoid_values({kNaN})[0]));
}

// Negated, so that expf sees the inputs chosen to tell expf implementations
// apart; 51 of them also leave a partial vector at the end.
TEST(Sigmoid, MatchesTheScalarFormulaOnTheExpfCheckInputs) {
    std::vector<float> input;
    for (const float x : cpu::expf_check_inputs()) input.push_back(-x);
    std::vector<float> expected;
    for (const float x : input) expected.push_back(reference_sigmoid(x));
    testing::for_each_build(cpu::KernelFamily::SigmoidExpf, [&] { EXPECT_SAME_BITS(sigmoid_values(input), expected); });
}

// Just below the threshold the elements run on the calling thread, from it on
// the OpenMP pool; both must give exactly the scalar formula for every element.
TEST(Sigmoid, SequentialAndParallelPathsAgreeBitForBit) {
    const std::size_t parallel_from = testing::threshold_of("sigmoid");
    const std::vector<float> input = mixed_values(parallel_from + 5, 4);
    std::vector<float> expected(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) expected[i] = reference_sigmoid(input[i]);
    for (const std::size_t length : {parallel_from - 1, parallel_from, parallel_from + 5}) {
        const std::vector<float> part(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(length));
        testing::for_each_build(cpu::KernelFamily::SigmoidExpf, [&] {
            EXPECT_SAME_BITS(sigmoid_values(part), std::vector<float>(expected.begin(), expected.begin() + part.size()))
                << "length " << length;
        });
    }
}

TEST(Activations, KeepTheInputsLayoutAndLeaveItUnchanged) {
    for (auto op : {relu, sigmoid}) {
        const Tensor x = f32_tensor({-1, 0, 1, 2, 3, 4}, {2, 3});
        Result<Tensor> result = op(x);
        ASSERT_TRUE(result.ok());
        EXPECT_EQ(result.value().shape, (Shape{2, 3}));
        EXPECT_EQ(result.value().strides, (Strides{3, 1}));
        EXPECT_EQ(result.value().id.value, x.id.value + 1);
        EXPECT_EQ(testing::values_of(x), (std::vector<float>{-1, 0, 1, 2, 3, 4}));

        Result<Tensor> empty = op(f32_tensor({}, {0}));
        ASSERT_TRUE(empty.ok());
        EXPECT_EQ(empty.value().shape, (Shape{0}));
        EXPECT_EQ(empty.value().storage.len(), 0u);

        EXPECT_EQ(testing::error_text(op(testing::zeros_tensor(DType::Int8, {2}))),
                  "DTypeMismatch: Operation expected dtype 'float32', but found 'other CPU dtype'");

        Tensor transposed = f32_tensor({-1, 0, 1, 2, 3, 4}, {2, 3});
        transposed.strides = {1, 2};
        EXPECT_EQ(testing::panic_message([&] { (void)op(transposed); }), "kernel operand is not contiguous row-major");
    }
}

}  // namespace
}  // namespace quvarin
