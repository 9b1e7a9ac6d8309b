#pragma once

#include <cstdint>
#include <span>

#include "tensor/f32_buffer.hpp"

namespace quvarin::cpu {

// A rows × cols matrix read in place from a float buffer: element (r, c) is
// values[r * row_stride + c * col_stride].
struct StridedMatrix {
    std::span<const float> values;
    std::uint64_t rows;
    std::uint64_t cols;
    std::uint64_t row_stride;
    std::uint64_t col_stride;
};

// The product x · y as a new row-major buffer in which every element is
// bit for bit the naive loop: sum = +0, then sum = sum + x(i, t) * y(t, j)
// for t = 0, 1, ... with the product rounded before the addition. It is
// vectorised across output elements (each lane keeps its own in-order sum),
// never across the sum, by the backward-product build in use
// (backward_product_kernel()). Runs on the calling thread. Panics when the inner
// dimensions differ or an operand reaches outside its buffer.
F32Buffer ordered_matmul(const StridedMatrix& x, const StridedMatrix& y);

}  // namespace quvarin::cpu
