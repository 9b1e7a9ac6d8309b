#pragma once

#include <optional>

#include "autograd/nodes/node.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Recorded by a + b. Both operands receive the output's gradient unchanged;
// an id is present only when that operand required gradients.
class AddBackward final : public Node {
public:
    AddBackward(std::optional<TensorId> lhs_id, std::optional<TensorId> rhs_id, TensorId output_id)
        : lhs_id(lhs_id), rhs_id(rhs_id), output_id(output_id) {}

    Status backward(GradientMap& grads) const override;
    std::string name() const override { return "AddBackward"; }

    const std::optional<TensorId> lhs_id;
    const std::optional<TensorId> rhs_id;
    const TensorId output_id;
};

}  // namespace quvarin::autograd
