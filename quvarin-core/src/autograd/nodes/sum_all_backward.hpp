#pragma once

#include <utility>

#include "autograd/nodes/node.hpp"
#include "tensor/shape.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Recorded by x.sum(): every element of x receives the single output
// gradient. Only the input's shape is needed, never its values.
class SumAllBackward final : public Node {
public:
    SumAllBackward(Shape input_shape, Strides input_strides, TensorId output_id, TensorId input_id)
        : input_shape(std::move(input_shape)),
          input_strides(std::move(input_strides)),
          output_id(output_id),
          input_id(input_id) {}

    Status backward(GradientMap& grads) const override;
    std::string name() const override { return "SumAllBackward"; }

    const Shape input_shape;
    // Recorded with the shape; the gradient does not depend on it.
    const Strides input_strides;
    const TensorId output_id;
    const TensorId input_id;
};

}  // namespace quvarin::autograd
