#include "tensor/f32_buffer.hpp"

#include <cstdint>

#include "tensor/panic.hpp"

namespace quvarin {

void check_capacity(std::uint64_t count, std::size_t elem_size) {
    if (count > static_cast<std::uint64_t>(PTRDIFF_MAX) / elem_size) throw Panic("capacity overflow");
}

F32Buffer make_f32_buffer(std::uint64_t count) {
    check_capacity(count, sizeof(float));
    F32Buffer buffer;
    buffer.resize(count);
    return buffer;
}

F32Buffer make_f32_buffer(std::uint64_t count, float value) {
    check_capacity(count, sizeof(float));
    return F32Buffer(count, value);
}

}  // namespace quvarin
