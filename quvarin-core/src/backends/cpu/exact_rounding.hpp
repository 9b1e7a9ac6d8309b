#pragma once

// Included by every file whose order of rounding is part of its results,
// before any code of its own: first, or right after the file's own header,
// which does no float arithmetic. From here to the end of the including file
// the compiler may not contract a * b + c into one fused multiply-add,
// whatever the build's flags say: a fused operation rounds once where the
// written code rounds twice.
// Deliberately fused arithmetic stays written as explicit FMA intrinsics.
// (Clang's -ffp-contract=fast disregards this pragma by design; no build of
// ours passes it, nor -ffast-math.)
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif
