#include "backends/cpu/cpu_features.hpp"

namespace quvarin::cpu {

bool cpu_runs(Isa isa) {
#if defined(__x86_64__)
    __builtin_cpu_init();  // callable before the library's constructors have run
    switch (isa) {
        case Isa::Baseline: return true;
        case Isa::Avx2: return __builtin_cpu_supports("avx2");
        case Isa::Avx2Fma: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::Avx512f: return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return isa == Isa::Baseline;
#endif
}

}  // namespace quvarin::cpu
