#include "backends/cpu/ordered_matmul_kernels.hpp"

#include "backends/cpu/exact_rounding.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "tensor/f32_buffer.hpp"

namespace quvarin::cpu {
namespace {

// Blocking: an InnerBlock-long stretch of the sum (256 unless a build says
// otherwise) is done for a whole block of outputs before the next stretch
// starts, so the packed operands stay in cache. Partial sums wait in the
// output between stretches, which keeps every element's additions in
// increasing order.
constexpr std::size_t kInnerBlock = 256;
constexpr std::size_t kRowPanelsPerBlock = 16;
constexpr std::size_t kColBlock = 2048;

// Packs `lanes` lanes of `depth` sum positions each, element (lane, t) being
// at first[lane * lane_stride + t * t_stride], as panels of panel_lanes lanes
// stored position by position; missing lanes of the last panel are 0. Rows of
// x and columns of y are both lanes. The loop order follows whichever stride
// is 1, so the reads are contiguous in both layouts the backward products use.
void pack_panels(const float* first, std::size_t lane_stride, std::size_t t_stride, std::size_t lanes,
                 std::size_t depth, std::size_t panel_lanes, float* packed) {
    for (std::size_t panel = 0; panel < lanes; panel += panel_lanes, packed += depth * panel_lanes) {
        const std::size_t live = std::min(panel_lanes, lanes - panel);
        const float* source = first + panel * lane_stride;
        if (lane_stride == 1) {
            for (std::size_t t = 0; t < depth; ++t) {
                std::copy_n(source + t * t_stride, live, packed + t * panel_lanes);
            }
        } else {
            for (std::size_t lane = 0; lane < live; ++lane) {
                for (std::size_t t = 0; t < depth; ++t) {
                    packed[t * panel_lanes + lane] = source[lane * lane_stride + t * t_stride];
                }
            }
        }
        for (std::size_t t = 0; live < panel_lanes && t < depth; ++t) {
            std::fill(packed + t * panel_lanes + live, packed + (t + 1) * panel_lanes, 0.0f);
        }
    }
}

// Rows [row0, row0 + rows) and sum positions [t0, t0 + depth) of x.
void pack_x(const StridedMatrix& x, std::size_t row0, std::size_t rows, std::size_t t0,
            std::size_t depth, std::size_t panel_rows, float* packed) {
    pack_panels(x.values.data() + row0 * x.row_stride + t0 * x.col_stride, x.row_stride, x.col_stride, rows,
                depth, panel_rows, packed);
}

// Sum positions [t0, t0 + depth) and columns [col0, col0 + cols) of y.
void pack_y(const StridedMatrix& y, std::size_t t0, std::size_t depth, std::size_t col0,
            std::size_t cols, std::size_t panel_cols, float* packed) {
    pack_panels(y.values.data() + t0 * y.row_stride + col0 * y.col_stride, y.col_stride, y.row_stride, cols,
                depth, panel_cols, packed);
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

template <int Lanes, int Rows, int Width, std::size_t InnerBlock>
[[gnu::always_inline]] inline void blocked_product(const Work& work) {
    constexpr std::size_t kCols = static_cast<std::size_t>(Lanes) * Width;
    constexpr std::size_t kRowBlock = Rows * kRowPanelsPerBlock;
    const std::size_t rows = work.x.rows;
    const std::size_t depth = work.x.cols;
    const std::size_t cols = work.y.cols;
    float edge[Rows * kCols] = {};

    for (std::size_t col0 = 0; col0 < cols; col0 += kColBlock) {
        const std::size_t block_cols = std::min(kColBlock, cols - col0);
        for (std::size_t t0 = 0; t0 < depth; t0 += InnerBlock) {
            const std::size_t block_depth = std::min(InnerBlock, depth - t0);
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

std::size_t round_up(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

template <int Lanes, int Rows, int Width, std::size_t InnerBlock = kInnerBlock>
[[gnu::always_inline]] inline void product(const StridedMatrix& x, const StridedMatrix& y, float* out) {
    constexpr std::size_t kCols = static_cast<std::size_t>(Lanes) * Width;
    const std::size_t inner_block = std::min<std::size_t>(InnerBlock, x.cols);
    F32Buffer x_packed =
        make_f32_buffer(round_up(std::min<std::size_t>(Rows * kRowPanelsPerBlock, x.rows), Rows) * inner_block);
    F32Buffer y_packed = make_f32_buffer(round_up(std::min<std::size_t>(kColBlock, y.cols), kCols) * inner_block);
    blocked_product<Lanes, Rows, Width, InnerBlock>(Work{x, y, out, x_packed.data(), y_packed.data()});
}

// Each tile keeps twelve or more independent sums in flight, enough to hide
// the addition latency, within the vector registers of its width (16 for
// AVX2 and narrower, 32 for AVX-512).
void product_128bit(const StridedMatrix& x, const StridedMatrix& y, float* out) { product<4, 6, 2>(x, y, out); }

#if defined(__x86_64__)
[[gnu::target("avx2")]] void product_avx2(const StridedMatrix& x, const StridedMatrix& y, float* out) {
    product<8, 6, 2>(x, y, out);
}

[[gnu::target("avx512f")]] void product_avx512(const StridedMatrix& x, const StridedMatrix& y, float* out) {
    product<16, 8, 2>(x, y, out);
}

// Register-blocked for cores with two full-width 512-bit pipes, each doing a
// multiply or an add (Intel Xeon since Skylake-SP): 24 sums in flight, each
// broadcast of x feeding two multiplies and each row of y twelve, and stretches
// of 128 so that a tile's packed operands (22 KiB) stay in a 32 KiB L1 cache.
[[gnu::target("avx512f")]] void product_avx512_12_rows(const StridedMatrix& x, const StridedMatrix& y, float* out) {
    product<16, 12, 2, 128>(x, y, out);
}
#endif

}  // namespace

std::span<const OrderedMatmulKernel> ordered_matmul_builds() {
    static constexpr OrderedMatmulKernel kBuilds[] = {
        {"128-bit", Isa::Baseline, product_128bit},
#if defined(__x86_64__)
        {"AVX2", Isa::Avx2, product_avx2},
        {"AVX-512", Isa::Avx512f, product_avx512},
        {"AVX-512 12-row tiles", Isa::Avx512f, product_avx512_12_rows},
#endif
    };
    return kBuilds;
}

}  // namespace quvarin::cpu
