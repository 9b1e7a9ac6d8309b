/* Prints the widest vector instruction set this CPU runs FMAs on and the
 * single-precision GFLOP/s one core reaches with it: independent FMA chains,
 * more of them than latency times pipes on any current core (4 or 5 cycles
 * times 2 pipes), so only the number and width of the FMA pipes set the pace.
 * The peak is measured rather than derived from a vendor's rule: whether a
 * core runs a 512-bit FMA at full width or as two halves differs between
 * models of one vendor. */
#include <stdio.h>
#include <time.h>

#define ITERATIONS 20000000L

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

#if defined(__x86_64__)
#include <immintrin.h>

/* Twelve chains, written out so that every accumulator stays in a register. */
#define CHAINS 12
#define ON_CHAINS(STEP) STEP(0) STEP(1) STEP(2) STEP(3) STEP(4) STEP(5) STEP(6) STEP(7) STEP(8) STEP(9) STEP(10) STEP(11)

/* x -> x * m + c converges to 1: no overflow and no subnormals however long it runs. */
#define DECLARE(k) VECTOR a##k = SET1(1.0f + (k) * 0.01f);
#define ADVANCE(k) a##k = FMA(a##k, m, c);
#define COLLECT(k) total += LOW(a##k);

#define CHAIN_LOOP(NAME, TARGET)                                     \
    __attribute__((target(TARGET))) static float NAME(long iterations) { \
        const VECTOR m = SET1(0.999999f), c = SET1(1e-6f);           \
        ON_CHAINS(DECLARE)                                           \
        for (long i = 0; i < iterations; ++i) {                      \
            ON_CHAINS(ADVANCE)                                       \
        }                                                            \
        float total = 0.0f;                                          \
        ON_CHAINS(COLLECT)                                           \
        return total;                                                \
    }

#define VECTOR __m512
#define SET1 _mm512_set1_ps
#define FMA _mm512_fmadd_ps
#define LOW(v) _mm512_cvtss_f32(v)
CHAIN_LOOP(chains_avx512, "avx512f")
#undef VECTOR
#undef SET1
#undef FMA
#undef LOW

#define VECTOR __m256
#define SET1 _mm256_set1_ps
#define FMA _mm256_fmadd_ps
#define LOW(v) _mm256_cvtss_f32(v)
CHAIN_LOOP(chains_avx2, "avx2,fma")

int main(void) {
    const char* name;
    float (*chains)(long);
    int lanes;
    if (__builtin_cpu_supports("avx512f")) {
        name = "AVX-512";
        chains = chains_avx512;
        lanes = 16;
    } else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        name = "AVX2";
        chains = chains_avx2;
        lanes = 8;
    } else {
        printf("none 0\n");
        return 0;
    }
    double best = 1e30;
    float sink = 0.0f;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const double start = now();
        sink += chains(ITERATIONS);
        const double elapsed = now() - start;
        if (elapsed < best) best = elapsed;
    }
    const double flops = (double)ITERATIONS * CHAINS * lanes * 2;
    /* Printing the sum keeps the chains. */
    printf("%s %.3f %g\n", name, flops / best / 1e9, sink);
    return 0;
}

#else

int main(void) {
    printf("none 0\n");
    return 0;
}

#endif
