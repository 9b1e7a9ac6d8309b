/* Prints the widest vector instruction set this CPU runs FMAs on and the
 * single-precision GFLOP/s one core reaches with it: independent FMA chains,
 * more of them than latency times pipes on any current core (4 or 5 cycles
 * times 2 pipes), so only the number and width of the FMA pipes set the pace.
 * The peak is measured rather than derived from a vendor's rule: whether a
 * core runs a 512-bit FMA at full width or as two halves differs between
 * models of one vendor.
 *
 * Then the same chains with each step a multiply rounded before its add: the
 * ceiling of a product that may not fuse them. A core with separate add
 * pipes (Zen 4) runs them at its FMA rate; one whose FMA pipes do both
 * (Intel's) at half of it. Built with -ffp-contract=off, so that the compiler
 * leaves the two operations apart. */
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
#define DECLARE(k) VECTOR a##k = SET1(1.01f + (k) * 0.01f); /* not 1: the compiler sees 1 stay 1 */
#define ADVANCE(k) a##k = FMA(a##k, m, c);
#define COLLECT(k) total += LOW(a##k);

#define MULTIPLY_ADD(a, m, c) ADD(MUL(a, m), c)

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
#define MUL _mm512_mul_ps
#define ADD _mm512_add_ps
#define LOW(v) _mm512_cvtss_f32(v)
#define FMA _mm512_fmadd_ps
CHAIN_LOOP(chains_avx512, "avx512f")
#undef FMA
#define FMA MULTIPLY_ADD
CHAIN_LOOP(unfused_chains_avx512, "avx512f")
#undef FMA
#undef VECTOR
#undef SET1
#undef MUL
#undef ADD
#undef LOW

#define VECTOR __m256
#define SET1 _mm256_set1_ps
#define MUL _mm256_mul_ps
#define ADD _mm256_add_ps
#define LOW(v) _mm256_cvtss_f32(v)
#define FMA _mm256_fmadd_ps
CHAIN_LOOP(chains_avx2, "avx2,fma")
#undef FMA
#define FMA MULTIPLY_ADD
CHAIN_LOOP(unfused_chains_avx2, "avx2,fma")

/* The best of five runs, in GFLOP/s. */
static double rate(float (*chains)(long), int lanes, float* sink) {
    double best = 1e30;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const double start = now();
        *sink += chains(ITERATIONS);
        const double elapsed = now() - start;
        if (elapsed < best) best = elapsed;
    }
    return (double)ITERATIONS * CHAINS * lanes * 2 / best / 1e9;
}

int main(void) {
    const char* name;
    float (*chains)(long);
    float (*unfused_chains)(long);
    int lanes;
    if (__builtin_cpu_supports("avx512f")) {
        name = "AVX-512";
        chains = chains_avx512;
        unfused_chains = unfused_chains_avx512;
        lanes = 16;
    } else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        name = "AVX2";
        chains = chains_avx2;
        unfused_chains = unfused_chains_avx2;
        lanes = 8;
    } else {
        printf("none 0 0\n");
        return 0;
    }
    float sink = 0.0f;
    const double fused = rate(chains, lanes, &sink);
    const double unfused = rate(unfused_chains, lanes, &sink);
    /* Printing the sum keeps the chains. */
    printf("%s %.3f %.3f %g\n", name, fused, unfused, sink);
    return 0;
}

#else

int main(void) {
    printf("none 0 0\n");
    return 0;
}

#endif
