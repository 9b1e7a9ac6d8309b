#pragma once

#include <cstdint>

namespace quvarin::cpu {

// True when every element (r, c) of a rows × cols matrix, read at
// r·row_stride + c·col_stride, lies before `length`, with no overflow on the
// way; an empty matrix reads nothing. Reading outside a storage would be
// unsafe: records built by this library never ask for it.
bool strided_matrix_fits(std::uint64_t rows, std::uint64_t cols, std::uint64_t row_stride,
                         std::uint64_t col_stride, std::uint64_t length);

}  // namespace quvarin::cpu
