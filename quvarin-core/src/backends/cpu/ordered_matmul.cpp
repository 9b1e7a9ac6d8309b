#include "backends/cpu/ordered_matmul.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "backends/cpu/strided_bounds.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

// Blocking: a kInnerBlock-long stretch of the sum is done for a whole block of
// outputs before the next stretch starts, so the packed operands stay in
// cache. Partial sums wait in the output between stretches, which keeps every
// element's additions in increasing order.
constexpr std::size_t kInnerBlock = 256;
constexpr std::size_t kRowPanelsPerBlock = 16;
constexpr std::size_t kColBlock = 2048;

float element(const StridedMatrix& m, std::size_t row, std::size_t col) {
    return m.values[row * m.row_stride + col * m.col_stride];
}

void require_within_buffer(const StridedMatrix& m) {
    if (!strided_matrix_fits(m.rows, m.cols, m.row_stride, m.col_stride, m.values.size())) {
        throw Panic("matrix index out of range in a backward product");
    }
}

// Rows [row0, row0 + rows) and sum positions [t0, t0 + depth) of x, as panels
// of panel_rows rows, each stored position by position; missing rows are 0.
void pack_x(const StridedMatrix& x, std::size_t row0, std::size_t rows, std::size_t t0,
            std::size_t depth, std::size_t panel_rows, float* packed) {
    for (std::size_t panel = 0; panel < rows; panel += panel_rows) {
        for (std::size_t t = 0; t < depth; ++t) {
            for (std::size_t r = 0; r < panel_rows; ++r) {
                *packed++ = panel + r < rows ? element(x, row0 + panel + r, t0 + t) : 0.0f;
            }
        }
    }
}

// Sum positions [t0, t0 + depth) and columns [col0, col0 + cols) of y, as
// panels of panel_cols columns, each stored position by position; missing
// columns are 0.
void pack_y(const StridedMatrix& y, std::size_t t0, std::size_t depth, std::size_t col0,
            std::size_t cols, std::size_t panel_cols, float* packed) {
    for (std::size_t panel = 0; panel < cols; panel += panel_cols) {
        for (std::size_t t = 0; t < depth; ++t) {
            for (std::size_t c = 0; c < panel_cols; ++c) {
                *packed++ = panel + c < cols ? element(y, t0 + t, col0 + panel + c) : 0.0f;
            }
        }
    }
}

// One Rows × (Lanes·Width) tile of outputs, advanced by `depth` sum
// positions. Lane j of acc[r][w] is output (r, w·Lanes + j), with its own
// chain of separately rounded products and additions.
template <int Lanes, int Rows, int Width>
[[gnu::always_inline]] inline void advance_tile(std::size_t depth, const float* x_panel,
                                                const float* y_panel, float* tile, std::size_t ld,
                                                bool continue_sums) {
    // A typedef, not an alias: GCC drops a dependent vector_size from `using`.
    typedef float Vec __attribute__((vector_size(Lanes * sizeof(float))));
    static_assert(sizeof(Vec) == Lanes * sizeof(float));
    constexpr std::size_t kCols = static_cast<std::size_t>(Lanes) * Width;
    Vec acc[Rows][Width];
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 16
        for (int w = 0; w < Width; ++w) {
            if (continue_sums) {
                std::memcpy(&acc[r][w], tile + r * ld + w * Lanes, sizeof(Vec));
            } else {
                acc[r][w] = Vec{};
            }
        }
    }
    for (std::size_t t = 0; t < depth; ++t) {
        Vec y[Width];
#pragma GCC unroll 16
        for (int w = 0; w < Width; ++w) std::memcpy(&y[w], y_panel + t * kCols + w * Lanes, sizeof(Vec));
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            const float x = x_panel[t * Rows + r];
#pragma GCC unroll 16
            for (int w = 0; w < Width; ++w) acc[r][w] = acc[r][w] + x * y[w];
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 16
        for (int w = 0; w < Width; ++w) std::memcpy(tile + r * ld + w * Lanes, &acc[r][w], sizeof(Vec));
    }
}

struct Work {
    const StridedMatrix& x;
    const StridedMatrix& y;
    float* out;      // x.rows × y.cols, row-major
    float* x_packed; // room for one row block
    float* y_packed; // room for one column block
};

