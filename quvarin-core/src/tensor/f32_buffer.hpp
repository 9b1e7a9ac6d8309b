#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "tensor/large_blocks.hpp"

namespace quvarin {

// Allocator for element arrays: new elements are left uninitialised (every
// producer writes each element exactly once). Below 32 MiB plain operator
// new, not an over-aligned one: glibc reuses freed heap memory for those,
// while its aligned path maps fresh pages for every large block. Larger
// blocks come from the large-block pool.
template <class T>
struct UninitAllocator {
    using value_type = T;
    UninitAllocator() noexcept = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}  // NOLINT: allocator rebinding

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        return static_cast<T*>(bytes >= LargeBlockPool::kMinBytes ? large_block_pool().allocate(bytes)
                                                                   : ::operator new(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= LargeBlockPool::kMinBytes) {
            large_block_pool().free(p, bytes);
        } else {
            ::operator delete(p);
        }
    }

    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) {
            ::new (static_cast<void*>(p)) U;
        } else {
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
        }
    }

    template <class U>
    friend bool operator==(const UninitAllocator&, const UninitAllocator<U>&) noexcept { return true; }
};

// A float32 element array; a Storage takes it over without copying.
using F32Buffer = std::vector<float, UninitAllocator<float>>;

// Panics with "capacity overflow" when count elements of elem_size bytes
// exceed the largest possible allocation (PTRDIFF_MAX bytes).
void check_capacity(std::uint64_t count, std::size_t elem_size);

// A buffer of count uninitialised floats. Throws std::bad_alloc when memory
// runs out.
F32Buffer make_f32_buffer(std::uint64_t count);

// A buffer of count copies of value.
F32Buffer make_f32_buffer(std::uint64_t count, float value);

}  // namespace quvarin
