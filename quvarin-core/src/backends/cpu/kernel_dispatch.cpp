#include "backends/cpu/kernel_dispatch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <span>

#include "backends/cpu/exp_lanes.hpp"
#include "backends/cpu/expf_self_check.hpp"
#include "backends/cpu/parallel_map.hpp"
#include "backends/cpu/streaming_loops.hpp"
#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

// The builds of one family that this CPU runs, the one the rule picked, and
// the one a test forced, if any.
template <class Build>
class Family {
public:
    Family(const char* name, std::vector<Build> builds, std::size_t picked, std::string reason)
        : name_(name), builds_(std::move(builds)), picked_(picked), reason_(std::move(reason)) {}

    const Build& in_use() const {
        const int forced = forced_.load(std::memory_order_relaxed);
        return builds_[forced >= 0 ? static_cast<std::size_t>(forced) : picked_];
    }

    KernelChoice choice() const { return {name_, std::string(builds_[picked_].name), reason_}; }

    std::vector<std::string> names() const {
        std::vector<std::string> names;
        for (const Build& build : builds_) names.emplace_back(build.name);
        return names;
    }

    void force(std::string_view name) {
        const auto found = std::ranges::find_if(builds_, [&](const Build& build) { return build.name == name; });
        if (found == builds_.end()) throw Panic("no build '" + std::string(name) + "' of the " + name_ + " runs here");
        forced_.store(static_cast<int>(found - builds_.begin()), std::memory_order_relaxed);
    }

    void unforce() { forced_.store(-1, std::memory_order_relaxed); }

private:
    const char* name_;
    std::vector<Build> builds_;
    std::size_t picked_;
    std::string reason_;
    std::atomic<int> forced_{-1};
};

template <class Build>
std::vector<Build> runnable(std::span<const Build> builds) {
    std::vector<Build> runnable;
    std::ranges::copy_if(builds, std::back_inserter(runnable), [](const Build& b) { return cpu_runs(b.isa); });
    return runnable;
}

int vector_bits(Isa isa) {
    switch (isa) {
        case Isa::Baseline: return 128;
        case Isa::Avx2:
        case Isa::Avx2Fma: return 256;
        case Isa::Avx512f: return 512;
    }
    throw Panic("unknown instruction set");
}

// Elementwise loops: the widest vectors this CPU runs, as the compiler's own
// function multiversioning would pick (no timing of ours decided it).
Family<ElementwiseLoops>& elementwise_family() {
    static Family<ElementwiseLoops> family = [] {
        std::vector<ElementwiseLoops> builds = runnable(elementwise_builds());
        const auto widest = std::ranges::max_element(builds, {}, [](const auto& b) { return vector_bits(b.isa); });
        return Family<ElementwiseLoops>("elementwise loops", builds, static_cast<std::size_t>(widest - builds.begin()),
                                        "CPU features: the widest vectors this CPU runs");
    }();
    return family;
}

// Streaming stores: wherever the CPU has AVX-512F.
constexpr ElementwiseLoops kOrdinaryStores{.name = "ordinary stores", .isa = Isa::Baseline};

Family<ElementwiseLoops>& streaming_family() {
    static Family<ElementwiseLoops> family = [] {
        std::vector<ElementwiseLoops> builds = runnable(streaming_builds());
        const char* reason = builds.empty() ? "CPU features: no build of them runs on this CPU" : "CPU features";
        builds.push_back(kOrdinaryStores);
        return Family<ElementwiseLoops>("streaming stores", std::move(builds), 0, reason);
    }();
    return family;
}

// The outputs, in elements, from which a loop writes with streaming stores
// (none: never); streaming_loops.hpp gives the measurements.
std::size_t streaming_from_elements(LoopName loop) {
    switch (loop) {
#define QUVARIN_STREAMING_THRESHOLD(name, from_elements) \
    case LoopName::name: return from_elements;
        QUVARIN_STREAMING_LOOPS(QUVARIN_STREAMING_THRESHOLD)
#undef QUVARIN_STREAMING_THRESHOLD
        default: return std::numeric_limits<std::size_t>::max();
    }
}

