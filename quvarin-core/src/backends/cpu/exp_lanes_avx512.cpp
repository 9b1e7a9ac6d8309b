#include "backends/cpu/exp_lanes.hpp"

#include "backends/cpu/exact_rounding.hpp"

#if defined(__x86_64__)

#include <cstddef>
#include <cstring>

#include "backends/cpu/avx512_intrinsics.hpp"
#include "backends/cpu/exp_lanes_constants.hpp"

#define QUVARIN_LANES_TARGET __attribute__((target("avx512f")))

namespace quvarin::cpu {
namespace {

using namespace exp_lanes;

template <bool Fused>
QUVARIN_LANES_TARGET inline __m512d multiply_add(__m512d a, __m512d b, __m512d c) {
    if constexpr (Fused) {
        return _mm512_fmadd_pd(a, b, c);
    } else {
        return _mm512_add_pd(_mm512_mul_pd(a, b), c);
    }
}

// The 32 table entries in four registers, loaded once per call.
struct ScaleTable {
    __m512i entries[4];
};

QUVARIN_LANES_TARGET inline ScaleTable load_scale_table() {
    ScaleTable table;
    for (int i = 0; i < 4; ++i) table.entries[i] = _mm512_loadu_si512(kScaleBits.data() + 8 * i);
    return table;
}

// expf's main path; with_special_lanes replaces the lanes for which expf
// returns +inf, +0 or NaN instead.
template <bool Fused>
QUVARIN_LANES_TARGET inline __m256 exp_main(__m256 x, const ScaleTable& table) {
    const __m512d xd = _mm512_cvtps_pd(x);
    const __m512d inv_ln2 = _mm512_set1_pd(kScaledInvLn2);
    const __m512d shift = _mm512_set1_pd(kRoundingShift);
    const __m512d shifted = multiply_add<Fused>(inv_ln2, xd, shift);
    const __m512i k = _mm512_castpd_si512(shifted);
    // r = x * 32/ln 2 - k; shift - shifted is -k exactly.
    const __m512d r = multiply_add<Fused>(inv_ln2, xd, _mm512_sub_pd(shift, shifted));

    // Entry k mod 32: the permutes use the low four bits of k, bit 4 picks the half.
    const __m512i lower = _mm512_permutex2var_epi64(table.entries[0], k, table.entries[1]);
    const __m512i upper = _mm512_permutex2var_epi64(table.entries[2], k, table.entries[3]);
    const __m512i entry = _mm512_mask_blend_epi64(_mm512_test_epi64_mask(k, _mm512_set1_epi64(16)), lower, upper);
    const __m512d scale = _mm512_castsi512_pd(_mm512_add_epi64(entry, _mm512_slli_epi64(k, 47)));

    const __m512d high_terms = multiply_add<Fused>(_mm512_set1_pd(kCubic), r, _mm512_set1_pd(kQuadratic));
    const __m512d low_terms = multiply_add<Fused>(_mm512_set1_pd(kLinear), r, _mm512_set1_pd(1.0));
    const __m512d power = multiply_add<Fused>(high_terms, _mm512_mul_pd(r, r), low_terms);
    return _mm512_cvtpd_ps(_mm512_mul_pd(power, scale));
}

#include "backends/cpu/exp_lanes_map.inc"

}  // namespace

ExpLanes avx512_exp_lanes(bool fused) {
    if (fused) return {"AVX-512", true, map_lanes<true, false>, map_lanes<true, true>};
    return {"AVX-512", false, map_lanes<false, false>, map_lanes<false, true>};
}

}  // namespace quvarin::cpu

#endif
