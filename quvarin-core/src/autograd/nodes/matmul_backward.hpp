#pragma once

#include <optional>
#include <utility>

#include "autograd/nodes/node.hpp"
#include "tensor/shape.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Recorded by A.matmul(B) with A [M, K] and B [K, N]: d(A) = g·Bᵀ (M × K) and
// d(B) = Aᵀ·g (K × N), g being the M × N output gradient. The operands are
// read through their recorded strides.
class MatMulBackward final : public Node {
public:
    MatMulBackward(std::optional<TensorId> lhs_id, std::optional<TensorId> rhs_id, Storage lhs_storage,
                   Storage rhs_storage, Shape lhs_shape, Strides lhs_strides, Shape rhs_shape,
                   Strides rhs_strides, TensorId output_id)
        : lhs_id(lhs_id),
          rhs_id(rhs_id),
          lhs_storage(std::move(lhs_storage)),
          rhs_storage(std::move(rhs_storage)),
          lhs_shape(std::move(lhs_shape)),
          lhs_strides(std::move(lhs_strides)),
          rhs_shape(std::move(rhs_shape)),
          rhs_strides(std::move(rhs_strides)),
          output_id(output_id) {}

    Status backward(GradientMap& grads) const override;
    std::string name() const override { return "MatMulBackward"; }

    const std::optional<TensorId> lhs_id;
    const std::optional<TensorId> rhs_id;
    const Storage lhs_storage;
    const Storage rhs_storage;
    const Shape lhs_shape;
    const Strides lhs_strides;
    const Shape rhs_shape;
    const Strides rhs_strides;
    const TensorId output_id;
};

}  // namespace quvarin::autograd
