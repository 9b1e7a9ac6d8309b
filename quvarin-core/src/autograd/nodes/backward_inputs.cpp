#include "autograd/nodes/backward_inputs.hpp"

#include <string>

namespace quvarin::autograd {

Result<Storage> output_gradient(const GradientMap& grads, TensorId output_id, std::string_view missing) {
    if (const Storage* found = grads.find(output_id)) return *found;
    return TensorError::AutogradError{std::string(missing)};
}

Result<Storage> output_gradient(const GradientMap& grads, TensorId output_id) {
    if (const Storage* found = grads.find(output_id)) return *found;
    return TensorError::AutogradError{"Gradient missing for Output ID " + output_id.debug_string()};
}

}  // namespace quvarin::autograd
