#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "autograd/nodes/add_backward.hpp"
#include "autograd/nodes/matmul_backward.hpp"
#include "autograd/nodes/mul_backward.hpp"
#include "autograd/nodes/activation_backward.hpp"
#include "autograd/nodes/sum_all_backward.hpp"
#include "autograd/tape/engine.hpp"
#include "ops/activation.hpp"
#include "ops/elementwise.hpp"
#include "ops/matmul.hpp"
#include "ops/reduction.hpp"
#include "test_support.hpp"

namespace quvarin::autograd {
namespace {

using testing::f32_tensor;

using BackwardNodes = testing::TapeTest;

Storage f32_storage(const std::vector<float>& values) {
    return Storage::from_f32(F32Buffer(values.begin(), values.end()));
}

// A map holding only `grad` as the gradient of `output`.
GradientMap map_with(TensorId output, const std::vector<float>& grad) {
    GradientMap grads;
    EXPECT_FALSE(accumulate_grad(grads, output, f32_storage(grad)));
    return grads;
}

std::vector<float> grad_of(const GradientMap& grads, TensorId id) {
    const Storage* grad = grads.find(id);
    if (grad == nullptr) {
        ADD_FAILURE() << "no gradient for " << id.debug_string();
        return {};
    }
    return testing::values_of(*grad);
}

constexpr TensorId kOut{1000};
constexpr TensorId kIn{1001};
constexpr TensorId kOther{1002};

TEST_F(BackwardNodes, ReluPassesGradientOnlyWhereTheInputWasPositive) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    GradientMap grads = map_with(kOut, {3, 3, 3, 3, 3});
    const ReluBackward node(f32_storage({-1.0f, 0.0f, -0.0f, nan, 2.0f}), kOut, kIn);
    ASSERT_FALSE(node.backward(grads));
    EXPECT_SAME_BITS(grad_of(grads, kIn), (std::vector<float>{0, 0, 0, 0, 3}));
}

TEST_F(BackwardNodes, SigmoidUsesTheSavedOutputsInTheStatedOrder) {
    const std::vector<float> s = testing::mixed_values(37, 9);
    const std::vector<float> g = testing::mixed_values(37, 10);
    std::vector<float> expected(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) expected[i] = (s[i] * g[i]) * (1.0f - s[i]);
    GradientMap grads = map_with(kOut, g);
    ASSERT_FALSE(SigmoidBackward(f32_storage(s), kOut, kIn).backward(grads));
    EXPECT_SAME_BITS(grad_of(grads, kIn), expected);
}

TEST_F(BackwardNodes, SumSpreadsTheOutputGradientOverTheInputShape) {
    GradientMap grads = map_with(kOut, {5});
    ASSERT_FALSE(SumAllBackward({2, 3}, {3, 1}, kOut, kIn).backward(grads));
    EXPECT_EQ(grad_of(grads, kIn), std::vector<float>(6, 5.0f));
    ASSERT_FALSE(SumAllBackward({}, {}, kOut, kOther).backward(grads));
    EXPECT_EQ(grad_of(grads, kOther), std::vector<float>{5.0f});
}

TEST_F(BackwardNodes, MatMulGradientsOfTheWorkedExample) {
    const Tensor a = f32_tensor({1, 2, 3, 4}, {2, 2}, true);
    const Tensor b = f32_tensor({5, 6}, {2, 1}, true);
    const Tensor loss = sum(matmul(a, b).value()).value();
    Result<GradientMap> grads = run_backward(loss);
    ASSERT_TRUE(grads.ok()) << testing::error_text(grads);
    EXPECT_EQ(grad_of(grads.value(), a.id), (std::vector<float>{5, 6, 5, 6}));
    EXPECT_EQ(grad_of(grads.value(), b.id), (std::vector<float>{4, 6}));
}

TEST_F(BackwardNodes, MatMulGradientSizesWithEmptyDimensions) {
    struct Case {
        std::uint64_t m, k, n;
        std::size_t lhs_len;
        std::size_t rhs_len;
    };
    for (const Case& c : {Case{2, 0, 3, 0, 0}, Case{2, 3, 0, 6, 0}, Case{0, 3, 2, 0, 6}, Case{0, 0, 0, 0, 0}}) {
        const Tensor a = f32_tensor(std::vector<float>(c.m * c.k, 1.0f), {c.m, c.k}, true);
        const Tensor b = f32_tensor(std::vector<float>(c.k * c.n, 1.0f), {c.k, c.n}, true);
        const Tensor product = matmul(a, b).value();
        Result<GradientMap> grads = run_backward(product);
        ASSERT_TRUE(grads.ok()) << testing::error_text(grads);
        EXPECT_SAME_BITS(grad_of(grads.value(), a.id), std::vector<float>(c.lhs_len, 0.0f));
        EXPECT_SAME_BITS(grad_of(grads.value(), b.id), std::vector<float>(c.rhs_len, 0.0f));
    }
}

// Saved operands are read through their recorded strides, so a column-major
// operand gives the same bits as its row-major copy.
TEST_F(BackwardNodes, MatMulReadsSavedOperandsThroughTheirStrides) {
    const std::uint64_t m = 3, k = 5, n = 4;
    const std::vector<float> a = testing::mixed_values(m * k, 11);
    const std::vector<float> b = testing::mixed_values(k * n, 12);
    const std::vector<float> g = testing::mixed_values(m * n, 13);
    std::vector<float> a_columns(a.size());
    for (std::size_t r = 0; r < m; ++r) {
        for (std::size_t c = 0; c < k; ++c) a_columns[c * m + r] = a[r * k + c];
    }
    GradientMap row_major = map_with(kOut, g);
    ASSERT_FALSE(MatMulBackward(kIn, kOther, f32_storage(a), f32_storage(b), {m, k}, {k, 1}, {k, n}, {n, 1}, kOut)
                     .backward(row_major));
    GradientMap column_major = map_with(kOut, g);
    ASSERT_FALSE(MatMulBackward(kIn, kOther, f32_storage(a_columns), f32_storage(b), {m, k}, {1, m}, {k, n}, {n, 1},
                                kOut)
                     .backward(column_major));
    EXPECT_SAME_BITS(grad_of(column_major, kIn), grad_of(row_major, kIn));
    EXPECT_SAME_BITS(grad_of(column_major, kOther), grad_of(row_major, kOther));
}

TEST_F(BackwardNodes, SquaringAddsBothContributions) {
    const Tensor x = f32_tensor({1.5f, -2.0f, 3.0f}, {3}, true);
    const Tensor z = mul(x, x).value();
    const Tensor loss = sum(z).value();
    Result<GradientMap> grads = run_backward(loss);
    ASSERT_TRUE(grads.ok());
    EXPECT_EQ(grad_of(grads.value(), x.id), (std::vector<float>{3.0f, -4.0f, 6.0f}));
}

TEST_F(BackwardNodes, DoublingGivesTwiceTheGradientAndLeavesTheOutputsEntryAlone) {
    const Tensor x = f32_tensor({1, 2}, {2}, true);
    const Tensor z = add(x, x).value();
    Result<GradientMap> grads = run_backward(z);
    ASSERT_TRUE(grads.ok());
    EXPECT_EQ(grad_of(grads.value(), x.id), (std::vector<float>{2, 2}));
    EXPECT_EQ(grad_of(grads.value(), z.id), (std::vector<float>{1, 1}));
}

TEST_F(BackwardNodes, OnlyOperandsThatRequireGradientsReceiveThem) {
    const Tensor a = f32_tensor({2, 3}, {2});
    const Tensor b = f32_tensor({5, 7}, {2}, true);
    const Tensor z = mul(a, b).value();
    Result<GradientMap> grads = run_backward(z);
    ASSERT_TRUE(grads.ok());
    EXPECT_EQ(grads.value().find(a.id), nullptr);
    EXPECT_EQ(grad_of(grads.value(), b.id), (std::vector<float>{2, 3}));
}

TEST_F(BackwardNodes, MissingOutputGradientMessages) {
    const Storage one = f32_storage({1});
    struct Case {
        std::unique_ptr<Node> node;
        std::string error;
    };
    std::vector<Case> cases;
    cases.push_back({std::make_unique<AddBackward>(kIn, std::nullopt, TensorId{12}),
                     "AutogradError: Gradient missing for Output ID TensorId(12)"});
    cases.push_back({std::make_unique<MulBackward>(kIn, kIn, one, one, kOut), "AutogradError: Gradient missing"});
    cases.push_back({std::make_unique<ReluBackward>(one, kOut, kIn), "AutogradError: Gradient missing for ReLU Output"});
    cases.push_back({std::make_unique<MatMulBackward>(kIn, kIn, one, one, Shape{1, 1}, Strides{1, 1}, Shape{1, 1},
                                                      Strides{1, 1}, kOut),
                     "AutogradError: Gradient missing for MatMul Output"});
    cases.push_back({std::make_unique<SumAllBackward>(Shape{1}, Strides{1}, kOut, kIn),
                     "AutogradError: Gradient missing for Sum Output"});
    cases.push_back(
        {std::make_unique<SigmoidBackward>(one, kOut, kIn), "AutogradError: Gradient missing for Sigmoid Output"});
    for (const Case& c : cases) {
        GradientMap grads;
        EXPECT_EQ(testing::error_text(c.node->backward(grads)), c.error) << c.node->name();
        EXPECT_EQ(grads.size(), 0u);
    }
}

TEST_F(BackwardNodes, NonFloatSavedStorageFailsBeforeAnythingIsAdded) {
    const Storage floats = f32_storage({1, 2});
    const Storage bytes = Storage::zeros(DType::Int8, 2);
    const std::string error = "DTypeMismatch: Operation expected dtype 'float32', but found 'other CPU dtype'";
    GradientMap mul_grads = map_with(kOut, {1, 1});
    EXPECT_EQ(testing::error_text(MulBackward(kIn, kOther, floats, bytes, kOut).backward(mul_grads)), error);
    EXPECT_EQ(mul_grads.size(), 1u);

    GradientMap mm_grads = map_with(kOut, {1});
    EXPECT_EQ(testing::error_text(
                  MatMulBackward(kIn, kOther, bytes, floats, {1, 2}, {2, 1}, {2, 1}, {1, 1}, kOut).backward(mm_grads)),
              error);
    EXPECT_EQ(mm_grads.size(), 1u);

    GradientMap byte_grads;
    ASSERT_FALSE(accumulate_grad(byte_grads, kOut, bytes));
    EXPECT_EQ(testing::error_text(ReluBackward(floats, kOut, kIn).backward(byte_grads)), error);
}

TEST_F(BackwardNodes, BrokenInvariantsPanicInsteadOfReadingOutOfBounds) {
    const Storage two = f32_storage({1, 2});
    const Storage one = f32_storage({1});
    GradientMap grads = map_with(kOut, {1, 1});
    EXPECT_NE(testing::panic_message([&] { MulBackward(kIn, kIn, one, one, kOut).backward(grads); }), "<no panic>");
    EXPECT_NE(testing::panic_message([&] { ReluBackward(one, kOut, kIn).backward(grads); }), "<no panic>");
    EXPECT_NE(testing::panic_message([&] {
                  MatMulBackward(kIn, kIn, two, two, {2}, {1}, {2, 1}, {1, 1}, kOut).backward(grads);
              }),
              "<no panic>");
    EXPECT_NE(testing::panic_message([&] {
                  MatMulBackward(kIn, kIn, two, two, {2, 2}, {2, 1}, {2, 1}, {1, 1}, kOut).backward(grads);
              }),
              "<no panic>");
    GradientMap empty_grad = map_with(kOut, {});
    EXPECT_NE(testing::panic_message([&] { SumAllBackward({2}, {1}, kOut, kIn).backward(empty_grad); }),
              "<no panic>");
}

}  // namespace
}  // namespace quvarin::autograd
