#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "tensor/dtype.hpp"
#include "tensor/f32_buffer.hpp"

namespace quvarin {

// Tag of a storage's element kind. Not the numbering of DType.
enum class StorageKind : std::uint64_t { F32 = 0, I32 = 1, I8 = 2, F16 = 3, BF16 = 4 };

// 16-bit containers for the element kinds nothing computes on.
struct HalfBits { std::uint16_t bits; };
struct BFloat16Bits { std::uint16_t bits; };

StorageKind storage_kind_of(DType dtype);

// A shared element buffer: one heap block holding an atomic reference count
// and the elements. Copying a Storage takes one more reference; the elements
// are never modified while more than one reference exists.
class Storage {
public:
    // Takes the array over without copying it.
    static Storage from_f32(F32Buffer elements);
    // count zero elements of the kind that dtype maps to.
    static Storage zeros(DType dtype, std::uint64_t count);

    Storage(const Storage& other) noexcept;
    Storage(Storage&& other) noexcept;
    Storage& operator=(const Storage& other) noexcept;
    Storage& operator=(Storage&& other) noexcept;
    ~Storage();

    StorageKind kind() const;
    std::uint64_t len() const;
    std::uint64_t use_count() const;
    // True when this is the only reference, so the elements may be written.
    bool is_exclusive() const { return use_count() == 1; }
    bool same_buffer(const Storage& other) const { return block_ == other.block_; }

    // The float32 elements; precondition: kind() is F32.
    std::span<const float> f32_elements() const;
    // Writable float32 elements; precondition: kind() is F32 and is_exclusive().
    std::span<float> f32_elements_mut();

private:
    using Elements = std::variant<F32Buffer, std::vector<std::int32_t>, std::vector<std::int8_t>,
                                  std::vector<HalfBits>, std::vector<BFloat16Bits>>;
    struct Block {
        std::atomic<std::uint64_t> references{1};
        Elements elements;
    };

    explicit Storage(Block* block) noexcept : block_(block) {}
    void release() noexcept;

    Block* block_;
};

}  // namespace quvarin
