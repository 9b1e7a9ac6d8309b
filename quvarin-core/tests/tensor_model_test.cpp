#include <gtest/gtest.h>

#include <thread>

#include "test_support.hpp"
#include "tensor/tensor_error.hpp"

namespace quvarin {
namespace {

using testing::f32_tensor;
using testing::zeros_tensor;

TEST(Storage, CopiesShareOneBufferAndTheLastReleaseFreesIt) {
    Storage original = Storage::from_f32(make_f32_buffer(3, 1.5f));
    EXPECT_TRUE(original.is_exclusive());
    {
        Storage copy = original;
        EXPECT_TRUE(copy.same_buffer(original));
        EXPECT_EQ(original.use_count(), 2u);
        EXPECT_FALSE(original.is_exclusive());
        std::thread([released = std::move(copy)]() {}).join();
    }
    EXPECT_EQ(original.use_count(), 1u);
    EXPECT_EQ(testing::values_of(original), (std::vector<float>{1.5f, 1.5f, 1.5f}));
}

TEST(Shape, NumelAndRowMajorStrides) {
    struct Case {
        Shape shape;
        std::uint64_t count;
        Strides strides;
    };
    const std::vector<Case> cases = {
        {{}, 1, {}},
        {{5}, 5, {1}},
        {{2, 3, 4}, 24, {12, 4, 1}},
        {{2, 0, 3}, 0, {0, 3, 1}},
        {{std::uint64_t{1} << 40, std::uint64_t{1} << 40, 0}, 0, {0, 0, 1}},
    };
    for (const auto& [shape, count, strides] : cases) {
        EXPECT_EQ(numel(shape), count);
        EXPECT_EQ(checked_numel(shape), count);
        EXPECT_EQ(row_major_strides(shape), strides);
    }
    EXPECT_EQ(checked_numel({std::uint64_t{1} << 40, std::uint64_t{1} << 40}), std::nullopt);
}

TEST(TensorRecord, ConsecutiveConstructionsDrawConsecutiveIds) {
    const Tensor first = f32_tensor({1.0f}, {1});
    const Tensor second = zeros_tensor(DType::Int8, {2, 3});
    EXPECT_EQ(second.id.value, first.id.value + 1);
    EXPECT_EQ(second.strides, (Strides{3, 1}));
    EXPECT_EQ(second.id.debug_string(), "TensorId(" + std::to_string(second.id.value) + ")");
}

TEST(TensorError, DisplayTextsOfAllKinds) {
    const std::vector<std::pair<TensorError, std::string>> cases = {
        {TensorError::ShapeMismatch{{2, 3}, {3, 2}}, "ShapeMismatch: Operation expected shape [2, 3], but got [3, 2]"},
        {TensorError::ShapeMismatch{{}, {5}}, "ShapeMismatch: Operation expected shape [], but got [5]"},
        {TensorError::DeviceMismatch{"cpu", "cuda"},
         "DeviceMismatch: Operation expected tensors on 'cpu', but found tensor on 'cuda'"},
        {TensorError::DTypeMismatch{"float32", "int8"},
         "DTypeMismatch: Operation expected dtype 'float32', but found 'int8'"},
        {TensorError::AutogradError{"Gradient missing"}, "AutogradError: Gradient missing"},
        {TensorError::BackendError{"gemm"}, "BackendError: gemm"},
        {TensorError::IoError{"disk"}, "IoError: disk"},
        {TensorError::InternalError{"ends with a period."}, "InternalError: ends with a period."},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.display(), text);
}

}  // namespace
}  // namespace quvarin
