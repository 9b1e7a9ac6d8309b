#pragma once

#include <utility>

#include "autograd/nodes/node.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Recorded by x.sigmoid(): d(x)[i] = (s[i] * g[i]) * (1 - s[i]) from the saved
// forward results s, which are never recomputed.
class SigmoidBackward final : public Node {
public:
    SigmoidBackward(Storage output_storage, TensorId output_id, TensorId input_id)
        : output_storage(std::move(output_storage)), output_id(output_id), input_id(input_id) {}

    Status backward(GradientMap& grads) const override;
    std::string name() const override { return "SigmoidBackward"; }

    const Storage output_storage;
    const TensorId output_id;
    const TensorId input_id;
};

}  // namespace quvarin::autograd
