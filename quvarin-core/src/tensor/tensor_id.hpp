#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quvarin {

// The identity of one tensor record, unique in the process and never reused.
struct TensorId {
    std::uint64_t value;

    friend bool operator==(TensorId, TensorId) = default;
    // Printed form, as in "TensorId(7)".
    std::string debug_string() const { return "TensorId(" + std::to_string(value) + ")"; }
};

// Draws the next id from the one process-wide counter, which starts at 1.
TensorId next_tensor_id();

}  // namespace quvarin

template <>
struct std::hash<quvarin::TensorId> {
    std::size_t operator()(quvarin::TensorId id) const noexcept {
        return std::hash<std::uint64_t>{}(id.value);
    }
};
