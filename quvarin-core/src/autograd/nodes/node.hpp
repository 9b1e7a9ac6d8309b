#pragma once

#include <string>

#include "autograd/tape/gradient_map.hpp"
#include "tensor/result.hpp"

namespace quvarin::autograd {

// One recorded operation of a forward pass. A node names its inputs and
// output by TensorId and holds its own references to the data its gradient
// formula needs, so it outlives the tensors it came from.
class Node {
public:
    virtual ~Node() = default;

    // Reads the gradient of the node's output from `grads` and adds each
    // input's contribution into it, left operand first.
    virtual Status backward(GradientMap& grads) const = 0;
    // The node kind, such as "AddBackward".
    virtual std::string name() const = 0;
};

}  // namespace quvarin::autograd
