#include "tensor/large_blocks.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

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

// Constant-initialised and trivially destructible: usable from the first
// allocation to the last thread-exit release.
constinit LargeBlockPool process_pool;
static_assert(std::is_trivially_destructible_v<LargeBlockPool>);

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
    const std::uintptr_t aligned = (address + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
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

// Registered as the library loads, before any thread can hold the pool's
// mutex: registering on first use would leave a child forked during that
// first use waiting forever for the initialisation to finish.
const bool LargeBlockPool::fork_handlers_registered_ =
    pthread_atfork([] { process_pool.mutex_.lock(); }, [] { process_pool.mutex_.unlock(); },
                   [] { process_pool.mutex_.unlock(); }) == 0;

LargeBlockPool& large_block_pool() {
    if (!LargeBlockPool::fork_handlers_registered_) throw std::bad_alloc();  // pthread_atfork fails only for want of memory
    return process_pool;
}

void* LargeBlockPool::allocate(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    const std::size_t mapped_bytes = mapped_size(bytes);
    const std::lock_guard lock(mutex_);
    void* block = take_kept(mapped_bytes);
    if (block == nullptr) block = map_aligned(mapped_bytes);
    if (block == nullptr) {
        // The kept blocks may be what stands between this request and success.
        release_kept();
        block = map_aligned(mapped_bytes);
        if (block == nullptr) throw std::bad_alloc();
    }
    used_bytes_ += mapped_bytes;
    unpoison(block, bytes);
    poison(static_cast<char*>(block) + bytes, mapped_bytes - bytes);
    return block;
}

void LargeBlockPool::free(void* block, std::size_t bytes) noexcept {
    const std::size_t mapped_bytes = mapped_size(bytes);
    const std::lock_guard lock(mutex_);
    used_bytes_ -= mapped_bytes;
    if (mapped_bytes <= used_bytes_) {
        keep(block, mapped_bytes);
    } else {
        unmap(block, mapped_bytes);
    }
    // Back within the bound: with nothing in use, this empties every slot.
    for (std::size_t i = 0; i < kSlots && kept_bytes_ > used_bytes_; ++i) release(next_slot_to_give_way());
}

std::size_t LargeBlockPool::kept_bytes() const {
    const std::lock_guard lock(mutex_);
    return kept_bytes_;
}

void* LargeBlockPool::take_kept(std::size_t mapped_bytes) noexcept {
    for (Kept& slot : slots_) {
        if (slot.block != nullptr && slot.mapped_bytes == mapped_bytes) {
            kept_bytes_ -= mapped_bytes;
            return std::exchange(slot, Kept{}).block;
        }
    }
    return nullptr;
}

void LargeBlockPool::keep(void* block, std::size_t mapped_bytes) noexcept {
    poison(block, mapped_bytes);
    const auto empty = std::ranges::find(slots_, nullptr, &Kept::block);
    // With every slot full, the slots give way in turn.
    Kept& slot = empty != slots_.end() ? *empty : next_slot_to_give_way();
    release(slot);
    slot = Kept{block, mapped_bytes};
    kept_bytes_ += mapped_bytes;
}

LargeBlockPool::Kept& LargeBlockPool::next_slot_to_give_way() noexcept {
    return slots_[next_to_give_way_++ % kSlots];
}

void LargeBlockPool::release(Kept& slot) noexcept {
    if (slot.block == nullptr) return;
    unmap(slot.block, slot.mapped_bytes);
    kept_bytes_ -= slot.mapped_bytes;
    slot = Kept{};
}

void LargeBlockPool::release_kept() noexcept {
    for (Kept& slot : slots_) release(slot);
}

}  // namespace quvarin
