#include <gtest/gtest.h>

#include "backends/cpu/elementwise_loops.hpp"
#include "backends/cpu/exact_rounding.hpp"
#include "ops/elementwise.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

using testing::f32_tensor;
using testing::mixed_values;
using testing::zeros_tensor;

using BinaryOp = Result<Tensor> (*)(const Tensor&, const Tensor&);

struct BinaryCase {
    const char* name;
    BinaryOp op;
    float (*reference)(float, float);
};

class BinaryOpTest : public testing::TapeTest, public ::testing::WithParamInterface<BinaryCase> {};

// Every build of the loops and of the streaming stores this CPU runs.
TEST_P(BinaryOpTest, MatchesScalarFloatArithmeticBitForBit) {
    // Lengths around the vector widths exercise the remainder loops; the last
    // one is long enough for streaming stores.
    for (const std::size_t length : {0, 1, 7, 8, 15, 16, 17, 33, 1000, (1 << 20) + 17}) {
        const std::vector<float> a = mixed_values(length, 1);
        const std::vector<float> b = mixed_values(length, 2);
        std::vector<float> expected(length);
        for (std::size_t i = 0; i < length; ++i) expected[i] = GetParam().reference(a[i], b[i]);

        testing::for_each_build(cpu::KernelFamily::ElementwiseLoops, [&] {
            testing::for_each_build(cpu::KernelFamily::StreamingStores, [&] {
                Result<Tensor> result = GetParam().op(f32_tensor(a, {length}), f32_tensor(b, {length}));
                ASSERT_TRUE(result.ok()) << testing::error_text(result);
                EXPECT_SAME_BITS(testing::values_of(result.value()), expected) << "length " << length;
            });
        });
    }
}

TEST_P(BinaryOpTest, ResultTakesTheLeftOperandsLayoutAndAFreshId) {
    const Tensor a = f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3});
    const Tensor b = f32_tensor({1, 1, 1, 1, 1, 1}, {2, 3});
    Result<Tensor> result = GetParam().op(a, b);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().shape, (Shape{2, 3}));
    EXPECT_EQ(result.value().strides, (Strides{3, 1}));
    EXPECT_EQ(result.value().dtype, DType::Float32);
    EXPECT_EQ(result.value().id.value, b.id.value + 1);
    EXPECT_FALSE(result.value().storage.same_buffer(a.storage));
    EXPECT_EQ(testing::values_of(a), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST_P(BinaryOpTest, ChecksShapesBeforeDtypesBeforeElements) {
    struct Case {
        Tensor a;
        Tensor b;
        std::string error;
    };
    const std::vector<Case> cases = {
        {f32_tensor({1, 2, 3}, {3}), f32_tensor({1}, {1}), "ShapeMismatch: Operation expected shape [3], but got [1]"},
        {f32_tensor({1, 2, 3, 4, 5, 6}, {6}), zeros_tensor(DType::Float32, {2, 3}),
         "ShapeMismatch: Operation expected shape [6], but got [2, 3]"},
        {f32_tensor({1, 2, 3}, {3}), zeros_tensor(DType::Int8, {2}),
         "ShapeMismatch: Operation expected shape [3], but got [2]"},
        {f32_tensor({1, 2}, {2}), zeros_tensor(DType::Int8, {2}),
         "DTypeMismatch: Operation expected dtype 'float32', but found 'int8'"},
        {zeros_tensor(DType::Int8, {2}), zeros_tensor(DType::Int8, {2}),
         "DTypeMismatch: Operation expected dtype 'float32', but found 'other CPU dtype'"},
    };
    for (const Case& c : cases) EXPECT_EQ(testing::error_text(GetParam().op(c.a, c.b)), c.error);
}

TEST_P(BinaryOpTest, StoragesOfDifferentLengthsPanic) {
    // Equal shapes, but a record whose storage does not match its shape.
    const Tensor a = f32_tensor({1, 2, 3}, {2});
    const Tensor b = f32_tensor({1, 2}, {2});
    EXPECT_EQ(testing::panic_message([&] { (void)GetParam().op(a, b); }), "elementwise operands differ in length");
}

// The kernels read storages as flat sequences: a transposed layout would be
// silently wrong.
TEST_P(BinaryOpTest, OperandsNotLaidOutRowMajorPanic) {
    const Tensor row_major = f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3});
    Tensor transposed = f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3});
    transposed.strides = {1, 2};
    EXPECT_EQ(testing::panic_message([&] { (void)GetParam().op(transposed, row_major); }),
              "kernel operand is not contiguous row-major");
    EXPECT_EQ(testing::panic_message([&] { (void)GetParam().op(row_major, transposed); }),
              "kernel operand is not contiguous row-major");
}

INSTANTIATE_TEST_SUITE_P(AddAndMul, BinaryOpTest,
                         ::testing::Values(BinaryCase{"add", add, [](float x, float y) { return x + y; }},
                                           BinaryCase{"mul", mul, [](float x, float y) { return x * y; }}),
                         [](const auto& info) { return std::string(info.param.name); });

// The update's two roundings, lr * g first, in every build of the loops; the
// reference here is kept from contraction like the loops themselves.
TEST(Elementwise, SgdStepRoundsTheProductBeforeSubtracting) {
    const std::vector<float> p = mixed_values(1000, 5);
    const std::vector<float> g = mixed_values(1000, 6);
    std::vector<float> expected(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) expected[i] = p[i] - 0.1f * g[i];
    testing::for_each_build(cpu::KernelFamily::ElementwiseLoops, [&] {
        std::vector<float> out(p.size());
        cpu::sgd_step_values(p, g, 0.1f, out);
        EXPECT_SAME_BITS(out, expected);
    });
}

TEST(Elementwise, ExampleValues) {
    const Tensor a = f32_tensor({1.0f, 2.0f}, {2});
    const Tensor b = f32_tensor({10.0f, 20.0f}, {2});
    EXPECT_EQ(testing::values_of(add(a, b).value()), (std::vector<float>{11.0f, 22.0f}));
    EXPECT_EQ(testing::values_of(mul(a, b).value()), (std::vector<float>{10.0f, 40.0f}));
}

}  // namespace
}  // namespace quvarin
