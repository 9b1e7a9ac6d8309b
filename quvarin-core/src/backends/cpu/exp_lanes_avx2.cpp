#include "backends/cpu/exp_lanes.hpp"

#include "backends/cpu/exact_rounding.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "backends/cpu/exp_lanes_constants.hpp"

#define QUVARIN_LANES_TARGET __attribute__((target("avx2,fma")))

namespace quvarin::cpu {
namespace {

using namespace exp_lanes;

template <bool Fused>
QUVARIN_LANES_TARGET inline __m256d multiply_add(__m256d a, __m256d b, __m256d c) {
    if constexpr (Fused) {
        return _mm256_fmadd_pd(a, b, c);
    } else {
        return _mm256_add_pd(_mm256_mul_pd(a, b), c);
    }
}

// AVX2 has no two-register permute over 64-bit lanes: the entries are gathered
// from memory.
struct ScaleTable {
    const long long* entries;
};

QUVARIN_LANES_TARGET inline ScaleTable load_scale_table() {
    return {reinterpret_cast<const long long*>(kScaleBits.data())};
}

template <bool Fused>
QUVARIN_LANES_TARGET inline __m128 exp_main_half(__m128 x, const ScaleTable& table) {
    const __m256d xd = _mm256_cvtps_pd(x);
    const __m256d inv_ln2 = _mm256_set1_pd(kScaledInvLn2);
    const __m256d shift = _mm256_set1_pd(kRoundingShift);
    const __m256d shifted = multiply_add<Fused>(inv_ln2, xd, shift);
    const __m256i k = _mm256_castpd_si256(shifted);
    // r = x * 32/ln 2 - k; shift - shifted is -k exactly.
    const __m256d r = multiply_add<Fused>(inv_ln2, xd, _mm256_sub_pd(shift, shifted));

    const __m256i entry = _mm256_i64gather_epi64(table.entries, _mm256_and_si256(k, _mm256_set1_epi64x(31)), 8);
    const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(k, 47)));

    const __m256d high_terms = multiply_add<Fused>(_mm256_set1_pd(kCubic), r, _mm256_set1_pd(kQuadratic));
    const __m256d low_terms = multiply_add<Fused>(_mm256_set1_pd(kLinear), r, _mm256_set1_pd(1.0));
    const __m256d power = multiply_add<Fused>(high_terms, _mm256_mul_pd(r, r), low_terms);
    return _mm256_cvtpd_ps(_mm256_mul_pd(power, scale));
}

// expf's main path; with_special_lanes replaces the lanes for which expf
// returns +inf, +0 or NaN instead.
template <bool Fused>
QUVARIN_LANES_TARGET inline __m256 exp_main(__m256 x, const ScaleTable& table) {
    const __m128 low = exp_main_half<Fused>(_mm256_castps256_ps128(x), table);
    const __m128 high = exp_main_half<Fused>(_mm256_extractf128_ps(x, 1), table);
    return _mm256_set_m128(high, low);
}

#include "backends/cpu/exp_lanes_map.inc"

}  // namespace

ExpLanes avx2_exp_lanes(bool fused) {
    if (fused) return {"AVX2", true, map_lanes<true, false>, map_lanes<true, true>};
    return {"AVX2", false, map_lanes<false, false>, map_lanes<false, true>};
}

}  // namespace quvarin::cpu

#endif
