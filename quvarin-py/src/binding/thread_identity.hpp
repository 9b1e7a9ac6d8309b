#pragma once

#include <cstdint>

namespace quvarin::py {

// Identifies the calling OS thread. Numbers are never reused within a
// process, and a child made by fork() keeps the number of the thread that
// forked, as pthread_self does: a forked data-loader worker still owns the
// tensors its parent created on that thread.
std::uint64_t current_thread_number();

}  // namespace quvarin::py
