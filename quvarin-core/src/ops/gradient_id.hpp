#pragma once

#include <optional>

#include "tensor/tensor.hpp"

namespace quvarin {

// The operand's id as a node records it: present only when the operand
// requires gradients.
inline std::optional<TensorId> gradient_id(const Tensor& operand) {
    return operand.requires_grad ? std::optional<TensorId>(operand.id) : std::nullopt;
}

}  // namespace quvarin
