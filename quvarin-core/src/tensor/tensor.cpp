#include "tensor/tensor.hpp"

namespace quvarin {

Result<std::span<const float>> as_f32_slice(const Storage& storage) {
    if (storage.kind() != StorageKind::F32) return not_f32_error();
    return storage.f32_elements();
}

Result<std::span<const float>> as_f32_slice(const Tensor& tensor) { return as_f32_slice(tensor.storage); }

}  // namespace quvarin
