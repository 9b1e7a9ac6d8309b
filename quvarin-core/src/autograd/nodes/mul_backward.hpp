#pragma once

#include <optional>
#include <utility>

#include "autograd/nodes/node.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Recorded by a * b: d(lhs) = g * b, d(rhs) = g * a. Both operands' values
// are saved whichever of them required gradients.
class MulBackward final : public Node {
public:
    MulBackward(std::optional<TensorId> lhs_id, std::optional<TensorId> rhs_id, Storage lhs_storage,
                Storage rhs_storage, TensorId output_id)
        : lhs_id(lhs_id),
          rhs_id(rhs_id),
          lhs_storage(std::move(lhs_storage)),
          rhs_storage(std::move(rhs_storage)),
          output_id(output_id) {}

    Status backward(GradientMap& grads) const override;
    std::string name() const override { return "MulBackward"; }

    const std::optional<TensorId> lhs_id;
    const std::optional<TensorId> rhs_id;
    const Storage lhs_storage;
    const Storage rhs_storage;
    const TensorId output_id;
};

}  // namespace quvarin::autograd
