#pragma once

#include <unordered_map>

#include "tensor/result.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// Gradients of one backward pass, keyed by the id of the tensor they belong to.
class GradientMap {
public:
    // The stored gradient, or nullptr.
    const Storage* find(TensorId id) const;
    std::size_t size() const { return entries_.size(); }

private:
    friend Status accumulate_grad(GradientMap& map, TensorId id, Storage incoming);
    std::unordered_map<TensorId, Storage> entries_;
};

// Stores incoming under id, or adds it into the stored gradient. A buffer
// held anywhere else is copied before it is written (copy-on-write).
Status accumulate_grad(GradientMap& map, TensorId id, Storage incoming);

}  // namespace quvarin::autograd
