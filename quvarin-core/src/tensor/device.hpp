#pragma once

#include <cstdint>
#include <string_view>

namespace quvarin {

// The only place tensors live. It carries no data.
enum class Device : std::uint8_t { Cpu };

constexpr std::string_view device_name(Device) { return "cpu"; }

}  // namespace quvarin
