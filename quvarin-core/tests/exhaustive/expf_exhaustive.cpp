// Every float input through the expf and sigmoid lanes against the process's
// scalar expf, bit for bit, for each vector width this CPU runs (the lanes of
// the build that passes the self-check). Exits 1 on any difference, or when
// the CPU runs lanes yet none passes the self-check.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "backends/cpu/exp_lanes.hpp"
#include "backends/cpu/expf_self_check.hpp"
#include "backends/cpu/kernel_dispatch.hpp"

namespace {

// The expf that sigmoid uses in this process, and why.
std::string sigmoid_choice() {
    for (const quvarin::cpu::KernelChoice& choice : quvarin::cpu::kernel_choices()) {
        if (choice.family == "sigmoid expf") return choice.build + ": " + choice.reason;
    }
    return "not reported";
}

}  // namespace

#if defined(__x86_64__)

namespace {

using quvarin::cpu::ExpLanes;

constexpr std::uint64_t kInputs = std::uint64_t{1} << 32;
constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;

void add_lanes_passing_check(std::vector<ExpLanes>& lanes, ExpLanes (*make)(bool)) {
    for (const bool fused : {true, false}) {
        if (quvarin::cpu::reproduces_libm_expf(make(fused).exp)) {
            lanes.push_back(make(fused));
            return;
        }
    }
    std::printf("%s: neither build passes the self-check\n", make(true).name);
}

// Differences found by one comparison over the chunk, the first few printed.
std::uint64_t count_differences(const char* what, const std::vector<float>& input, const std::vector<float>& expected,
                                const std::vector<float>& actual) {
    std::uint64_t differences = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        differences += std::bit_cast<std::uint32_t>(expected[i]) != std::bit_cast<std::uint32_t>(actual[i]);
    }
    for (std::size_t i = 0, printed = 0; i < input.size() && printed < differences && printed < 3; ++i) {
        if (std::bit_cast<std::uint32_t>(expected[i]) == std::bit_cast<std::uint32_t>(actual[i])) continue;
        ++printed;
#pragma omp critical
        std::printf("%s differs at %a (0x%08x): libm %a, lanes %a\n", what, input[i],
                    std::bit_cast<std::uint32_t>(input[i]), expected[i], actual[i]);
    }
    return differences;
}

}  // namespace

int main() {
    std::printf("sigmoid path: %s\n", sigmoid_choice().c_str());
    std::vector<ExpLanes> lanes;
    if (__builtin_cpu_supports("avx512f")) add_lanes_passing_check(lanes, quvarin::cpu::avx512_exp_lanes);
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        add_lanes_passing_check(lanes, quvarin::cpu::avx2_exp_lanes);
    }
    if (lanes.empty()) {
        std::printf("no expf lanes in use on this machine: nothing compared\n");
        return 1;
    }

    // Each chunk holds kChunk inputs with the sign bit clear followed by their
    // negations, so that one expf call per input gives both references.
    std::uint64_t differences = 0;
#pragma omp parallel reduction(+ : differences)
    {
        std::vector<float> input(2 * kChunk), exp_expected(2 * kChunk), sigmoid_expected(2 * kChunk),
            actual(2 * kChunk);
#pragma omp for schedule(dynamic)
        for (std::uint64_t start = 0; start < kInputs / 2; start += kChunk) {
            for (std::uint64_t i = 0; i < kChunk; ++i) {
                input[i] = std::bit_cast<float>(static_cast<std::uint32_t>(start + i));
                input[kChunk + i] = std::bit_cast<float>(static_cast<std::uint32_t>(start + i) | 0x80000000u);
            }
            for (std::uint64_t i = 0; i < 2 * kChunk; ++i) exp_expected[i] = std::exp(input[i]);
            for (std::uint64_t i = 0; i < kChunk; ++i) {
                sigmoid_expected[i] = 1.0f / (1.0f + exp_expected[kChunk + i]);
                sigmoid_expected[kChunk + i] = 1.0f / (1.0f + exp_expected[i]);
            }
            for (const ExpLanes& each : lanes) {
                each.exp(input.data(), actual.data(), 2 * kChunk);
                differences += count_differences(each.name, input, exp_expected, actual);
                each.sigmoid(input.data(), actual.data(), 2 * kChunk);
                differences += count_differences(each.name, input, sigmoid_expected, actual);
            }
        }
    }
    for (const ExpLanes& each : lanes) {
        std::printf("%s lanes, multiply-adds %s: expf and sigmoid compared on all 2^32 inputs\n", each.name,
                    each.fused ? "fused" : "unfused");
    }
    std::printf("%llu differences\n", static_cast<unsigned long long>(differences));
    return differences == 0 ? 0 : 1;
}

#else

int main() {
    std::printf("sigmoid path: %s\nno expf lanes on this architecture: nothing compared\n", sigmoid_choice().c_str());
    return 0;
}

#endif
