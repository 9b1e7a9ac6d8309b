#include "backends/cpu/parallel_map.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>

#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

// Set just before the first parallel region. Both flags are inherited by
// fork, so descendants of a forked child stay sequential too.
std::atomic<bool> pool_started{false};
std::atomic<bool> pool_lost_to_fork{false};

void after_fork_in_child() {
    if (pool_started.load(std::memory_order_relaxed)) pool_lost_to_fork.store(true, std::memory_order_relaxed);
}

// The configured team size, bounded: libgomp sets a team up on the calling
// thread's stack and ends the process when it cannot start a thread, so an
// absurd OMP_NUM_THREADS would crash the interpreter. The bound, four threads
// per processor and at least 64, still honours any setting that could help
// (more threads than processors never speed up an elementwise map) while
// staying far below what ends the process.
int team_size() {
    const int processors = std::max(omp_get_num_procs(), 1);
    return std::clamp(omp_get_max_threads(), 1, std::max(4 * processors, 64));
}

// Registered as the library loads, before the pool can first start, so no
// fork misses it (and no child waits on a first use's initialisation); without
// it the pool is never used.
const bool fork_handler_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;

}  // namespace

bool openmp_pool_usable() {
    return fork_handler_registered && !pool_lost_to_fork.load(std::memory_order_relaxed);
}

void parallel_map(std::span<const float> input, std::span<float> output, RangeMap map_range) {
    if (input.size() != output.size()) throw Panic("parallel map output length differs from its input");
    if (!openmp_pool_usable()) throw Panic("parallel map called where the OpenMP pool is not usable");
    const std::size_t count = input.size();
    pool_started.store(true, std::memory_order_relaxed);
#pragma omp parallel num_threads(team_size())
    {
        const auto workers = static_cast<std::size_t>(omp_get_num_threads());
        const auto worker = static_cast<std::size_t>(omp_get_thread_num());
        // Pieces differ in length by at most one element.
        const std::size_t begin = count / workers * worker + std::min(worker, count % workers);
        const std::size_t end = begin + count / workers + (worker < count % workers ? 1 : 0);
        map_range(input.data() + begin, output.data() + begin, end - begin);
    }
}

}  // namespace quvarin::cpu
