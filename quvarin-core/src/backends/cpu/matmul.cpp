#include "backends/cpu/matmul.hpp"

#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "backends/cpu/gemm_library.hpp"
#include "backends/cpu/strided_bounds.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

// How cblas reads a rows × cols operand where it lies: row-major as stored,
// or as the transpose of a row-major cols × rows matrix.
struct BlasOperand {
    CBLAS_TRANSPOSE transpose;
    blasint leading_dim;
};

blasint to_blasint(std::uint64_t value) {
    if (value > static_cast<std::uint64_t>(std::numeric_limits<blasint>::max())) {
        throw Panic("matrix dimension exceeds the BLAS integer range");
    }
    return static_cast<blasint>(value);
}

// The layout of a non-empty rows × cols operand as cblas reads it. A
// dimension of size 1 is never stepped along, so its stride does not matter
// and the leading dimension only has to meet cblas's lower bound.
BlasOperand blas_operand(std::uint64_t rows, std::uint64_t cols, const Strides& strides,
                         std::size_t storage_len) {
    const std::uint64_t row_stride = strides[0];
    const std::uint64_t col_stride = strides[1];
    if (!strided_matrix_fits(rows, cols, row_stride, col_stride, storage_len)) {
        throw Panic("matmul operand reaches outside its storage");
    }

    if (cols == 1 || col_stride == 1) {
        const std::uint64_t ld = rows == 1 ? cols : row_stride;
        if (ld >= cols) return {CblasNoTrans, to_blasint(ld)};
    }
    if (rows == 1 || row_stride == 1) {
        const std::uint64_t ld = cols == 1 ? rows : col_stride;
        if (ld >= rows) return {CblasTrans, to_blasint(ld)};
    }
    throw Panic("matmul operand strides cannot be read in place by BLAS");
}

}  // namespace

Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
    if (a.shape.size() != 2 || b.shape.size() != 2) {
        return TensorError::ShapeMismatch{{2, 2}, {a.shape.size(), b.shape.size()}};
    }
    if (a.shape[1] != b.shape[0]) return TensorError::ShapeMismatch{a.shape, b.shape};
    auto a_values = as_f32_slice(a);
    if (!a_values.ok()) return std::move(a_values.error());
    auto b_values = as_f32_slice(b);
    if (!b_values.ok()) return std::move(b_values.error());

    const std::uint64_t m = a.shape[0];
    const std::uint64_t k = a.shape[1];
    const std::uint64_t n = b.shape[1];
    if (a.strides.size() < 2 || b.strides.size() < 2) throw Panic("matmul operand has fewer than two strides");
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(m, n, &count)) throw Panic("capacity overflow");

    // An empty inner dimension leaves every sum at zero without a GEMM;
    // otherwise sgemm with beta 0 writes all of C.
    F32Buffer c = k == 0 ? make_f32_buffer(count, 0.0f) : make_f32_buffer(count);
    if (count > 0 && k > 0) {
        const BlasOperand lhs = blas_operand(m, k, a.strides, a_values.value().size());
        const BlasOperand rhs = blas_operand(k, n, b.strides, b_values.value().size());
        sgemm_routine()(CblasRowMajor, lhs.transpose, rhs.transpose, to_blasint(m), to_blasint(n),
                    to_blasint(k), 1.0f, a_values.value().data(), lhs.leading_dim,
                    b_values.value().data(), rhs.leading_dim, 0.0f, c.data(), to_blasint(n));
    }
    return Tensor(Storage::from_f32(std::move(c)), Shape{m, n}, false, DType::Float32);
}

}  // namespace quvarin::cpu
