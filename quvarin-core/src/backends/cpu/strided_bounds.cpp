#include "backends/cpu/strided_bounds.hpp"

namespace quvarin::cpu {

bool strided_matrix_fits(std::uint64_t rows, std::uint64_t cols, std::uint64_t row_stride,
                         std::uint64_t col_stride, std::uint64_t length) {
    if (rows == 0 || cols == 0) return true;
    std::uint64_t row_offset = 0;
    std::uint64_t col_offset = 0;
    std::uint64_t last = 0;
    return !__builtin_mul_overflow(rows - 1, row_stride, &row_offset) &&
           !__builtin_mul_overflow(cols - 1, col_stride, &col_offset) &&
           !__builtin_add_overflow(row_offset, col_offset, &last) && last < length;
}

}  // namespace quvarin::cpu
