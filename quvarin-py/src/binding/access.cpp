#include "binding/access.hpp"

#include "binding/errors.hpp"

namespace quvarin::py {

bool BorrowFlag::try_acquire(AccessMode mode) {
    if (mode == AccessMode::Write) {
        std::int64_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    std::int64_t current = state_.load(std::memory_order_relaxed);
    while (current != -1) {
        if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return true;
    }
    return false;
}

void BorrowFlag::release(AccessMode mode) {
    if (mode == AccessMode::Write) {
        state_.store(0, std::memory_order_release);
    } else {
        state_.fetch_sub(1, std::memory_order_release);
    }
}

std::optional<AccessGuard> try_access(BorrowFlag& flag, AccessMode mode) {
    if (!flag.try_acquire(mode)) return std::nullopt;
    return std::optional<AccessGuard>(std::in_place, flag, mode);
}

AccessGuard access(BorrowFlag& flag, AccessMode mode) {
    if (!flag.try_acquire(mode)) {
        raise(PyExc_RuntimeError, mode == AccessMode::Read ? "Already mutably borrowed" : "Already borrowed");
    }
    return AccessGuard(flag, mode);
}

}  // namespace quvarin::py
