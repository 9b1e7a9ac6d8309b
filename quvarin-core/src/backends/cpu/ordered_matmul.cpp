#include "backends/cpu/ordered_matmul.hpp"

#include <cstddef>

#include "backends/cpu/kernel_dispatch.hpp"
#include "backends/cpu/strided_bounds.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

void require_within_buffer(const StridedMatrix& m) {
    if (!strided_matrix_fits(m.rows, m.cols, m.row_stride, m.col_stride, m.values.size())) {
        throw Panic("matrix index out of range in a backward product");
    }
}

}  // namespace

F32Buffer ordered_matmul(const StridedMatrix& x, const StridedMatrix& y) {
    if (x.cols != y.rows) throw Panic("inner dimensions differ in a backward product");
    require_within_buffer(x);
    require_within_buffer(y);
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(x.rows, y.cols, &count)) throw Panic("capacity overflow");
    if (x.cols == 0) return make_f32_buffer(count, 0.0f);
    F32Buffer out = make_f32_buffer(count);
    if (count == 0) return out;
    backward_product_kernel().run(x, y, out.data());
    return out;
}

}  // namespace quvarin::cpu
