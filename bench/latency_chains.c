/* Prints the nanoseconds of one single-precision add that waits for the
 * previous one (the floor for a sum that adds its elements in order), then
 * those of one 64-bit integer multiply that waits for the previous one, which
 * takes 3 cycles on every x86-64 core of the last decade and so gives the
 * clock. Built without -ffast-math, so the compiler keeps the adds in
 * sequence. */
#include <stdio.h>
#include <time.h>

#define CHAIN_LENGTH 200000000L

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(void) {
    volatile float step = 1e-7f;           /* read at run time: no constant folding */
    volatile unsigned long factor = 3;
    double add_best = 1e30, multiply_best = 1e30;
    float sum = 0.0f;
    unsigned long product = 1;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const float increment = step;
        double start = now();
        for (long i = 0; i < CHAIN_LENGTH; ++i) sum += increment;
        double elapsed = now() - start;
        if (elapsed < add_best) add_best = elapsed;

        const unsigned long multiplier = factor;
        start = now();
        for (long i = 0; i < CHAIN_LENGTH; ++i) product *= multiplier;
        elapsed = now() - start;
        if (elapsed < multiply_best) multiply_best = elapsed;
    }
    /* Printing the results keeps the loops. */
    printf("%.6f %.6f %g %lu\n", add_best / CHAIN_LENGTH * 1e9, multiply_best / CHAIN_LENGTH * 1e9, sum, product);
    return 0;
}
