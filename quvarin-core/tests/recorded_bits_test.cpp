#include "backends/cpu/exact_rounding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <tuple>

#include "backends/cpu/elementwise_loops.hpp"
#include "backends/cpu/kernel_dispatch.hpp"
#include "backends/cpu/ordered_matmul.hpp"
#include "ops/reduction.hpp"
#include "test_support.hpp"

// The bits every CPU, thread count and build gives, recorded once: a hash of
// each operation's result on fixed inputs. x86-64 checks them under every
// build its CPU runs, aarch64 under qemu (make test-aarch64). The forward
// product is not here: it is OpenBLAS's, whose kernel for the CPU sets the
// order of its additions, so its last bits may differ between CPUs.
namespace quvarin {
namespace {

// Inputs made by integer arithmetic alone, so that every platform starts from
// the same bits: 24-bit mantissas scaled by 2^-max_exponent to
// 2^max_exponent, with signed zeros and subnormals mixed in, and with
// infinities and NaN where `special`.
std::vector<float> portable_values(std::size_t count, std::uint32_t seed, int max_exponent, bool special) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float kSpecial[] = {0.0f, -0.0f, std::numeric_limits<float>::denorm_min(), -1e-40f,
                              kInf, -kInf, std::numeric_limits<float>::quiet_NaN()};
    const std::size_t specials = special ? std::size(kSpecial) : 4;
    std::uint32_t state = seed * 2654435761u + 1;
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const auto mantissa = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23));
        const int exponent = static_cast<int>((state >> 2) % static_cast<std::uint32_t>(2 * max_exponent + 1));
        values[i] = i % 13 == 6 ? kSpecial[(i / 13) % specials]
                                : std::ldexp(mantissa, exponent - max_exponent - 23);
    }
    return values;
}

// FNV-1a over the bit patterns, every NaN counted as one pattern.
std::string bits_hash(std::span<const float> values) {
    std::uint64_t hash = 14695981039346656037u;
    for (const std::uint32_t bits : testing::bits_of(values)) {
        for (int byte = 0; byte < 4; ++byte) hash = (hash ^ ((bits >> (8 * byte)) & 0xffu)) * 1099511628211u;
    }
    char text[19];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// Long enough for streaming stores, with a remainder for every vector width.
constexpr std::size_t kElements = (std::size_t{1} << 22) + 17;

// A loop over kElements: every array read an input of its own, the learning
// rate 0.1, the array written (which accumulate_values also reads) an input too.
// Made once: every build of every loop reads the same ones.
const std::vector<float>& loop_input(std::uint32_t seed) {
    static const std::vector<float> inputs[] = {portable_values(kElements, 0, 30, true),
                                                portable_values(kElements, 1, 30, true),
                                                portable_values(kElements, 2, 30, true)};
    return inputs[seed];
}

template <class... Views>
std::vector<float> loop_result(void (*entry)(Views...)) {
    std::vector<float> out = loop_input(0);
    std::uint32_t seed = 0;
    const auto argument = [&]<class View>() -> View {
        if constexpr (std::is_same_v<View, float>) {
            return 0.1f;
        } else if constexpr (std::is_same_v<View, std::span<float>>) {
            return out;
        } else {
            return loop_input(++seed);
        }
    };
    std::apply(entry, std::tuple<Views...>{argument.template operator()<Views>()...});  // braces: in order
    return out;
}

std::vector<float> sigmoid_result() {
    // From 2^17 elements on the OpenMP pool.
    const std::vector<float> x = portable_values((std::size_t{1} << 17) + 5, 11, 6, true);
    std::vector<float> out(x.size());
    cpu::sigmoid_values(x, out);
    return out;
}

std::vector<float> sum_result() {
    const std::vector<float> x = portable_values(100003, 12, 20, false);
    return testing::values_of(sum(testing::f32_tensor(x, {x.size()})).value());
}

// Sums longer than one block, in the three layouts the backward products read.
std::vector<float> backward_products_result() {
    std::vector<float> all;
    using Shape3 = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
    for (const auto& [r, d, c] : {Shape3{13, 600, 29}, Shape3{131, 70, 37}}) {
        const std::vector<float> x = portable_values(r * d, 13, 20, false);
        const std::vector<float> y = portable_values(d * c, 14, 20, false);
        for (const auto& [xm, ym] : {std::pair{cpu::StridedMatrix{x, r, d, d, 1}, cpu::StridedMatrix{y, d, c, c, 1}},
                                     std::pair{cpu::StridedMatrix{x, r, d, 1, r}, cpu::StridedMatrix{y, d, c, 1, d}},
                                     std::pair{cpu::StridedMatrix{x, r, d, d, 1}, cpu::StridedMatrix{y, d, c, 1, d}}}) {
            const F32Buffer out = cpu::ordered_matmul(xm, ym);
            all.insert(all.end(), out.begin(), out.end());
        }
    }
    return all;
}

struct Operation {
    const char* name;
    std::vector<cpu::KernelFamily> families;  // the families whose builds it runs on
    std::vector<float> (*result)();
};

const std::vector<cpu::KernelFamily> kLoopFamilies = {cpu::KernelFamily::ElementwiseLoops,
                                                      cpu::KernelFamily::StreamingStores};

const std::vector<Operation>& operations() {
    static const std::vector<Operation> operations = {
#define QUVARIN_LOOP_OPERATION(name, parameters, statement) {#name, kLoopFamilies, [] { return loop_result(cpu::name); }},
        QUVARIN_ELEMENTWISE_LOOPS(QUVARIN_LOOP_OPERATION)
#undef QUVARIN_LOOP_OPERATION
        {"sigmoid", {cpu::KernelFamily::SigmoidExpf}, sigmoid_result},
        {"sum", {}, sum_result},
        {"backward products", {cpu::KernelFamily::BackwardProducts}, backward_products_result},
    };
    return operations;
}

// Recorded on x86-64; sigmoid's are those of glibc's expf, which gives these
// bits on x86-64 and aarch64 alike.
const std::map<std::string, std::string> kRecorded = {
    {"add_values", "a9a0ffe934f7f3a3"},
    {"multiply_values", "a843b3f0ae2ead7f"},
    {"relu_values", "56899c53c29f8ea8"},
    {"relu_grad_values", "0fe480018b9682fb"},
    {"sigmoid_grad_values", "db52a13771aaf178"},
    {"sgd_step_values", "a3c75f0f1ad980b8"},
    {"accumulate_values", "660edf8aab5a469d"},
    {"sigmoid", "fdbe421d357d1ead"},
    {"sum", "7b67a41bd4ea7539"},
    {"backward products", "d3d92a29688bf321"},
};

class RecordedBits : public ::testing::TestWithParam<Operation> {};

TEST_P(RecordedBits, EveryBuildGivesTheRecordedBits) {
    const Operation& operation = GetParam();
    const std::string& recorded = kRecorded.at(operation.name);
    EXPECT_EQ(bits_hash(operation.result()), recorded) << "the process's picks";
    for (const cpu::KernelFamily family : operation.families) {
        testing::for_each_build(family, [&] { EXPECT_EQ(bits_hash(operation.result()), recorded); });
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, RecordedBits, ::testing::ValuesIn(operations()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name) c = c == ' ' ? '_' : c;
                             return name;
                         });

}  // namespace
}  // namespace quvarin
