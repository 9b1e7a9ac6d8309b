#pragma once

#include <utility>

#include "autograd/nodes/node.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Recorded by x.relu(): d(x)[i] = g[i] where x[i] > 0, else 0. Keeps the
// input values.
class ReluBackward final : public Node {
public:
    ReluBackward(Storage input_storage, TensorId output_id, TensorId input_id)
        : input_storage(std::move(input_storage)), output_id(output_id), input_id(input_id) {}

    Status backward(GradientMap& grads) const override;
    std::string name() const override { return "ReluBackward"; }

    const Storage input_storage;
    const TensorId output_id;
    const TensorId input_id;
};

}  // namespace quvarin::autograd