// sigmoid runs on the OpenMP pool from this many elements: below it, starting
// the workers would cost more than they save. The figure came with the first
// kernel, unmeasured; on the project's Zen 4 make bench now shows 0.57 ns per
// element at 8192 elements on one thread and 0.28 at 2^17 on two.
constexpr std::size_t kParallelSigmoidFromElements = std::size_t{1} << 17;

// Sigmoid's expf: the expf lanes of the widest vector unit the CPU has,
// fused multiply-adds first, if they give this process's expf bits on every
// self-check input; otherwise the scalar expf. Lanes that fail the check are
// no build of this process at all: their bits would differ from the C
// library's.
struct SigmoidBuild {
    std::string name;
    RangeMap sigmoid;
};

struct ExpfLanes {
    std::string name;
    bool widest;
    bool fused;
    RangeMap exp;
    RangeMap sigmoid;
};

std::vector<ExpfLanes> runnable_expf_lanes() {
    std::vector<ExpfLanes> runnable;
#if defined(__x86_64__)
    for (const bool fused : {true, false}) {
        std::vector<ExpLanes> widths;  // widest first
        if (cpu_runs(Isa::Avx512f)) widths.push_back(avx512_exp_lanes(fused));
        if (cpu_runs(Isa::Avx2Fma)) widths.push_back(avx2_exp_lanes(fused));
        for (std::size_t w = 0; w < widths.size(); ++w) {
            runnable.push_back({std::string(widths[w].name) + " expf lanes, " + (fused ? "fused" : "unfused"), w == 0,
                                fused, widths[w].exp, widths[w].sigmoid});
        }
    }
#endif
    return runnable;
}

Family<SigmoidBuild>& sigmoid_family() {
    static Family<SigmoidBuild> family = [] {
        const std::vector<ExpfLanes> lanes = runnable_expf_lanes();
        std::vector<SigmoidBuild> builds;
        std::string reason;
        std::size_t picked = 0;
        for (const ExpfLanes& candidate : lanes) {
            if (!reproduces_libm_expf(candidate.exp)) continue;
            if (reason.empty() && candidate.widest) {
                picked = builds.size();
                reason = std::string("multiply-adds ") + (candidate.fused ? "fused" : "unfused") +
                         " like this process's expf (same bits on all " + std::to_string(expf_check_inputs().size()) +
                         " self-check inputs)";
            }
            builds.push_back({candidate.name, candidate.sigmoid});
        }
        if (reason.empty()) {
            picked = builds.size();
#if defined(__x86_64__)
            reason = lanes.empty() ? "the CPU has neither AVX-512F nor AVX2 with FMA"
                                   : "this process's expf differs from both expf lanes on the self-check inputs";
#else
            reason = "no expf lanes for this architecture";
#endif
        }
        builds.push_back({"scalar libm expf", libm_sigmoid});
        return Family<SigmoidBuild>("sigmoid expf", std::move(builds), picked, std::move(reason));
    }();
    return family;
}

