#include "backends/cpu/exact_rounding.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>

#include "backends/cpu/elementwise_loops.hpp"
#include "ops/elementwise.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

// Each declared loop written out plainly, one element after another, kept
// from contraction like the builds.
namespace reference {
using In = const float*;
using Out = float*;
#define QUVARIN_REFERENCE_LOOP(name, parameters, statement)                        \
    void name(std::size_t count, QUVARIN_UNPARENTHESISED parameters) {            \
        for (std::size_t i = 0; i < count; ++i) statement;                        \
    }
QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_REFERENCE_LOOP)
#undef QUVARIN_REFERENCE_LOOP
}  // namespace reference

// An argument of `length` elements (or the learning rate 0.1) for a loop.
template <class View>
auto argument(std::size_t length, unsigned seed) {
    if constexpr (std::is_same_v<View, float>) {
        return 0.1f;
    } else {
        return testing::mixed_values(length, seed);
    }
}

auto pointer(std::vector<float>& values) { return values.data(); }
float pointer(float value) { return value; }

// Copies in place: fresh arrays of millions of elements per build would
// spend the test's time faulting in pages.
void restore(std::vector<float>& values, const std::vector<float>& from) { std::ranges::copy(from, values.begin()); }
void restore(float&, float) {}

// Any NaN equals any NaN, as in EXPECT_SAME_BITS.
void expect_same_bits(const std::vector<float>& actual, const std::vector<float>& expected) {
    const auto bits = [](float value) { return std::isnan(value) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(value); };
    const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end(),
                                      [&](float x, float y) { return bits(x) == bits(y); });
    EXPECT_EQ(a, actual.end()) << "first difference at element " << (a - actual.begin()) << " of " << actual.size();
}
void expect_same_bits(float, float) {}

// Lengths around the vector widths, for the remainder loops, and one past
// each streaming threshold, which the loops with a lower one take too.
std::vector<std::size_t> loop_lengths() {
    std::vector<std::size_t> lengths{0, 1, 7, 8, 15, 16, 17, 33, 1000};
    for (const cpu::PathThreshold& threshold : cpu::path_thresholds()) {
        const std::size_t past = threshold.from_elements + 17;
        if (threshold.path == "streaming stores" && std::ranges::find(lengths, past) == lengths.end()) {
            lengths.push_back(past);
        }
    }
    return lengths;
}

// Every build of the loops and of the streaming stores this CPU runs, against
// the reference.
template <class... Views, std::size_t... Index>
void expect_every_build_gives_the_reference_bits(void (*entry)(Views...), auto reference,
                                                 std::index_sequence<Index...>) {
    for (const std::size_t length : loop_lengths()) {
        const std::tuple arguments{argument<Views>(length, Index + 1)...};
        auto expected = arguments;
        std::apply([&](auto&... e) { reference(length, pointer(e)...); }, expected);
        auto actual = arguments;
        testing::for_each_build(cpu::KernelFamily::ElementwiseLoops, [&] {
            testing::for_each_build(cpu::KernelFamily::StreamingStores, [&] {
                std::apply([&](auto&... a) { (restore(a, std::get<Index>(arguments)), ...); }, actual);
                std::apply([&](auto&... a) { entry(a...); }, actual);
                std::apply([&](const auto&... a) { (expect_same_bits(a, std::get<Index>(expected)), ...); }, actual);
            });
        });
    }
}

template <class... Views>
void expect_every_build_gives_the_reference_bits(void (*entry)(Views...), auto reference) {
    expect_every_build_gives_the_reference_bits(entry, reference, std::index_sequence_for<Views...>{});
}

#define QUVARIN_LOOP_TEST(name, parameters, statement) \
    TEST(ElementwiseLoops, name) { expect_every_build_gives_the_reference_bits(cpu::name, reference::name); }
QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_TEST)
#undef QUVARIN_LOOP_TEST

using testing::f32_tensor;
using testing::mixed_values;
using testing::zeros_tensor;

using BinaryOp = Result<Tensor> (*)(const Tensor&, const Tensor&);

struct BinaryCase {
    const char* name;
    BinaryOp op;
};

class BinaryOpTest : public testing::TapeTest, public ::testing::WithParamInterface<BinaryCase> {};

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
                         ::testing::Values(BinaryCase{"add", add}, BinaryCase{"mul", mul}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Elementwise, ExampleValues) {
    const Tensor a = f32_tensor({1.0f, 2.0f}, {2});
    const Tensor b = f32_tensor({10.0f, 20.0f}, {2});
    EXPECT_EQ(testing::values_of(add(a, b).value()), (std::vector<float>{11.0f, 22.0f}));
    EXPECT_EQ(testing::values_of(mul(a, b).value()), (std::vector<float>{10.0f, 40.0f}));
}

}  // namespace
}  // namespace quvarin
