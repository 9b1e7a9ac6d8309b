#pragma once

#include <span>
#include <string>
#include <utility>

#include "autograd/nodes/backward_inputs.hpp"
#include "autograd/nodes/node.hpp"
#include "backends/cpu/elementwise_loops.hpp"
#include "tensor/storage.hpp"
#include "tensor/tensor_id.hpp"

namespace quvarin::autograd {

// What an activation's gradient formula needs: the node's name, the message
// when the output has no gradient, which storage it keeps besides that
// gradient g, and the loop that computes d(x) from g and that storage.
enum class Saved { Input, Output };

struct ActivationGrad {
    const char* node;
    const char* missing;
    Saved saved;
    void (*grad)(std::span<const float> g, std::span<const float> saved, std::span<float> out);
};

// d(x)[i] = g[i] where x[i] > 0, else 0.
inline constexpr ActivationGrad kReluGrad{"ReluBackward", "Gradient missing for ReLU Output", Saved::Input,
                                          cpu::relu_grad_values};
// d(x)[i] = (s[i] * g[i]) * (1 - s[i]) from the saved forward results s,
// which are never recomputed.
inline constexpr ActivationGrad kSigmoidGrad{"SigmoidBackward", "Gradient missing for Sigmoid Output", Saved::Output,
                                             cpu::sigmoid_grad_values};

// Recorded by x.relu(), x.sigmoid() and the like.
template <const ActivationGrad& Activation>
class ActivationBackward final : public Node {
public:
    ActivationBackward(Storage saved_storage, TensorId output_id, TensorId input_id)
        : saved_storage(std::move(saved_storage)), output_id(output_id), input_id(input_id) {}

    Status backward(GradientMap& grads) const override {
        auto inputs = gradient_views(grads, output_id, Activation.missing, saved_storage);
        if (!inputs.ok()) return std::move(inputs.error());
        const auto [g, saved] = inputs.value().views;
        F32Buffer input_grad = make_f32_buffer(g.size());
        Activation.grad(g, saved, input_grad);
        return accumulate_grad(grads, input_id, Storage::from_f32(std::move(input_grad)));
    }
    std::string name() const override { return Activation.node; }

    const Storage saved_storage;
    const TensorId output_id;
    const TensorId input_id;
};

using ReluBackward = ActivationBackward<kReluGrad>;
using SigmoidBackward = ActivationBackward<kSigmoidGrad>;

}  // namespace quvarin::autograd
