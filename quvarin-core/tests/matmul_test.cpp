#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ops/matmul.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

using testing::f32_tensor;
using testing::zeros_tensor;

// Small integers keep every partial sum exact, so any summation order the
// GEMM library picks gives these values.
std::vector<float> small_integers(std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(-4, 4);
    std::vector<float> values(count);
    for (float& v : values) v = static_cast<float>(value(rng));
    return values;
}

std::vector<float> naive_product(const std::vector<float>& a, const std::vector<float>& b, std::size_t m,
                                 std::size_t k, std::size_t n) {
    std::vector<float> c(m * n, 0.0f);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t l = 0; l < k; ++l) c[i * n + j] += a[i * k + l] * b[l * n + j];
        }
    }
    return c;
}

// The same matrix stored column by column: shape [rows, cols], strides [1, rows].
Tensor column_major(const std::vector<float>& row_major, std::uint64_t rows, std::uint64_t cols) {
    std::vector<float> transposed(row_major.size());
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) transposed[c * rows + r] = row_major[r * cols + c];
    }
    Tensor tensor = f32_tensor(transposed, {rows, cols});
    tensor.strides = {1, rows};
    return tensor;
}

TEST(MatMul, ProducesTheRowMajorProduct) {
    struct Case {
        std::size_t m, k, n;
    };
    // 192 is large enough for OpenBLAS to use its worker threads.
    for (const Case& c : {Case{2, 3, 4}, Case{1, 1, 1}, Case{7, 13, 5}, Case{192, 192, 192}}) {
        const std::vector<float> a = small_integers(c.m * c.k, 1);
        const std::vector<float> b = small_integers(c.k * c.n, 2);
        Result<Tensor> result = matmul(f32_tensor(a, {c.m, c.k}), f32_tensor(b, {c.k, c.n}));
        ASSERT_TRUE(result.ok()) << testing::error_text(result);
        EXPECT_EQ(result.value().shape, (Shape{c.m, c.n}));
        EXPECT_EQ(result.value().strides, (Strides{c.n, 1}));
        EXPECT_EQ(result.value().dtype, DType::Float32);
        EXPECT_FALSE(result.value().requires_grad);
        EXPECT_EQ(testing::values_of(result.value()), naive_product(a, b, c.m, c.k, c.n));
    }
}

TEST(MatMul, ReadsOperandsInPlaceThroughTheirStrides) {
    const std::size_t m = 5, k = 3, n = 4;
    const std::vector<float> a = small_integers(m * k, 3);
    const std::vector<float> b = small_integers(k * n, 4);
    const std::vector<float> expected = naive_product(a, b, m, k, n);
    const Tensor a_rows = f32_tensor(a, {m, k});
    const Tensor b_rows = f32_tensor(b, {k, n});
    const Tensor a_cols = column_major(a, m, k);
    const Tensor b_cols = column_major(b, k, n);
    EXPECT_EQ(testing::values_of(matmul(a_cols, b_rows).value()), expected);
    EXPECT_EQ(testing::values_of(matmul(a_rows, b_cols).value()), expected);
    EXPECT_EQ(testing::values_of(matmul(a_cols, b_cols).value()), expected);
}

TEST(MatMul, EmptyDimensions) {
    Result<Tensor> no_inner = matmul(f32_tensor({}, {2, 0}), f32_tensor({}, {0, 3}));
    ASSERT_TRUE(no_inner.ok());
    EXPECT_EQ(no_inner.value().shape, (Shape{2, 3}));
    EXPECT_SAME_BITS(testing::values_of(no_inner.value()), std::vector<float>(6, 0.0f));

    Result<Tensor> no_rows = matmul(f32_tensor({}, {0, 3}), f32_tensor({1, 2, 3, 4, 5, 6}, {3, 2}));
    ASSERT_TRUE(no_rows.ok());
    EXPECT_EQ(no_rows.value().shape, (Shape{0, 2}));
    EXPECT_EQ(no_rows.value().storage.len(), 0u);

    Result<Tensor> no_cols = matmul(f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3}), f32_tensor({}, {3, 0}));
    ASSERT_TRUE(no_cols.ok());
    EXPECT_EQ(no_cols.value().shape, (Shape{2, 0}));
    EXPECT_EQ(no_cols.value().storage.len(), 0u);

    Result<Tensor> nothing = matmul(f32_tensor({}, {0, 0}), f32_tensor({}, {0, 0}));
    ASSERT_TRUE(nothing.ok());
    EXPECT_EQ(nothing.value().shape, (Shape{0, 0}));
    EXPECT_EQ(nothing.value().storage.len(), 0u);
}

TEST(MatMul, ChecksDtypesThenRanksThenInnerDimensionThenElements) {
    struct Case {
        Tensor a;
        Tensor b;
        std::string error;
    };
    const std::vector<Case> cases = {
        {f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3}), zeros_tensor(DType::Int8, {5}),
         "DTypeMismatch: Operation expected dtype 'float32', but found 'int8'"},
        {f32_tensor({1, 2, 3}, {3}), zeros_tensor(DType::Float32, {3, 2}),
         "ShapeMismatch: Operation expected shape [2, 2], but got [1, 2]"},
        {zeros_tensor(DType::Float32, {2, 3}), f32_tensor({1, 2, 3}, {3}),
         "ShapeMismatch: Operation expected shape [2, 2], but got [2, 1]"},
        {zeros_tensor(DType::Float32, {}), zeros_tensor(DType::Float32, {1, 1, 1}),
         "ShapeMismatch: Operation expected shape [2, 2], but got [0, 3]"},
        {zeros_tensor(DType::Float32, {2, 3}), zeros_tensor(DType::Float32, {4, 2}),
         "ShapeMismatch: Operation expected shape [2, 3], but got [4, 2]"},
        {zeros_tensor(DType::Float32, {1, 0}), zeros_tensor(DType::Float32, {1, 1}),
         "ShapeMismatch: Operation expected shape [1, 0], but got [1, 1]"},
        {zeros_tensor(DType::Int8, {2, 3}), zeros_tensor(DType::Int8, {4, 2}),
         "ShapeMismatch: Operation expected shape [2, 3], but got [4, 2]"},
        {zeros_tensor(DType::Int8, {2, 2}), zeros_tensor(DType::Int8, {2, 2}),
         "DTypeMismatch: Operation expected dtype 'float32', but found 'other CPU dtype'"},
    };
    for (const Case& c : cases) EXPECT_EQ(testing::error_text(matmul(c.a, c.b)), c.error);
}

TEST(MatMul, PanicsInsteadOfWrappingOrReadingOutOfBounds) {
    const std::uint64_t huge = std::uint64_t{1} << 40;
    EXPECT_EQ(testing::panic_message([&] { matmul(f32_tensor({}, {huge, 0}), f32_tensor({}, {0, huge})); }),
              "capacity overflow");

    Tensor overreaching = f32_tensor({1, 2, 3, 4}, {2, 2});
    overreaching.strides = {3, 1};
    EXPECT_NE(testing::panic_message([&] { matmul(overreaching, f32_tensor({1, 0, 0, 1}, {2, 2})); }),
              "<no panic>");

    Tensor short_strides = f32_tensor({1, 2, 3, 4}, {2, 2});
    short_strides.strides = {1};
    EXPECT_NE(testing::panic_message([&] { matmul(short_strides, short_strides); }), "<no panic>");
}

}  // namespace
}  // namespace quvarin
