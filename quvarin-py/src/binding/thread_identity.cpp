#include "binding/thread_identity.hpp"

#include <atomic>

namespace quvarin::py {
namespace {
std::atomic<std::uint64_t> next_thread_number{1};
// Thread-local memory is copied into a forked child together with the
// forking thread, so the child's main thread keeps this number.
thread_local std::uint64_t this_thread_number = 0;
}  // namespace

std::uint64_t current_thread_number() {
    if (this_thread_number == 0) this_thread_number = next_thread_number.fetch_add(1, std::memory_order_relaxed);
    return this_thread_number;
}

}  // namespace quvarin::py
