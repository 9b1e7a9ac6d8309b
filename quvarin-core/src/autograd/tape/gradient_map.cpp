#include "autograd/tape/gradient_map.hpp"

#include <algorithm>
#include <utility>

#include "backends/cpu/elementwise_loops.hpp"

namespace quvarin::autograd {

const Storage* GradientMap::find(TensorId id) const {
    const auto entry = entries_.find(id);
    return entry == entries_.end() ? nullptr : &entry->second;
}

Status accumulate_grad(GradientMap& map, TensorId id, Storage incoming) {
    // try_emplace leaves incoming untouched when the id is already present.
    auto [entry, inserted] = map.entries_.try_emplace(id, std::move(incoming));
    if (inserted) return std::nullopt;
    Storage& existing = entry->second;
    if (existing.kind() != StorageKind::F32 || incoming.kind() != StorageKind::F32) {
        return TensorError::InternalError{
            "Gradient accumulation for non-F32 or GPU buffers is deferred to Phase 4 Dispatcher."};
    }
    // Copy-on-write: the buffer may also be held by another entry, a node or
    // incoming itself, none of which may see the sum.
    if (!existing.is_exclusive()) {
        const std::span<const float> shared = existing.f32_elements();
        F32Buffer copy = make_f32_buffer(shared.size());
        std::ranges::copy(shared, copy.begin());
        existing = Storage::from_f32(std::move(copy));
    }
    if (existing.len() != incoming.len()) {
        return TensorError::InternalError{"Gradient accumulation failed: Buffer lengths mismatch!"};
    }
    cpu::accumulate_values(incoming.f32_elements(), existing.f32_elements_mut());
    return std::nullopt;
}

}  // namespace quvarin::autograd
