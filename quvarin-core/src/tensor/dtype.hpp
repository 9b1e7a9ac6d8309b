#pragma once

#include <cstdint>
#include <string_view>

namespace quvarin {

// The element type a tensor reports. Only Float32 is computed on; the others
// exist as names and as the element type of zero-filled tensors.
enum class DType : std::uint8_t {
    Float32 = 0,
    Float16 = 1,
    BFloat16 = 2,
    Int32 = 3,
    Int8 = 4,
};

constexpr std::string_view dtype_name(DType dtype) {
    switch (dtype) {
        case DType::Float32: return "float32";
        case DType::Float16: return "float16";
        case DType::BFloat16: return "bfloat16";
        case DType::Int32: return "int32";
        case DType::Int8: return "int8";
    }
    return "float32";
}

}  // namespace quvarin
