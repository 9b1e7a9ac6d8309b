#pragma once

namespace quvarin::cpu {

// The instruction sets a kernel build may need beyond the architecture's baseline.
enum class Isa { Baseline, Avx2, Avx2Fma, Avx512f };

// Whether this CPU runs code built for `isa`.
bool cpu_runs(Isa isa);

}  // namespace quvarin::cpu
