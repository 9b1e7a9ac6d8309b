#pragma once

#if defined(__x86_64__)

#include "backends/cpu/parallel_map.hpp"

namespace quvarin::cpu {

// expf computed the way x86-64 glibc computes it, eight floats at a time.
// glibc picks one of two builds of its expf when it loads: on CPUs with FMA
// and AVX2 the multiply-adds that round to the table index, form the reduced
// argument and evaluate the cubic (five in all) are fused, elsewhere none is.
// `fused` selects which of the two the lanes reproduce.
struct ExpLanes {
    const char* name;
    bool fused;
    RangeMap exp;      // out[i] = expf(in[i])
    RangeMap sigmoid;  // out[i] = 1 / (1 + expf(-in[i]))
};

// Need AVX-512F.
ExpLanes avx512_exp_lanes(bool fused);
// Need AVX2 and FMA.
ExpLanes avx2_exp_lanes(bool fused);

}  // namespace quvarin::cpu

#endif
