#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "tensor/tensor_error.hpp"

namespace quvarin {

// A value or the TensorError that prevented it.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}                 // NOLINT: implicit by design
    Result(TensorError error) : state_(std::move(error)) {}       // NOLINT: implicit by design
    template <class K>
        requires std::is_constructible_v<TensorError::Kind, K&&>
    Result(K&& kind) : state_(TensorError(std::forward<K>(kind))) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    TensorError& error() { return std::get<1>(state_); }
    const TensorError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, TensorError> state_;
};

// Success, or the TensorError of a call that returns nothing.
using Status = std::optional<TensorError>;

}  // namespace quvarin
