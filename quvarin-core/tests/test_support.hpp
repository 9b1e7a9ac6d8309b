#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "autograd/tape/tape.hpp"
#include "backends/cpu/kernel_dispatch.hpp"
#include "tensor/panic.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::testing {

inline Tensor f32_tensor(const std::vector<float>& values, Shape shape, bool requires_grad = false) {
    F32Buffer buffer(values.begin(), values.end());
    return Tensor(Storage::from_f32(std::move(buffer)), std::move(shape), requires_grad, DType::Float32);
}

inline Tensor zeros_tensor(DType dtype, Shape shape, bool requires_grad = false) {
    const std::uint64_t count = numel(shape);
    return Tensor(Storage::zeros(dtype, count), std::move(shape), requires_grad, dtype);
}

inline std::vector<float> values_of(const Storage& storage) {
    const std::span<const float> values = storage.f32_elements();
    return {values.begin(), values.end()};
}

inline std::vector<float> values_of(const Tensor& tensor) { return values_of(tensor.storage); }

// Bit patterns, with every NaN mapped to one pattern: which NaN an operation
// propagates depends on the operand order the compiler picks for a
// commutative instruction, and IEEE 754 leaves it open.
inline std::vector<std::uint32_t> bits_of(std::span<const float> values) {
    std::vector<std::uint32_t> bits;
    for (const float value : values) {
        bits.push_back(std::isnan(value) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(value));
    }
    return bits;
}

// count values mixing ordinary numbers of several magnitudes with the
// special ones (signed zeros, infinities, NaN, subnormals).
inline std::vector<float> mixed_values(std::size_t count, unsigned seed) {
    constexpr float kSpecial[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::denorm_min(), -1e-40f, 1e30f};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = i % 11 == 5 ? kSpecial[(i / 11) % std::size(kSpecial)]
                                : std::ldexp(mantissa(rng), exponent(rng));
    }
    return values;
}

// Exact equality including the sign of zero; any NaN equals any NaN.
#define EXPECT_SAME_BITS(actual, expected) \
    EXPECT_EQ(::quvarin::testing::bits_of(actual), ::quvarin::testing::bits_of(expected))

// The error of a failed result, as displayed; fails the test on success.
template <class T>
std::string error_text(const Result<T>& result) {
    if (result.ok()) return "<no error>";
    return result.error().display();
}

inline std::string error_text(const Status& status) { return status ? status->display() : "<no error>"; }

template <class Call>
std::string panic_message(Call&& call) {
    try {
        call();
    } catch (const Panic& panic) {
        return panic.what();
    }
    return "<no panic>";
}

// Runs check() once with each build of `family` that this CPU runs in use,
// whichever the process would pick, naming the build in any failure.
template <class Check>
void for_each_build(cpu::KernelFamily family, Check&& check) {
    for (const std::string& build : cpu::runnable_builds(family)) {
        const cpu::ForcedBuild forced(family, build);
        SCOPED_TRACE(build);
        check();
    }
}

// The output size from which `operation` takes its other path.
inline std::size_t threshold_of(std::string_view operation) {
    for (const cpu::PathThreshold& threshold : cpu::path_thresholds()) {
        if (threshold.operation == operation) return threshold.from_elements;
    }
    throw Panic("no threshold for " + std::string(operation));
}

// Every test starts and ends with an empty tape on the test thread.
class TapeTest : public ::testing::Test {
protected:
    void SetUp() override { autograd::Tape::drain(); }
    void TearDown() override { autograd::Tape::drain(); }
};

}  // namespace quvarin::testing
