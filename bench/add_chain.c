/* Prints the nanoseconds of one single-precision add that waits for the
 * previous one: the floor for a sum that adds its elements in order.
 * Built without -ffast-math, so the compiler keeps the adds in sequence. */
#include <stdio.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(void) {
    volatile float step = 1e-7f; /* read at run time: no constant folding */
    const long adds = 200000000;
    double best = 1e30;
    float sum = 0.0f;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const float increment = step;
        double start = now();
        for (long i = 0; i < adds; ++i) sum += increment;
        double elapsed = now() - start;
        if (elapsed < best) best = elapsed;
    }
    printf("%.6f %g\n", best / adds * 1e9, sum); /* using sum keeps the loop */
    return 0;
}
