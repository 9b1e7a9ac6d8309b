#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "tensor/shape.hpp"

namespace quvarin {

// The error of every fallible core operation. Each kind renders a fixed text;
// the Python layer raises it as ValueError with that text.
class TensorError {
public:
    struct ShapeMismatch { Shape expected; Shape actual; };
    struct DeviceMismatch { std::string expected; std::string actual; };
    struct DTypeMismatch { std::string expected; std::string actual; };
    struct AutogradError { std::string message; };
    struct BackendError { std::string message; };
    struct IoError { std::string message; };
    struct InternalError { std::string message; };

    using Kind = std::variant<ShapeMismatch, DeviceMismatch, DTypeMismatch, AutogradError,
                              BackendError, IoError, InternalError>;

    // Implicit from any one kind, so operations can return the kind directly.
    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    TensorError(K&& kind) : kind_(std::forward<K>(kind)) {}  // NOLINT(google-explicit-constructor)

    const Kind& kind() const { return kind_; }
    std::string display() const;

private:
    Kind kind_;
};

// The float32 view's refusal, shared by every element-reading operation.
TensorError not_f32_error();

}  // namespace quvarin
