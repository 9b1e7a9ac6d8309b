#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "ops/activation.hpp"
#include "ops/matmul.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

using testing::f32_tensor;

constexpr int kHung = -1;

// Runs body in a forked child and returns its exit code, or kHung after
// killing a child that has not finished within the timeout.
int exit_code_of_child(const std::function<int()>& body, std::chrono::seconds timeout) {
    const pid_t child = fork();
    if (child == 0) {
        int code = 3;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    if (child < 0) return -2;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return kHung;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

bool same_values(const Tensor& a, const std::vector<float>& b) {
    const std::vector<float> values = testing::values_of(a);
    return values.size() == b.size() && std::memcmp(values.data(), b.data(), b.size() * sizeof(float)) == 0;
}

// GNU libgomp's worker pool does not survive fork (GCC bug 52303): a parallel
// region in the child waits forever for workers that no longer exist. The
// OpenBLAS pool shuts itself down around fork. Both operations must still
// work, with the same results, in a child and a grandchild of a process that
// used both pools.
TEST(ForkSafety, ParallelSigmoidAndThreadedGemmWorkAfterFork) {
    const Tensor sigmoid_input = f32_tensor(testing::mixed_values(200000, 21), {200000});
    const std::vector<float> a_values = testing::mixed_values(256 * 256, 22);
    const Tensor a = f32_tensor(a_values, {256, 256});
    const std::vector<float> expected_sigmoid = testing::values_of(sigmoid(sigmoid_input).value());
    const std::vector<float> expected_product = testing::values_of(matmul(a, a).value());

    const auto compute_and_compare = [&] {
        const bool sigmoid_same = same_values(sigmoid(sigmoid_input).value(), expected_sigmoid);
        const bool product_same = same_values(matmul(a, a).value(), expected_product);
        return sigmoid_same && product_same ? 0 : 1;
    };
    const int child = exit_code_of_child(
        [&] {
            if (compute_and_compare() != 0) return 1;
            return exit_code_of_child(compute_and_compare, std::chrono::seconds(20));
        },
        std::chrono::seconds(40));
    EXPECT_EQ(child, 0) << (child == kHung ? "a forked process hung" : "a forked process computed other values");

    // The parent's own pools are unaffected.
    EXPECT_EQ(compute_and_compare(), 0);
}

// Children forked while another thread loads the GEMM library (on the
// process's first product, when this test runs in a process of its own, as
// under ctest) or maps and unmaps large blocks: each child must compute.
TEST(ForkSafety, ForksWhileAnotherThreadLoadsTheGemmLibraryOrMapsLargeBlocks) {
    const std::vector<float> a_values = testing::mixed_values(64 * 64, 23);
    const Tensor a = f32_tensor(a_values, {64, 64});
    const std::size_t large = std::size_t{9} << 20;  // elements: 36 MiB
    std::atomic<bool> done{false};
    std::thread other([&] {
        (void)matmul(a, a).value();
        for (int i = 0; i < 4; ++i) (void)sigmoid(f32_tensor(std::vector<float>(large, 0.5F), {large})).value();
        done.store(true);
    });
    int forks = 0;
    int child = 0;
    while (child == 0 && (!done.load() || forks < 4)) {
        child = exit_code_of_child(
            [&] {
                const bool product = matmul(a, a).ok();
                const bool block = sigmoid(f32_tensor(std::vector<float>(large, 0.5F), {large})).ok();
                return product && block ? 0 : 1;
            },
            std::chrono::seconds(20));
        ++forks;
    }
    other.join();
    EXPECT_EQ(child, 0) << (child == kHung ? "a child forked during a load or a large block hung" : "a child failed");
}

}  // namespace
}  // namespace quvarin
