#pragma once

// <immintrin.h> for code using AVX-512 intrinsics. GCC 12 takes the
// deliberately undefined source operand inside several of them for an
// uninitialised variable (GCC bug 105593) and warns where they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
