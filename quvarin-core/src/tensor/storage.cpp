#include "tensor/storage.hpp"

#include <utility>

#include "tensor/panic.hpp"

namespace quvarin {
namespace {

template <class T>
std::vector<T> zeroed(std::uint64_t count) {
    check_capacity(count, sizeof(T));
    return std::vector<T>(count, T{});
}

}  // namespace

StorageKind storage_kind_of(DType dtype) {
    switch (dtype) {
        case DType::Float32: return StorageKind::F32;
        case DType::Float16: return StorageKind::F16;
        case DType::BFloat16: return StorageKind::BF16;
        case DType::Int32: return StorageKind::I32;
        case DType::Int8: return StorageKind::I8;
    }
    return StorageKind::F32;
}

Storage Storage::from_f32(F32Buffer elements) {
    return Storage(new Block{.elements = Elements(std::in_place_index<0>, std::move(elements))});
}

Storage Storage::zeros(DType dtype, std::uint64_t count) {
    switch (storage_kind_of(dtype)) {
        case StorageKind::F32: return from_f32(make_f32_buffer(count, 0.0f));
        case StorageKind::I32:
            return Storage(new Block{.elements = Elements(std::in_place_index<1>, zeroed<std::int32_t>(count))});
        case StorageKind::I8:
            return Storage(new Block{.elements = Elements(std::in_place_index<2>, zeroed<std::int8_t>(count))});
        case StorageKind::F16:
            return Storage(new Block{.elements = Elements(std::in_place_index<3>, zeroed<HalfBits>(count))});
        case StorageKind::BF16:
            return Storage(new Block{.elements = Elements(std::in_place_index<4>, zeroed<BFloat16Bits>(count))});
    }
    throw Panic("unknown storage kind");
}

Storage::Storage(const Storage& other) noexcept : block_(other.block_) {
    block_->references.fetch_add(1, std::memory_order_relaxed);
}

Storage::Storage(Storage&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

Storage& Storage::operator=(const Storage& other) noexcept {
    if (block_ != other.block_) {
        other.block_->references.fetch_add(1, std::memory_order_relaxed);
        release();
        block_ = other.block_;
    }
    return *this;
}

Storage& Storage::operator=(Storage&& other) noexcept {
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

Storage::~Storage() { release(); }

void Storage::release() noexcept {
    if (block_ != nullptr && block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete block_;
    }
    block_ = nullptr;
}

StorageKind Storage::kind() const { return static_cast<StorageKind>(block_->elements.index()); }

std::uint64_t Storage::len() const {
    return std::visit([](const auto& elements) -> std::uint64_t { return elements.size(); },
                      block_->elements);
}

std::uint64_t Storage::use_count() const { return block_->references.load(std::memory_order_acquire); }

std::span<const float> Storage::f32_elements() const {
    const auto* elements = std::get_if<0>(&block_->elements);
    if (elements == nullptr) throw Panic("float32 elements requested from a storage of another kind");
    return {elements->data(), elements->size()};
}

std::span<float> Storage::f32_elements_mut() {
    auto* elements = std::get_if<0>(&block_->elements);
    if (elements == nullptr || !is_exclusive()) throw Panic("write to a shared or non-float32 storage");
    return {elements->data(), elements->size()};
}

}  // namespace quvarin
