#include "binding/built_once.hpp"

#include <pthread.h>

#include <memory>

namespace quvarin::py {
namespace {

// Every BuildLock, each pushed on when made.
std::atomic<BuildLock*> all_build_locks{nullptr};

}  // namespace

// Runs in a forked child, on its only thread. That thread holds a build lock
// only inside a build of its own (fork() is Python code run by the build),
// where it is named the builder; every other holder is gone, so its lock is
// made anew and unheld.
void abandon_builds_of_other_threads() noexcept {
    const std::thread::id self = std::this_thread::get_id();
    for (BuildLock* lock = all_build_locks.load(std::memory_order_acquire); lock != nullptr; lock = lock->next_) {
        if (lock->builder.load(std::memory_order_relaxed) == self) continue;
        lock->builder.store(std::thread::id{}, std::memory_order_relaxed);
        std::construct_at(&lock->mutex);
    }
}

namespace {
const bool fork_handler_registered = pthread_atfork(nullptr, nullptr, abandon_builds_of_other_threads) == 0;
}  // namespace

BuildLock::BuildLock() : next_(all_build_locks.load(std::memory_order_relaxed)) {
    while (!all_build_locks.compare_exchange_weak(next_, this, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

bool build_locks_survive_fork() { return fork_handler_registered; }

}  // namespace quvarin::py
