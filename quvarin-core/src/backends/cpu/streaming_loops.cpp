#include "backends/cpu/streaming_loops.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

namespace quvarin::cpu {
namespace {

template <bool Multiply>
__attribute__((target("avx512f"))) void streaming_loop(const float* a, const float* b, float* out, std::size_t count) {
    // Whole aligned lines only: a streaming store that splits a line costs two.
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(out) % 64 / sizeof(float);
    std::size_t head = misalignment == 0 ? 0 : 16 - misalignment;
    if (head > count) head = count;
    std::size_t i = 0;
    for (; i < head; ++i) out[i] = Multiply ? a[i] * b[i] : a[i] + b[i];
    for (; i + 16 <= count; i += 16) {
        const __m512 x = _mm512_loadu_ps(a + i);
        const __m512 y = _mm512_loadu_ps(b + i);
        _mm512_stream_ps(out + i, Multiply ? _mm512_mul_ps(x, y) : _mm512_add_ps(x, y));
    }
    for (; i < count; ++i) out[i] = Multiply ? a[i] * b[i] : a[i] + b[i];
    // Streaming stores are weakly ordered: make them visible before the
    // buffer is handed on.
    _mm_sfence();
}

}  // namespace

bool add_streaming(const float* a, const float* b, float* out, std::size_t count) {
    if (!__builtin_cpu_supports("avx512f")) return false;
    streaming_loop<false>(a, b, out, count);
    return true;
}

bool multiply_streaming(const float* a, const float* b, float* out, std::size_t count) {
    if (!__builtin_cpu_supports("avx512f")) return false;
    streaming_loop<true>(a, b, out, count);
    return true;
}

}  // namespace quvarin::cpu

#else

namespace quvarin::cpu {

bool add_streaming(const float*, const float*, float*, std::size_t) { return false; }
bool multiply_streaming(const float*, const float*, float*, std::size_t) { return false; }

}  // namespace quvarin::cpu

#endif
