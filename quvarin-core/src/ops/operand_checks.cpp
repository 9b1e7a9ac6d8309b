#include "ops/operand_checks.hpp"

#include <string>

namespace quvarin {

Status check_same_shape(const Tensor& a, const Tensor& b) {
    if (a.shape == b.shape) return std::nullopt;
    return TensorError::ShapeMismatch{a.shape, b.shape};
}

Status check_same_dtype(const Tensor& a, const Tensor& b) {
    if (a.dtype == b.dtype) return std::nullopt;
    return TensorError::DTypeMismatch{std::string(dtype_name(a.dtype)), std::string(dtype_name(b.dtype))};
}

}  // namespace quvarin
