#pragma once

#include <array>
#include <bit>
#include <cstdint>

// The constants of x86-64 glibc's expf (2.27 and later): exp(x) = 2^(k/32) *
// 2^(r/32) with k = round(x * 32/ln 2) and |r| <= 1/2, the first factor from
// a table and the second from a cubic in r, all in double precision and
// rounded once to float. Reproducing its bits needs exactly these values.
namespace quvarin::cpu::exp_lanes {

inline constexpr double kScaledInvLn2 = 0x1.71547652b82fep+5;  // 32 / ln 2
// Adding 1.5 * 2^52 rounds to an integer and leaves k in the low mantissa bits.
inline constexpr double kRoundingShift = 0x1.8p+52;
// 2^(r/32) ~ 1 + kLinear r + kQuadratic r^2 + kCubic r^3
inline constexpr double kCubic = 0x1.c6af84b912394p-20;
inline constexpr double kQuadratic = 0x1.ebfce50fac4f3p-13;
inline constexpr double kLinear = 0x1.62e42ff0c52d6p-6;

// Below |x| = 88 no result overflows or underflows to zero; at or above it
// (and for NaN) the lanes check the three cases below.
inline constexpr float kSpecialMagnitude = 88.0f;
inline constexpr float kOverflowAbove = 0x1.62e42ep6f;    // expf is +inf above
inline constexpr float kUnderflowBelow = -0x1.9fe368p6f;  // expf is +0 below

// 2^(i/32) rounded to the nearest double.
inline constexpr std::array<double, 32> kPowersOfTwo = {
    0x1.0000000000000p+0, 0x1.059b0d3158574p+0, 0x1.0b5586cf9890fp+0, 0x1.11301d0125b51p+0,
    0x1.172b83c7d517bp+0, 0x1.1d4873168b9aap+0, 0x1.2387a6e756238p+0, 0x1.29e9df51fdee1p+0,
    0x1.306fe0a31b715p+0, 0x1.371a7373aa9cbp+0, 0x1.3dea64c123422p+0, 0x1.44e086061892dp+0,
    0x1.4bfdad5362a27p+0, 0x1.5342b569d4f82p+0, 0x1.5ab07dd485429p+0, 0x1.6247eb03a5585p+0,
    0x1.6a09e667f3bcdp+0, 0x1.71f75e8ec5f74p+0, 0x1.7a11473eb0187p+0, 0x1.82589994cce13p+0,
    0x1.8ace5422aa0dbp+0, 0x1.93737b0cdc5e5p+0, 0x1.9c49182a3f090p+0, 0x1.a5503b23e255dp+0,
    0x1.ae89f995ad3adp+0, 0x1.b7f76f2fb5e47p+0, 0x1.c199bdd85529cp+0, 0x1.cb720dcef9069p+0,
    0x1.d5818dcfba487p+0, 0x1.dfc97337b9b5fp+0, 0x1.ea4afa2a490dap+0, 0x1.f50765b6e4540p+0,
};

// Entry i is the bit pattern of 2^(i/32) less i << 47, so that adding k << 47
// to entry k mod 32 gives 2^(k/32): the low five bits of k cancel and the
// rest land in the exponent field.
inline constexpr std::array<std::uint64_t, 32> kScaleBits = [] {
    std::array<std::uint64_t, 32> bits{};
    for (std::uint64_t i = 0; i < bits.size(); ++i) bits[i] = std::bit_cast<std::uint64_t>(kPowersOfTwo[i]) - (i << 47);
    return bits;
}();

}  // namespace quvarin::cpu::exp_lanes
