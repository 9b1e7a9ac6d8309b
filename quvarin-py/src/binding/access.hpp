#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace quvarin::py {

enum class AccessMode { Read, Write };

// The access counter of one object: 0 free, n > 0 readers, -1 one writer.
class BorrowFlag {
public:
    bool try_acquire(AccessMode mode);
    void release(AccessMode mode);

private:
    std::atomic<std::int64_t> state_{0};
};

// Access held on one object; released when the guard goes away, on every
// path out of the entry that took it.
class AccessGuard {
public:
    AccessGuard(BorrowFlag& flag, AccessMode mode) : flag_(&flag), mode_(mode) {}
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    AccessGuard(AccessGuard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), mode_(other.mode_) {}
    AccessGuard& operator=(AccessGuard&&) = delete;
    ~AccessGuard() {
        if (flag_ != nullptr) flag_->release(mode_);
    }

private:
    BorrowFlag* flag_;
    AccessMode mode_;
};

// Takes access or returns nothing when it is refused.
std::optional<AccessGuard> try_access(BorrowFlag& flag, AccessMode mode);
// Takes access or raises RuntimeError "Already mutably borrowed" (read) /
// "Already borrowed" (write).
AccessGuard access(BorrowFlag& flag, AccessMode mode);

}  // namespace quvarin::py
