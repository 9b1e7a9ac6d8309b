#include "backends/cpu/result_tensor.hpp"

#include <utility>

namespace quvarin::cpu {

Tensor tensor_laid_out_like(const Tensor& layout, F32Buffer values) {
    Tensor result(Storage::from_f32(std::move(values)), layout.shape, false, layout.dtype);
    result.strides = layout.strides;
    return result;
}

}  // namespace quvarin::cpu
