// Times every build of the backward products this CPU runs on the shapes the
// benchmark reports, on the calling thread as the backward pass runs them:
// best of several alternating rounds, so that a neighbour's burst of work
// slows every build alike. Prints one line per build and shape: the build,
// the shape and GFLOP/s (2 flops per multiply-add), separated by tabs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <vector>

#include "backends/cpu/ordered_matmul_kernels.hpp"

namespace {

using quvarin::cpu::StridedMatrix;

struct Shape {
    const char* name;
    std::size_t rows, depth, cols;
    bool x_transposed;  // x read as the transpose of a row-major matrix (dB, dW), else y is (dA)
};

constexpr Shape kShapes[] = {
    {"256x256 by 256x256 (dA = g.B^T)", 256, 256, 256, false},
    {"512x512 by 512x512 (dA = g.B^T)", 512, 512, 512, false},
    {"512x512 by 512x512 (dB = A^T.g)", 512, 512, 512, true},
    {"784x64 by 64x128 (dW1 = x^T.g, 784-128-10 at batch 64)", 784, 64, 128, true},
};

constexpr int kRounds = 7;
constexpr double kMinSecondsPerRound = 0.02;

}  // namespace

int main() {
    std::vector<quvarin::cpu::OrderedMatmulKernel> builds;
    for (const auto& build : quvarin::cpu::ordered_matmul_builds()) {
        if (quvarin::cpu::cpu_runs(build.isa)) builds.push_back(build);
    }
    for (const Shape& shape : kShapes) {
        std::vector<float> x_values(shape.rows * shape.depth), y_values(shape.depth * shape.cols);
        for (std::size_t i = 0; i < x_values.size(); ++i) x_values[i] = static_cast<float>(i % 13) * 0.125f - 0.75f;
        for (std::size_t i = 0; i < y_values.size(); ++i) y_values[i] = static_cast<float>(i % 7) * 0.25f - 0.5f;
        const StridedMatrix x = shape.x_transposed
                                    ? StridedMatrix{x_values, shape.rows, shape.depth, 1, shape.rows}
                                    : StridedMatrix{x_values, shape.rows, shape.depth, shape.depth, 1};
        const StridedMatrix y = shape.x_transposed
                                    ? StridedMatrix{y_values, shape.depth, shape.cols, shape.cols, 1}
                                    : StridedMatrix{y_values, shape.depth, shape.cols, 1, shape.depth};
        std::vector<float> out(shape.rows * shape.cols);
        std::vector<double> best(builds.size(), std::numeric_limits<double>::infinity());
        for (int round = 0; round < kRounds; ++round) {
            for (std::size_t b = 0; b < builds.size(); ++b) {
                int calls = 0;
                const auto start = std::chrono::steady_clock::now();
                std::chrono::duration<double> spent{};
                do {
                    builds[b].run(x, y, out.data());
                    ++calls;
                    spent = std::chrono::steady_clock::now() - start;
                } while (spent.count() < kMinSecondsPerRound);
                best[b] = std::min(best[b], spent.count() / calls);
            }
        }
        const double flops = 2.0 * static_cast<double>(shape.rows * shape.depth * shape.cols);
        for (std::size_t b = 0; b < builds.size(); ++b) {
            std::printf("%s\t%s\t%.2f\n", builds[b].name, shape.name, flops / best[b] / 1e9);
        }
    }
    return 0;
}
