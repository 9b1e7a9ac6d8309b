#pragma once

#include <array>
#include <cstddef>
#include <mutex>

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
// Blocks are freed on whichever thread drops the last reference. One mutex
// covers each allocate and free whole, mapping and unmapping included: every
// block has 32 MiB or more of elements to write, next to which the lock costs
// nothing, and both bounds then hold after every call on every CPU.
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
    std::size_t kept_bytes() const;

private:
    friend LargeBlockPool& large_block_pool();

    struct Kept {
        void* block = nullptr;  // nullptr: the slot is empty
        std::size_t mapped_bytes = 0;
    };

    // These run with mutex_ held.
    void* take_kept(std::size_t mapped_bytes) noexcept;
    void keep(void* block, std::size_t mapped_bytes) noexcept;
    Kept& next_slot_to_give_way() noexcept;
    // Unmaps the slot's block, if any, and empties the slot.
    void release(Kept& slot) noexcept;
    void release_kept() noexcept;

    // The process pool's fork() handlers, registered as the library loads.
    static const bool fork_handlers_registered_;

    mutable std::mutex mutex_;
    std::array<Kept, kSlots> slots_{};
    std::size_t next_to_give_way_ = 0;
    std::size_t kept_bytes_ = 0;
    std::size_t used_bytes_ = 0;
};

// The process's pool, behind every element array's allocator. Its fork()
// handlers hold its lock across the fork, so a child starts with the pool as
// it stood between two allocate or free calls: the blocks it counts as kept
// and as in use are the ones the child has mapped.
// Throws std::bad_alloc when the handlers cannot be registered.
LargeBlockPool& large_block_pool();

}  // namespace quvarin
