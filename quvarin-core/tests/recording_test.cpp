#include <gtest/gtest.h>

#include <functional>

#include "autograd/nodes/add_backward.hpp"
#include "autograd/nodes/matmul_backward.hpp"
#include "autograd/nodes/mul_backward.hpp"
#include "autograd/nodes/activation_backward.hpp"
#include "autograd/nodes/sum_all_backward.hpp"
#include "ops/activation.hpp"
#include "ops/elementwise.hpp"
#include "ops/matmul.hpp"
#include "ops/reduction.hpp"
#include "test_support.hpp"

namespace quvarin {
namespace {

using autograd::Tape;
using testing::f32_tensor;
using testing::zeros_tensor;

using Recording = testing::TapeTest;

std::optional<TensorId> id_if(bool present, const Tensor& t) {
    return present ? std::optional<TensorId>(t.id) : std::nullopt;
}

TEST_F(Recording, TwoOperandOpsRecordIdsOnlyForOperandsThatRequireGradients) {
    for (const bool lhs : {false, true}) {
        for (const bool rhs : {false, true}) {
            const Tensor a = f32_tensor({1, 2}, {2}, lhs);
            const Tensor b = f32_tensor({3, 4}, {2}, rhs);
            const Tensor sq_a = f32_tensor({1, 2, 3, 4}, {2, 2}, lhs);
            const Tensor sq_b = f32_tensor({1, 0, 0, 1}, {2, 2}, rhs);
            const Tensor sum_out = add(a, b).value();
            const Tensor product = mul(a, b).value();
            const Tensor mm = matmul(sq_a, sq_b).value();
            for (const Tensor* out : {&sum_out, &product, &mm}) EXPECT_EQ(out->requires_grad, lhs || rhs);

            Tape::Nodes nodes = Tape::drain();
            if (!lhs && !rhs) {
                EXPECT_TRUE(nodes.empty());
                continue;
            }
            ASSERT_EQ(nodes.size(), 3u);
            const auto& add_node = dynamic_cast<const autograd::AddBackward&>(*nodes[0]);
            EXPECT_EQ(add_node.lhs_id, id_if(lhs, a));
            EXPECT_EQ(add_node.rhs_id, id_if(rhs, b));
            EXPECT_EQ(add_node.output_id, sum_out.id);

            const auto& mul_node = dynamic_cast<const autograd::MulBackward&>(*nodes[1]);
            EXPECT_EQ(mul_node.lhs_id, id_if(lhs, a));
            EXPECT_EQ(mul_node.rhs_id, id_if(rhs, b));
            EXPECT_TRUE(mul_node.lhs_storage.same_buffer(a.storage));
            EXPECT_TRUE(mul_node.rhs_storage.same_buffer(b.storage));
            EXPECT_EQ(mul_node.output_id, product.id);

            const auto& mm_node = dynamic_cast<const autograd::MatMulBackward&>(*nodes[2]);
            EXPECT_EQ(mm_node.lhs_id, id_if(lhs, sq_a));
            EXPECT_EQ(mm_node.rhs_id, id_if(rhs, sq_b));
            EXPECT_TRUE(mm_node.lhs_storage.same_buffer(sq_a.storage));
            EXPECT_TRUE(mm_node.rhs_storage.same_buffer(sq_b.storage));
            EXPECT_EQ(mm_node.output_id, mm.id);
        }
    }
}

TEST_F(Recording, MatMulNodeCopiesShapesAndStrides) {
    const Tensor a = f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3}, true);
    const Tensor b = f32_tensor({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {3, 4});
    matmul(a, b).value();
    Tape::Nodes nodes = Tape::drain();
    ASSERT_EQ(nodes.size(), 1u);
    const auto& node = dynamic_cast<const autograd::MatMulBackward&>(*nodes[0]);
    EXPECT_EQ(node.lhs_shape, (Shape{2, 3}));
    EXPECT_EQ(node.lhs_strides, (Strides{3, 1}));
    EXPECT_EQ(node.rhs_shape, (Shape{3, 4}));
    EXPECT_EQ(node.rhs_strides, (Strides{4, 1}));
    EXPECT_EQ(node.name(), "MatMulBackward");
}

TEST_F(Recording, SameTensorOnBothSidesRecordsItsIdTwice) {
    const Tensor a = f32_tensor({1, 2, 3, 4}, {2, 2}, true);
    add(a, a).value();
    mul(a, a).value();
    matmul(a, a).value();
    Tape::Nodes nodes = Tape::drain();
    ASSERT_EQ(nodes.size(), 3u);
    const auto& add_node = dynamic_cast<const autograd::AddBackward&>(*nodes[0]);
    const auto& mul_node = dynamic_cast<const autograd::MulBackward&>(*nodes[1]);
    const auto& mm_node = dynamic_cast<const autograd::MatMulBackward&>(*nodes[2]);
    for (const auto& ids : {std::pair{add_node.lhs_id, add_node.rhs_id}, std::pair{mul_node.lhs_id, mul_node.rhs_id},
                            std::pair{mm_node.lhs_id, mm_node.rhs_id}}) {
        EXPECT_EQ(ids.first, std::optional<TensorId>(a.id));
        EXPECT_EQ(ids.second, std::optional<TensorId>(a.id));
    }
}

TEST_F(Recording, UnaryOpsSaveWhatTheirFormulaNeeds) {
    const Tensor x = f32_tensor({-1, 0, 1, 2, 3, 4}, {2, 3}, true);
    const Tensor r = relu(x).value();
    const Tensor s = sigmoid(x).value();
    const Tensor t = sum(x).value();
    for (const Tensor* out : {&r, &s, &t}) EXPECT_TRUE(out->requires_grad);

    Tape::Nodes nodes = Tape::drain();
    ASSERT_EQ(nodes.size(), 3u);
    const auto& relu_node = dynamic_cast<const autograd::ReluBackward&>(*nodes[0]);
    EXPECT_TRUE(relu_node.saved_storage.same_buffer(x.storage));
    EXPECT_EQ(relu_node.output_id, r.id);
    EXPECT_EQ(relu_node.input_id, x.id);

    const auto& sigmoid_node = dynamic_cast<const autograd::SigmoidBackward&>(*nodes[1]);
    EXPECT_TRUE(sigmoid_node.saved_storage.same_buffer(s.storage));
    EXPECT_EQ(sigmoid_node.output_id, s.id);
    EXPECT_EQ(sigmoid_node.input_id, x.id);

    const auto& sum_node = dynamic_cast<const autograd::SumAllBackward&>(*nodes[2]);
    EXPECT_EQ(sum_node.input_shape, (Shape{2, 3}));
    EXPECT_EQ(sum_node.input_strides, (Strides{3, 1}));
    EXPECT_EQ(sum_node.output_id, t.id);
    EXPECT_EQ(sum_node.input_id, x.id);

    std::vector<std::string> names;
    for (const auto& node : nodes) names.push_back(node->name());
    EXPECT_EQ(names, (std::vector<std::string>{"ReluBackward", "SigmoidBackward", "SumAllBackward"}));
}

TEST_F(Recording, UnaryOpsWithoutGradientsRecordNothing) {
    const Tensor x = f32_tensor({1, 2}, {2});
    for (auto op : {relu, sigmoid, sum}) EXPECT_FALSE(op(x).value().requires_grad);
    EXPECT_TRUE(Tape::drain().empty());
}

TEST_F(Recording, FailedOpsRecordNothingAndDrawNoId) {
    const Tensor f3 = f32_tensor({1, 2, 3}, {3}, true);
    const Tensor f2x3 = f32_tensor({1, 2, 3, 4, 5, 6}, {2, 3}, true);
    const Tensor i8 = zeros_tensor(DType::Int8, {3}, true);
    const Tensor i8_square = zeros_tensor(DType::Int8, {2, 2}, true);
    const std::vector<std::function<Result<Tensor>()>> failing = {
        [&] { return add(f3, f2x3); },       [&] { return mul(f3, i8); },
        [&] { return add(i8, i8); },         [&] { return matmul(f3, f2x3); },
        [&] { return matmul(f2x3, f2x3); },  [&] { return matmul(f2x3, i8); },
        [&] { return matmul(i8_square, i8_square); },
        [&] { return relu(i8); },            [&] { return sigmoid(i8); },
        [&] { return sum(i8); },
    };
    for (std::size_t i = 0; i < failing.size(); ++i) {
        const TensorId before = next_tensor_id();
        EXPECT_FALSE(failing[i]().ok()) << "call " << i;
        EXPECT_EQ(next_tensor_id().value, before.value + 1) << "call " << i;
        EXPECT_TRUE(Tape::drain().empty()) << "call " << i;
    }
}

TEST_F(Recording, SuccessiveForwardPassesStayOnTheTapeInOrder) {
    const Tensor w = f32_tensor({1, 2}, {2, 1}, true);
    const Tensor x = f32_tensor({3, 4}, {1, 2});
    for (int pass = 0; pass < 2; ++pass) sum(sigmoid(matmul(x, w).value()).value()).value();
    std::vector<std::string> names;
    for (const auto& node : Tape::drain()) names.push_back(node->name());
    EXPECT_EQ(names, (std::vector<std::string>{"MatMulBackward", "SigmoidBackward", "SumAllBackward",
                                               "MatMulBackward", "SigmoidBackward", "SumAllBackward"}));
}

}  // namespace
}  // namespace quvarin