template <int Lanes, int Rows, int Width>
[[gnu::always_inline]] inline void blocked_product(const Work& work) {
    constexpr std::size_t kCols = static_cast<std::size_t>(Lanes) * Width;
    constexpr std::size_t kRowBlock = Rows * kRowPanelsPerBlock;
    const std::size_t rows = work.x.rows;
    const std::size_t depth = work.x.cols;
    const std::size_t cols = work.y.cols;
    float edge[Rows * kCols] = {};

    for (std::size_t col0 = 0; col0 < cols; col0 += kColBlock) {
        const std::size_t block_cols = std::min(kColBlock, cols - col0);
        for (std::size_t t0 = 0; t0 < depth; t0 += kInnerBlock) {
            const std::size_t block_depth = std::min(kInnerBlock, depth - t0);
            const bool continue_sums = t0 > 0;
            pack_y(work.y, t0, block_depth, col0, block_cols, kCols, work.y_packed);
            for (std::size_t row0 = 0; row0 < rows; row0 += kRowBlock) {
                const std::size_t block_rows = std::min(kRowBlock, rows - row0);
                pack_x(work.x, row0, block_rows, t0, block_depth, Rows, work.x_packed);
                for (std::size_t c = 0; c < block_cols; c += kCols) {
                    const float* y_panel = work.y_packed + c * block_depth;
                    for (std::size_t r = 0; r < block_rows; r += Rows) {
                        const float* x_panel = work.x_packed + r * block_depth;
                        float* tile = work.out + (row0 + r) * cols + col0 + c;
                        const std::size_t tile_rows = std::min<std::size_t>(Rows, block_rows - r);
                        const std::size_t tile_cols = std::min(kCols, block_cols - c);
                        if (tile_rows == Rows && tile_cols == kCols) {
                            advance_tile<Lanes, Rows, Width>(block_depth, x_panel, y_panel, tile, cols,
                                                             continue_sums);
                            continue;
                        }
                        // A partial tile at the matrix edge runs on a full-size copy.
                        for (std::size_t i = 0; continue_sums && i < tile_rows; ++i) {
                            std::memcpy(edge + i * kCols, tile + i * cols, tile_cols * sizeof(float));
                        }
                        advance_tile<Lanes, Rows, Width>(block_depth, x_panel, y_panel, edge, kCols,
                                                         continue_sums);
                        for (std::size_t i = 0; i < tile_rows; ++i) {
                            std::memcpy(tile + i * cols, edge + i * kCols, tile_cols * sizeof(float));
                        }
                    }
                }
            }
        }
    }
}

// One build of the blocked product per vector width, picked at run time. Six
// rows by two vectors keeps twelve independent sums in flight, enough to hide
// the addition latency, and fits the sixteen vector registers. AVX-512 adds
// nothing here: 512-bit tiles measured slower than 256-bit ones on Zen 4.
// Every width computes the same chains, so the choice never changes a bit.
constexpr int kTileRows = 6;
constexpr int kTileVectors = 2;

struct Variant {
    std::size_t tile_cols;
    void (*run)(const Work&);
};

void run_128bit(const Work& work) { blocked_product<4, kTileRows, kTileVectors>(work); }

#if defined(__x86_64__)
[[gnu::target("avx2")]] void run_avx2(const Work& work) { blocked_product<8, kTileRows, kTileVectors>(work); }

const Variant& variant_for_this_cpu() {
    static const Variant avx2{8 * kTileVectors, run_avx2};
    static const Variant sse{4 * kTileVectors, run_128bit};
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? avx2 : sse;
}
#else
const Variant& variant_for_this_cpu() {
    static const Variant portable{4 * kTileVectors, run_128bit};
    return portable;
}
#endif

std::size_t round_up(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

}  // namespace

F32Buffer ordered_matmul(const StridedMatrix& x, const StridedMatrix& y) {
    if (x.cols != y.rows) throw Panic("inner dimensions differ in a backward product");
    require_within_buffer(x);
    require_within_buffer(y);
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(x.rows, y.cols, &count)) throw Panic("capacity overflow");
    if (x.cols == 0) return make_f32_buffer(count, 0.0f);
    F32Buffer out = make_f32_buffer(count);
    if (count == 0) return out;

    static const Variant& variant = variant_for_this_cpu();
    const std::size_t row_block = kTileRows * kRowPanelsPerBlock;
    const std::size_t inner_block = std::min<std::size_t>(kInnerBlock, x.cols);
    F32Buffer x_packed = make_f32_buffer(round_up(std::min<std::size_t>(row_block, x.rows), kTileRows) *
                                         inner_block);
    F32Buffer y_packed = make_f32_buffer(round_up(std::min<std::size_t>(kColBlock, y.cols), variant.tile_cols) *
                                         inner_block);
    variant.run(Work{x, y, out.data(), x_packed.data(), y_packed.data()});
    return out;
}

}  // namespace quvarin::cpu
