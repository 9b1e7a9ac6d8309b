#include "tensor/large_blocks.hpp"

#include <sys/mman.h>

#include <new>

// AddressSanitizer does not watch memory mapped here: poisoning kept blocks
// and the slack after each block keeps its use-after-free and overflow checks.
#if defined(__SANITIZE_ADDRESS__)
#define QUVARIN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUVARIN_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef QUVARIN_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace quvarin {
namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
constexpr std::uintptr_t kUnitsMask = kHugePageBytes - 1;

// Constant-initialised and trivially destructible: usable from the first
// allocation to the last thread-exit release.
constinit LargeBlockPool process_pool;

std::size_t mapped_size(std::size_t bytes) { return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1); }

void poison([[maybe_unused]] void* start, [[maybe_unused]] std::size_t bytes) {
#ifdef QUVARIN_ADDRESS_SANITIZER
    ASAN_POISON_MEMORY_REGION(start, bytes);
#endif
}

void unpoison([[maybe_unused]] void* start, [[maybe_unused]] std::size_t bytes) {
#ifdef QUVARIN_ADDRESS_SANITIZER
    ASAN_UNPOISON_MEMORY_REGION(start, bytes);
#endif
}

// mapped_bytes of fresh zero pages starting on a 2 MiB boundary, or nullptr:
// maps 2 MiB more than needed and returns the unaligned ends.
void* map_aligned(std::size_t mapped_bytes) {
    const std::size_t span = mapped_bytes + kHugePageBytes;
    void* start = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) return nullptr;
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t aligned = (address + kHugePageBytes - 1) & ~kUnitsMask;
    const std::size_t head = aligned - address;
    if (head != 0) munmap(start, head);
    if (head != kHugePageBytes) munmap(reinterpret_cast<void*>(aligned + mapped_bytes), kHugePageBytes - head);
    // Advice only: where the kernel has no transparent huge pages, or has
    // them switched off, the block keeps 4 KiB pages.
    madvise(reinterpret_cast<void*>(aligned), mapped_bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void unmap(void* block, std::size_t mapped_bytes) {
    unpoison(block, mapped_bytes);
    munmap(block, mapped_bytes);
}

}  // namespace

LargeBlockPool& large_block_pool() { return process_pool; }

void* LargeBlockPool::allocate(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    const std::size_t mapped_bytes = mapped_size(bytes);
    void* block = take_kept(mapped_bytes);
    if (block == nullptr) block = map_aligned(mapped_bytes);
    if (block == nullptr) {
        // The kept blocks may be what stands between this request and success.
        release_kept();
        block = map_aligned(mapped_bytes);
        if (block == nullptr) throw std::bad_alloc();
    }
    used_bytes_.fetch_add(mapped_bytes, std::memory_order_acq_rel);
    unpoison(block, bytes);
    poison(static_cast<char*>(block) + bytes, mapped_bytes - bytes);
    return block;
}

void LargeBlockPool::free(void* block, std::size_t bytes) noexcept {
    const std::size_t mapped_bytes = mapped_size(bytes);
    const std::size_t still_used = used_bytes_.fetch_sub(mapped_bytes, std::memory_order_acq_rel) - mapped_bytes;
    if (mapped_bytes <= still_used && mapped_bytes / kHugePageBytes <= kUnitsMask) {
        keep(block, mapped_bytes);
    } else {
        unmap(block, mapped_bytes);
    }
    // Back within the bound: with nothing in use, this empties every slot.
    for (std::size_t i = 0; i < kSlots && kept_bytes() > used_bytes_.load(std::memory_order_acquire); ++i) {
        release(slots_[next_slot_to_give_way()].exchange(0, std::memory_order_acq_rel));
    }
}

void* LargeBlockPool::take_kept(std::size_t mapped_bytes) noexcept {
    const std::uintptr_t units = mapped_bytes / kHugePageBytes;
    for (auto& slot : slots_) {
        std::uintptr_t entry = slot.load(std::memory_order_acquire);
        if (entry != 0 && (entry & kUnitsMask) == units &&
            slot.compare_exchange_strong(entry, 0, std::memory_order_acq_rel)) {
            kept_bytes_.fetch_sub(mapped_bytes, std::memory_order_relaxed);
            return reinterpret_cast<void*>(entry & ~kUnitsMask);
        }
    }
    return nullptr;
}

void LargeBlockPool::keep(void* block, std::size_t mapped_bytes) noexcept {
    poison(block, mapped_bytes);
    const std::uintptr_t entry = reinterpret_cast<std::uintptr_t>(block) | (mapped_bytes / kHugePageBytes);
    kept_bytes_.fetch_add(mapped_bytes, std::memory_order_relaxed);
    for (auto& slot : slots_) {
        std::uintptr_t empty = 0;
        if (slot.compare_exchange_strong(empty, entry, std::memory_order_acq_rel)) return;
    }
    // Every slot is full: the slots give way in turn.
    release(slots_[next_slot_to_give_way()].exchange(entry, std::memory_order_acq_rel));
}

std::size_t LargeBlockPool::next_slot_to_give_way() noexcept {
    return next_to_give_way_.fetch_add(1, std::memory_order_relaxed) % kSlots;
}

void LargeBlockPool::release(std::uintptr_t entry) noexcept {
    if (entry == 0) return;
    const std::size_t mapped_bytes = (entry & kUnitsMask) * kHugePageBytes;
    unmap(reinterpret_cast<void*>(entry & ~kUnitsMask), mapped_bytes);
    kept_bytes_.fetch_sub(mapped_bytes, std::memory_order_relaxed);
}

void LargeBlockPool::release_kept() noexcept {
    for (auto& slot : slots_) release(slot.exchange(0, std::memory_order_acq_rel));
}

}  // namespace quvarin
