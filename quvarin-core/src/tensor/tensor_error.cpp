#include "tensor/tensor_error.hpp"

namespace quvarin {
namespace {

std::string render_shape(const Shape& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

struct Display {
    std::string operator()(const TensorError::ShapeMismatch& e) const {
        return "ShapeMismatch: Operation expected shape " + render_shape(e.expected) +
               ", but got " + render_shape(e.actual);
    }
    std::string operator()(const TensorError::DeviceMismatch& e) const {
        return "DeviceMismatch: Operation expected tensors on '" + e.expected +
               "', but found tensor on '" + e.actual + "'";
    }
    std::string operator()(const TensorError::DTypeMismatch& e) const {
        return "DTypeMismatch: Operation expected dtype '" + e.expected + "', but found '" +
               e.actual + "'";
    }
    std::string operator()(const TensorError::AutogradError& e) const {
        return "AutogradError: " + e.message;
    }
    std::string operator()(const TensorError::BackendError& e) const {
        return "BackendError: " + e.message;
    }
    std::string operator()(const TensorError::IoError& e) const { return "IoError: " + e.message; }
    std::string operator()(const TensorError::InternalError& e) const {
        return "InternalError: " + e.message;
    }
};

}  // namespace

std::string TensorError::display() const { return std::visit(Display{}, kind_); }

TensorError not_f32_error() {
    return TensorError::DTypeMismatch{"float32", "other CPU dtype"};
}

}  // namespace quvarin