// Backward products: the build that computes a sample product fastest here,
// best of a few alternating runs. Whether the widest vectors win depends on
// the CPU: 512-bit tiles ran a third faster than 256-bit ones on an Intel
// Xeon with two full 512-bit units and a fifth slower on Zen 4, which splits
// them in two. The 12-row AVX-512 tiles are made for the former; no Intel
// core has timed them yet, so this timing alone decides where they run.
Family<OrderedMatmulKernel>& backward_family() {
    static Family<OrderedMatmulKernel> family = [] {
        const std::vector<OrderedMatmulKernel> builds = runnable(ordered_matmul_builds());
        if (builds.size() == 1) return Family<OrderedMatmulKernel>("backward products", builds, 0, "the only build");
        constexpr std::size_t kSide = 128;
        constexpr std::size_t kDepth = 64;
        std::vector<float> x_values(kSide * kDepth);
        for (std::size_t i = 0; i < x_values.size(); ++i) x_values[i] = static_cast<float>(i % 13) * 0.125f - 0.75f;
        const StridedMatrix x{x_values, kSide, kDepth, kDepth, 1};
        const StridedMatrix y{x_values, kDepth, kSide, kSide, 1};
        std::vector<float> out(kSide * kSide);
        // A first, untimed round: after an idle spell the first runs are slow,
        // and 9 of 30 fresh processes on a Zen 4 picked the build that is a
        // fifth slower there; none did with this round.
        for (const OrderedMatmulKernel& kernel : builds) kernel.run(x, y, out.data());
        std::vector<double> best(builds.size(), std::numeric_limits<double>::infinity());
        for (int round = 0; round < 5; ++round) {
            for (std::size_t k = 0; k < builds.size(); ++k) {
                const auto start = std::chrono::steady_clock::now();
                builds[k].run(x, y, out.data());
                const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
                best[k] = std::min(best[k], spent.count());
            }
        }
        const auto fastest = static_cast<std::size_t>(std::ranges::min_element(best) - best.begin());
        std::string reason = "timing: the fastest on a 128x64 by 64x128 sample (";
        for (std::size_t k = 0; k < builds.size(); ++k) {
            char time[32];
            std::snprintf(time, sizeof time, "%.1f us", best[k] * 1e6);
            reason += std::string(k > 0 ? ", " : "") + builds[k].name + " " + time;
        }
        return Family<OrderedMatmulKernel>("backward products", builds, fastest, reason + ")");
    }();
    return family;
}

template <class Use>
decltype(auto) with_family(KernelFamily family, Use&& use) {
    switch (family) {
        case KernelFamily::ElementwiseLoops: return use(elementwise_family());
        case KernelFamily::StreamingStores: return use(streaming_family());
        case KernelFamily::SigmoidExpf: return use(sigmoid_family());
        case KernelFamily::BackwardProducts: return use(backward_family());
    }
    throw Panic("unknown kernel family");
}

}  // namespace

const ElementwiseLoops& elementwise_build_for(LoopName loop, std::size_t count) {
    if (count >= streaming_from_elements(loop)) {
        const ElementwiseLoops& streaming = streaming_family().in_use();
        if (has_loop(streaming, loop)) return streaming;
    }
    return elementwise_family().in_use();
}

void sigmoid_values(std::span<const float> x, std::span<float> out) {
    loop_entry::require_covers(x, out.size());
    const RangeMap sigmoid = sigmoid_family().in_use().sigmoid;
    // Both paths map every element with the same code, so their bits agree.
    // In a forked process the pool may be gone: the calling thread does it all.
    if (out.size() < kParallelSigmoidFromElements || !openmp_pool_usable()) {
        sigmoid(x.data(), out.data(), out.size());
    } else {
        parallel_map(x.first(out.size()), out, sigmoid);
    }
}

const OrderedMatmulKernel& backward_product_kernel() { return backward_family().in_use(); }

std::vector<KernelChoice> kernel_choices() {
    return {elementwise_family().choice(), streaming_family().choice(), sigmoid_family().choice(),
            backward_family().choice()};
}

std::vector<PathThreshold> path_thresholds() {
#define QUVARIN_STREAMING_PATH(name, from_elements) {#name, "streaming stores", from_elements},
    return {QUVARIN_STREAMING_LOOPS(QUVARIN_STREAMING_PATH){"sigmoid", "OpenMP pool", kParallelSigmoidFromElements}};
#undef QUVARIN_STREAMING_PATH
}

std::vector<std::string> runnable_builds(KernelFamily family) {
    return with_family(family, [](const auto& f) { return f.names(); });
}

ForcedBuild::ForcedBuild(KernelFamily family, std::string_view build) : family_(family) {
    with_family(family, [&](auto& f) { f.force(build); });
}

ForcedBuild::~ForcedBuild() {
    with_family(family_, [](auto& f) { f.unforce(); });
}

}  // namespace quvarin::cpu
