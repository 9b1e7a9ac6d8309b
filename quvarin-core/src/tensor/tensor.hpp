#pragma once

#include <span>

#include "tensor/device.hpp"
#include "tensor/dtype.hpp"
#include "tensor/result.hpp"
#include "tensor/shape.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin {

// The one data type: elements in a shared storage, a row-major layout, an
// identity for differentiation and the requires_grad flag.
struct Tensor {
    // Builds a record with row-major strides. The id is drawn last, once the
    // storage and both lists exist, so a construction that fails draws none.
    Tensor(Storage storage_, Shape shape_, bool requires_grad_, DType dtype_)
        : storage(std::move(storage_)),
          shape(std::move(shape_)),
          strides(row_major_strides(shape)),
          id(next_tensor_id()),
          requires_grad(requires_grad_),
          dtype(dtype_) {}

    Storage storage;
    Shape shape;
    Strides strides;
    TensorId id;
    bool requires_grad;
    DType dtype;
    Device device = Device::Cpu;
};

// The storage's elements as float32, or DTypeMismatch "float32" / "other CPU
// dtype" for every other kind.
Result<std::span<const float>> as_f32_slice(const Storage& storage);
Result<std::span<const float>> as_f32_slice(const Tensor& tensor);

}  // namespace quvarin
