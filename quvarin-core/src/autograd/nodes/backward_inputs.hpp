#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "autograd/tape/gradient_map.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::autograd {

// What every backward formula starts from.

// The gradient of a node's output, or AutogradError `missing` when the pass
// holds none. Held by value: accumulating may rehash the map under a pointer
// into it.
Result<Storage> output_gradient(const GradientMap& grads, TensorId output_id, std::string_view missing);
// The same, with a message that names the output's id.
Result<Storage> output_gradient(const GradientMap& grads, TensorId output_id);

template <std::size_t SavedCount>
struct GradientViews {
    Storage grad;  // owns the elements of views[0]
    // The output's gradient, then each saved storage, as float32.
    std::array<std::span<const float>, SavedCount + 1> views;
};

// The output's gradient and the float32 views of it and of the storages a
// node saved, all taken before any arithmetic: a storage of another kind
// fails the node with its DTypeMismatch before anything reaches the map.
template <std::same_as<Storage>... Saved>
Result<GradientViews<sizeof...(Saved)>> gradient_views(const GradientMap& grads, TensorId output_id,
                                                       std::string_view missing, const Saved&... saved) {
    Result<Storage> grad = output_gradient(grads, output_id, missing);
    if (!grad.ok()) return std::move(grad.error());
    GradientViews<sizeof...(Saved)> inputs{std::move(grad.value()), {}};
    const std::array<const Storage*, sizeof...(Saved) + 1> storages{&inputs.grad, &saved...};
    for (std::size_t i = 0; i < storages.size(); ++i) {
        Result<std::span<const float>> view = as_f32_slice(*storages[i]);
        if (!view.ok()) return std::move(view.error());
        inputs.views[i] = view.value();
    }
    return inputs;
}

}  // namespace quvarin::autograd
