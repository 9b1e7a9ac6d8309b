#include "backends/cpu/exact_rounding.hpp"

#include <gtest/gtest.h>

#include "backends/cpu/ordered_matmul.hpp"
#include "test_support.hpp"

namespace quvarin::cpu {
namespace {

float at(const StridedMatrix& m, std::size_t row, std::size_t col) {
    return m.values[row * m.row_stride + col * m.col_stride];
}

// The loop whose bits ordered_matmul must reproduce.
std::vector<float> naive_ordered(const StridedMatrix& x, const StridedMatrix& y) {
    std::vector<float> out(x.rows * y.cols, 0.0f);
    for (std::size_t i = 0; i < x.rows; ++i) {
        for (std::size_t j = 0; j < y.cols; ++j) {
            float sum = 0.0f;
            for (std::size_t t = 0; t < x.cols; ++t) {
                const float product = at(x, i, t) * at(y, t, j);
                sum = sum + product;
            }
            out[i * y.cols + j] = sum;
        }
    }
    return out;
}

struct ProductShape {
    std::size_t rows, depth, cols;
};

class OrderedMatmulTest : public ::testing::TestWithParam<ProductShape> {};

// Both layouts the backward products use: contiguous row-major, and the
// transpose of a row-major matrix (unit row stride); every build this CPU
// runs, whichever of them the process would pick.
TEST_P(OrderedMatmulTest, MatchesTheNaiveLoopBitForBit) {
    const auto [rows, depth, cols] = GetParam();
    const std::vector<float> x_values = testing::mixed_values(rows * depth, 7);
    const std::vector<float> y_values = testing::mixed_values(depth * cols, 8);
    const StridedMatrix x_rows{x_values, rows, depth, depth, 1};
    const StridedMatrix x_transposed{x_values, rows, depth, 1, rows};
    const StridedMatrix y_rows{y_values, depth, cols, cols, 1};
    const StridedMatrix y_transposed{y_values, depth, cols, 1, depth};
    for (const auto& operands : {std::pair{x_rows, y_rows}, std::pair{x_transposed, y_transposed},
                                 std::pair{x_rows, y_transposed}}) {
        const StridedMatrix& x = operands.first;
        const StridedMatrix& y = operands.second;
        const std::vector<float> expected = naive_ordered(x, y);
        testing::for_each_build(KernelFamily::BackwardProducts, [&] {
            EXPECT_SAME_BITS(std::span<const float>(ordered_matmul(x, y)), expected);
        });
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, OrderedMatmulTest,
    ::testing::Values(ProductShape{1, 1, 1}, ProductShape{5, 3, 7}, ProductShape{24, 16, 32},
                      ProductShape{7, 17, 33},
                      // longer than one inner block: partial sums resume from the output
                      ProductShape{13, 600, 29},
                      // more rows than one row block, more columns than one column block
                      ProductShape{131, 4, 9}, ProductShape{2, 3, 2100},
                      // the 12-row tiles: more rows than their row block, a sum
                      // two past their 128-long stretch
                      ProductShape{200, 130, 40},
                      // empty dimensions: no rows, empty sums, no columns
                      ProductShape{0, 5, 3}, ProductShape{3, 0, 4}, ProductShape{4, 5, 0}));

TEST(OrderedMatmul, EmptySumsArePositiveZeros) {
    const std::vector<float> none;
    const F32Buffer out = ordered_matmul({none, 2, 0, 0, 1}, {none, 0, 3, 3, 1});
    EXPECT_SAME_BITS(std::span<const float>(out), std::vector<float>(6, 0.0f));
}

TEST(OrderedMatmul, PanicsOnOperandsOutsideTheirBuffer) {
    const std::vector<float> four(4, 1.0f);
    EXPECT_NE(testing::panic_message([&] { ordered_matmul({four, 2, 2, 2, 1}, {four, 2, 3, 3, 1}); }), "<no panic>");
    EXPECT_NE(testing::panic_message([&] { ordered_matmul({four, 2, 2, 2, 1}, {four, 3, 2, 2, 1}); }), "<no panic>");
    const std::uint64_t huge = std::uint64_t{1} << 40;
    EXPECT_EQ(testing::panic_message([&] { ordered_matmul({four, huge, 0, 0, 1}, {four, 0, huge, 1, 1}); }),
              "capacity overflow");
}

}  // namespace
}  // namespace quvarin::cpu
