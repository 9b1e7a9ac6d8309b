#pragma once

#include <span>

namespace quvarin::cpu {

// Loops over float32 elements in which element i of the output depends only
// on element i of the inputs, run by the build of the elementwise loops (or
// of the streaming stores) in use. Each panics when an input is shorter than
// the output.

// out[i] = a[i] + b[i]
void add_values(std::span<const float> a, std::span<const float> b, std::span<float> out);
// out[i] = a[i] * b[i]
void multiply_values(std::span<const float> a, std::span<const float> b, std::span<float> out);
// out[i] = x[i] when x[i] > 0, else +0 (also for -0 and NaN)
void relu_values(std::span<const float> x, std::span<float> out);
// out[i] = grad[i] when x[i] > 0, else +0
void relu_grad_values(std::span<const float> grad, std::span<const float> x, std::span<float> out);
// out[i] = (s[i] * grad[i]) * (1 - s[i]), each operation rounded in turn
void sigmoid_grad_values(std::span<const float> s, std::span<const float> grad, std::span<float> out);
// out[i] = p[i] - lr * grad[i], each operation rounded in turn
void sgd_step_values(std::span<const float> p, std::span<const float> grad, float lr, std::span<float> out);
// total[i] = incoming[i] + total[i]
void accumulate_values(std::span<float> total, std::span<const float> incoming);

}  // namespace quvarin::cpu
