#include "backends/cpu/row_major.hpp"

#include "tensor/panic.hpp"

namespace quvarin::cpu {

void require_row_major(const Tensor& t) {
    if (!is_row_major(t.shape, t.strides)) throw Panic("kernel operand is not contiguous row-major");
}

}  // namespace quvarin::cpu
