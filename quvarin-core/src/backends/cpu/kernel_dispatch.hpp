#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backends/cpu/elementwise_loops.hpp"
#include "backends/cpu/ordered_matmul_kernels.hpp"

namespace quvarin::cpu {

// Every CPU kernel that comes in several builds, how this process picks one
// (at the family's first use, once, by the rule below), and every choice of
// path made per call; kernel_dispatch.cpp gives the measurement behind each.
// Within a family all builds give the same bits, except sigmoid's expf, whose
// rule picks the build that gives the C library's bits.
//
//   family             builds                                  picked by
//   elementwise loops  AVX-512, AVX2, baseline                 CPU features: the widest it runs
//   streaming stores   AVX-512 streaming stores, ordinary      CPU features: AVX-512F
//   sigmoid expf       AVX-512 and AVX2 expf lanes, fused and  self-check: the widest unit's lanes
//                      unfused, where they give this process's that pass it, fused first; else
//                      expf bits on the self-check; libm expf  the C library's scalar expf
//   backward products  128-bit, AVX2, AVX-512 (8- and 12-row   timing: the fastest on a sample
//                      tiles)
//
//   per call, from a size of output (path_thresholds)  path
//   the loops of QUVARIN_STREAMING_LOOPS                  streaming stores, where in use
//   sigmoid                                               the OpenMP pool, unless lost to a fork
enum class KernelFamily { ElementwiseLoops, StreamingStores, SigmoidExpf, BackwardProducts };

// out[i] = 1 / (1 + expf(-x[i])); panics when x is shorter than out.
void sigmoid_values(std::span<const float> x, std::span<float> out);
const OrderedMatmulKernel& backward_product_kernel();

struct KernelChoice {
    std::string family;
    std::string build;
    std::string reason;
};

// Every family's pick in this process (making the picks not made yet).
std::vector<KernelChoice> kernel_choices();

// For tests and the documentation's check: the output size, in elements,
// from which each operation takes its other path, as the dispatch reads it.
struct PathThreshold {
    std::string operation;
    std::string path;
    std::size_t from_elements;
};
std::vector<PathThreshold> path_thresholds();

// For tests: the builds of a family this CPU runs, whether or not the rule
// picks them, and a scope in which the family uses one of them. Naming a build
// the CPU cannot run panics.
std::vector<std::string> runnable_builds(KernelFamily family);

class ForcedBuild {
public:
    ForcedBuild(KernelFamily family, std::string_view build);
    ~ForcedBuild();
    ForcedBuild(const ForcedBuild&) = delete;
    ForcedBuild& operator=(const ForcedBuild&) = delete;

private:
    KernelFamily family_;
};

}  // namespace quvarin::cpu
