#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quvarin {

using Shape = std::vector<std::uint64_t>;
using Strides = std::vector<std::uint64_t>;

// Element count of a shape; 1 for the empty shape. Wraps on overflow: callers
// that take shapes from outside use checked_numel first.
std::uint64_t numel(const Shape& shape);

// Element count, or nothing when the product does not fit in 64 bits. A
// shape with a zero dimension has no elements, wherever the zero stands.
std::optional<std::uint64_t> checked_numel(const Shape& shape);

// Contiguous row-major strides: last entry 1, each earlier entry the next one
// times the next dimension.
Strides row_major_strides(const Shape& shape);

// Whether strides == row_major_strides(shape), without building them.
bool is_row_major(const Shape& shape, const Strides& strides);

}  // namespace quvarin
