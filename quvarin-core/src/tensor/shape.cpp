#include "tensor/shape.hpp"

#include <algorithm>

namespace quvarin {

std::uint64_t numel(const Shape& shape) {
    std::uint64_t count = 1;
    for (std::uint64_t dim : shape) count *= dim;
    return count;
}

std::optional<std::uint64_t> checked_numel(const Shape& shape) {
    // A zero anywhere makes the product zero, however large the other
    // dimensions: only a product without a zero factor can overflow.
    if (std::ranges::find(shape, std::uint64_t{0}) != shape.end()) return 0;
    std::uint64_t count = 1;
    for (std::uint64_t dim : shape) {
        if (__builtin_mul_overflow(count, dim, &count)) return std::nullopt;
    }
    return count;
}

Strides row_major_strides(const Shape& shape) {
    Strides strides(shape.size());
    std::uint64_t step = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = step;
        step *= shape[i];
    }
    return strides;
}

bool is_row_major(const Shape& shape, const Strides& strides) {
    if (strides.size() != shape.size()) return false;
    std::uint64_t step = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        if (strides[i] != step) return false;
        step *= shape[i];
    }
    return true;
}

}  // namespace quvarin
