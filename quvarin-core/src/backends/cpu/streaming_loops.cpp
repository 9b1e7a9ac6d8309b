#include "backends/cpu/streaming_loops.hpp"

#if defined(__x86_64__)

#include <cstdint>

#include "backends/cpu/avx512_intrinsics.hpp"

#define QUVARIN_AVX512 __attribute__((target("avx512f")))

namespace quvarin::cpu {
namespace {

// Each operation on one float and on sixteen, with the same bits.
struct Add {
    static float apply(float x, float y) { return x + y; }
    QUVARIN_AVX512 static __m512 apply(__m512 x, __m512 y) { return _mm512_add_ps(x, y); }
};

struct Multiply {
    static float apply(float x, float y) { return x * y; }
    QUVARIN_AVX512 static __m512 apply(__m512 x, __m512 y) { return _mm512_mul_ps(x, y); }
};

// The second operand is unused. max returns its second operand when x is
// NaN or a zero of either sign, so the result is +0 there, as in the scalar.
struct Relu {
    static float apply(float x, float) { return x > 0.0f ? x : 0.0f; }
    QUVARIN_AVX512 static __m512 apply(__m512 x, __m512) { return _mm512_max_ps(x, _mm512_setzero_ps()); }
};

template <class Op>
QUVARIN_AVX512 void streaming_loop(std::size_t count, const float* a, const float* b, float* out) {
    // Whole aligned lines only: a streaming store that splits a line costs two.
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(out) % 64 / sizeof(float);
    std::size_t head = misalignment == 0 ? 0 : 16 - misalignment;
    if (head > count) head = count;
    std::size_t i = 0;
    for (; i < head; ++i) out[i] = Op::apply(a[i], b[i]);
    for (; i + 16 <= count; i += 16) _mm512_stream_ps(out + i, Op::apply(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i)));
    for (; i < count; ++i) out[i] = Op::apply(a[i], b[i]);
    // Streaming stores are weakly ordered: make them visible before the
    // buffer is handed on.
    _mm_sfence();
}

// Named as the loops they stand in for, so that the table can name them.
namespace streaming {
void add_values(std::size_t count, const float* a, const float* b, float* out) {
    streaming_loop<Add>(count, a, b, out);
}

void multiply_values(std::size_t count, const float* a, const float* b, float* out) {
    streaming_loop<Multiply>(count, a, b, out);
}

void relu_values(std::size_t count, const float* x, float* out) { streaming_loop<Relu>(count, x, x, out); }
}  // namespace streaming

#define QUVARIN_STREAMING_FIELD(name, from_elements) .name = streaming::name,
constexpr ElementwiseLoops kBuilds[] = {{.name = "AVX-512 streaming stores",
                                         .isa = Isa::Avx512f,
                                         QUVARIN_STREAMING_LOOPS(QUVARIN_STREAMING_FIELD)}};
#undef QUVARIN_STREAMING_FIELD

}  // namespace

std::span<const ElementwiseLoops> streaming_builds() { return kBuilds; }

}  // namespace quvarin::cpu

#else

namespace quvarin::cpu {

std::span<const ElementwiseLoops> streaming_builds() { return {}; }

}  // namespace quvarin::cpu

#endif
