#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quvarin {

// Element blocks of 32 MiB or more. glibc maps every block that large afresh
// and unmaps it when it is freed, so each new result used to be faulted in
// one 4 KiB page at a time, every fault zeroing its page. Here such blocks
// are mapped on 2 MiB boundaries with transparent huge pages advised (512
// times fewer faults where the kernel has them), and a freed block is kept
// for the next request of the same size, within two bounds:
//   - at most kSlots blocks, and never more bytes kept than there are bytes
//     in large blocks still in use: kept memory at most doubles the large
//     memory a program holds (when full, the slots give way in turn);
//   - everything kept is unmapped when the last large block in use is freed.
// No lock: blocks are freed on whichever thread drops the last reference, and
// a fork() child inherits a consistent pool.
class LargeBlockPool {
public:
    static constexpr std::size_t kMinBytes = std::size_t{32} << 20;
    static constexpr std::size_t kSlots = 4;

    // A 2 MiB-aligned block of `bytes` bytes (at least kMinBytes). Throws
    // std::bad_alloc when memory runs out.
    void* allocate(std::size_t bytes);
    // Takes back a block from allocate() with the same `bytes`.
    void free(void* block, std::size_t bytes) noexcept;

    // Bytes of freed blocks kept for reuse.
    std::size_t kept_bytes() const { return kept_bytes_.load(std::memory_order_relaxed); }

private:
    void* take_kept(std::size_t mapped_bytes) noexcept;
    void keep(void* block, std::size_t mapped_bytes) noexcept;
    std::size_t next_slot_to_give_way() noexcept;
    // Unmaps the kept block of a slot's former entry, if any.
    void release(std::uintptr_t entry) noexcept;
    void release_kept() noexcept;

    // Each slot holds 0 or a kept block: its address, whose low 21 bits are
    // zero, with its length in 2 MiB units in those bits, so that one atomic
    // exchange hands a block and its size to exactly one owner.
    std::array<std::atomic<std::uintptr_t>, kSlots> slots_{};
    std::atomic<std::size_t> next_to_give_way_{0};
    std::atomic<std::size_t> kept_bytes_{0};
    std::atomic<std::size_t> used_bytes_{0};
};

// The process's pool, behind every element array's allocator.
LargeBlockPool& large_block_pool();

}  // namespace quvarin
