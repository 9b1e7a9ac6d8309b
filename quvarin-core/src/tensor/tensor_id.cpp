#include "tensor/tensor_id.hpp"

#include <atomic>

namespace quvarin {
namespace {
std::atomic<std::uint64_t> next_id_counter{1};
}

TensorId next_tensor_id() { return TensorId{next_id_counter.fetch_add(1, std::memory_order_seq_cst)}; }

}  // namespace quvarin
