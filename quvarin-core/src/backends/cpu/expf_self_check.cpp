#include "backends/cpu/expf_self_check.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace quvarin::cpu {
namespace {

using Limits = std::numeric_limits<float>;

constexpr float kCheckInputs[] = {
    // Exact expf nearest a midpoint between two floats.
    -0x1.d2259ap+3f, -0x1p-25f, -0x1.e1dbe2p-8f, -0x1.65cf3p+6f, 0x1.fdff02p-17f, -0x1.c1c4b8p-10f,
    0x1.8d7cb6p-12f, 0x1.cd3982p-14f, 0x1.747de2p-15f, 0x1.344e9cp-5f, 0x1.62b666p+1f, 0x1.036492p+1f,
    // glibc's double-precision result nearest a midpoint (the first one on it).
    0x1.e75bc4p-3f, -0x1.bc6008p+0f, -0x1.d0c364p-8f, 0x1.1265dp-4f, 0x1.1b318ep+1f, 0x1.6f3234p-9f,
    -0x1.4a76a8p-11f, 0x1p-24f, 0x1.bffffap-22f, 0x1.fffffep-25f, 0x1.7ffffep-23f,
    // The only two inputs on which the fused and the unfused build differ.
    -0x1.f8cbb2p+5f, 0x1.04845ep+5f,
    // Overflow and underflow thresholds, and the edge of the main path.
    0x1.62e42ep+6f, 0x1.62e430p+6f, -0x1.9fe368p+6f, -0x1.9fe36ap+6f, 88.0f, -88.0f, 0x1.5ffffep+6f,
    -0x1.5ffffep+6f,
    // Subnormal results: around the smallest normal and the smallest subnormal.
    -0x1.5d589ep+6f, -0x1.5d58a0p+6f, -100.0f, -0x1.9d1d9ep+6f,
    // Zeros, infinities, NaNs, the extremes of the float range.
    0.0f, -0.0f, Limits::infinity(), -Limits::infinity(), Limits::quiet_NaN(), -Limits::quiet_NaN(),
    Limits::signaling_NaN(), std::bit_cast<float>(0xffc00001u), Limits::denorm_min(), -Limits::denorm_min(),
    Limits::max(), Limits::lowest(), 1.0f, -1.0f,
};

}  // namespace

// Calls the scalar libm expf for every element (never a vector variant,
// whose bits differ).
void libm_sigmoid(const float* input, float* output, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) output[i] = 1.0f / (1.0f + std::exp(-input[i]));
}

std::span<const float> expf_check_inputs() { return kCheckInputs; }

bool reproduces_libm_expf(RangeMap exp) {
    const std::span<const float> inputs = expf_check_inputs();
    std::vector<float> results(inputs.size());
    exp(inputs.data(), results.data(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        // Read through volatile: for a known constant the compiler would put
        // its own correctly rounded expf in place of the library's.
        const float x = static_cast<const volatile float*>(inputs.data())[i];
        if (std::bit_cast<std::uint32_t>(results[i]) != std::bit_cast<std::uint32_t>(std::exp(x))) return false;
    }
    return true;
}

}  // namespace quvarin::cpu
