#include <gtest/gtest.h>

#include <cmath>

#include "autograd/tape/engine.hpp"
#include "autograd/tape/tape.hpp"
#include "ops/activation.hpp"
#include "ops/elementwise.hpp"
#include "ops/matmul.hpp"
#include "ops/reduction.hpp"
#include "test_support.hpp"

namespace quvarin::autograd {
namespace {

using testing::f32_tensor;

using Engine = testing::TapeTest;

std::vector<float> grad_of(const GradientMap& grads, TensorId id) {
    const Storage* grad = grads.find(id);
    return grad == nullptr ? std::vector<float>{} : testing::values_of(*grad);
}

TEST_F(Engine, PreconditionFailuresLeaveTheTapeAsItWas) {
    const Tensor x = f32_tensor({1, 2}, {2}, true);
    const Tensor loss = sum(x).value();
    EXPECT_EQ(testing::error_text(run_backward(f32_tensor({1}, {1}))),
              "AutogradError: Cannot call backward() on a tensor where requires_grad is false.");
    EXPECT_EQ(testing::error_text(run_backward(testing::zeros_tensor(DType::Int8, {2}, true))),
              "AutogradError: Phase 3 backward engine currently only supports CPU Float32 seeding.");
    // The recorded sum is still there for the real pass.
    Result<GradientMap> grads = run_backward(loss);
    ASSERT_TRUE(grads.ok()) << testing::error_text(grads);
    EXPECT_EQ(grad_of(grads.value(), x.id), (std::vector<float>{1, 1}));
}

TEST_F(Engine, SeedsOnesOverEveryElement) {
    struct Case {
        Shape shape;
        std::size_t count;
    };
    for (const Case& c : {Case{{}, 1}, Case{{2, 3}, 6}, Case{{0}, 0}}) {
        const Tensor leaf = testing::zeros_tensor(DType::Float32, c.shape, true);
        Result<GradientMap> grads = run_backward(leaf);
        ASSERT_TRUE(grads.ok());
        EXPECT_EQ(grads.value().size(), 1u);
        EXPECT_EQ(grad_of(grads.value(), leaf.id), std::vector<float>(c.count, 1.0f));
    }
}

TEST_F(Engine, AResultOutsideTheLossFailsThePassAndEmptiesTheTape) {
    const Tensor x = f32_tensor({-1, 2}, {2}, true);
    const Tensor loss = sum(x).value();
    const Tensor unused = relu(x).value();
    EXPECT_EQ(testing::error_text(run_backward(loss)), "AutogradError: Gradient missing for ReLU Output");
    Result<GradientMap> again = run_backward(loss);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().size(), 1u);
}

TEST_F(Engine, BackwardFromAnIntermediateFailsOnTheLaterOperations) {
    const Tensor x = f32_tensor({1, 2}, {2}, true);
    const Tensor hidden = sigmoid(x).value();
    const Tensor doubled = add(hidden, hidden).value();
    const Tensor loss = sum(doubled).value();
    EXPECT_EQ(testing::error_text(run_backward(hidden)), "AutogradError: Gradient missing for Sum Output");
    EXPECT_TRUE(Tape::drain().empty());
}

// Runs after every later-recorded node and checks that those are gone.
class OrderProbe final : public Node {
public:
    OrderProbe(std::vector<int>& log, int label, Status result) : log_(log), label_(label), result_(std::move(result)) {}
    ~OrderProbe() override { log_.push_back(-label_); }
    Status backward(GradientMap&) const override {
        log_.push_back(label_);
        return result_;
    }
    std::string name() const override { return "OrderProbe"; }

private:
    std::vector<int>& log_;
    int label_;
    Status result_;
};

TEST_F(Engine, RunsLastToFirstAndDestroysEachNodeWhenItFinishes) {
    std::vector<int> log;
    for (int label = 1; label <= 3; ++label) Tape::record(std::make_unique<OrderProbe>(log, label, std::nullopt));
    ASSERT_TRUE(run_backward(f32_tensor({1}, {1}, true)).ok());
    EXPECT_EQ(log, (std::vector<int>{3, -3, 2, -2, 1, -1}));
}

TEST_F(Engine, AFailingNodeStopsThePassAndTheRestAreDestroyedUnrun) {
    std::vector<int> log;
    Tape::record(std::make_unique<OrderProbe>(log, 1, std::nullopt));
    Tape::record(std::make_unique<OrderProbe>(log, 2, TensorError::InternalError{"stop"}));
    Tape::record(std::make_unique<OrderProbe>(log, 3, std::nullopt));
    EXPECT_EQ(testing::error_text(run_backward(f32_tensor({1}, {1}, true))), "InternalError: stop");
    EXPECT_EQ(log, (std::vector<int>{3, -3, 2, -2, -1}));
    EXPECT_TRUE(Tape::drain().empty());
}

TEST_F(Engine, TrainingStepGradientFollowsTheNodeFormulas) {
    const std::vector<float> w_values = {0.5f, -0.25f, 0.125f};
    const std::vector<float> x_values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const Tensor w = f32_tensor(w_values, {3, 1}, true);
    const Tensor x = f32_tensor(x_values, {4, 3});
    const Tensor s = sigmoid(matmul(x, w).value()).value();
    const Tensor loss = sum(s).value();
    Result<GradientMap> grads = run_backward(loss);
    ASSERT_TRUE(grads.ok()) << testing::error_text(grads);

    const std::vector<float> s_values = testing::values_of(s);
    std::vector<float> expected(3, 0.0f);
    for (std::size_t j = 0; j < 3; ++j) {
        float total = 0.0f;
        for (std::size_t r = 0; r < 4; ++r) {
            const float sigmoid_grad = (s_values[r] * 1.0f) * (1.0f - s_values[r]);
            total = total + x_values[r * 3 + j] * sigmoid_grad;
        }
        expected[j] = total;
    }
    EXPECT_SAME_BITS(grad_of(grads.value(), w.id), expected);
    EXPECT_EQ(grads.value().find(x.id), nullptr);
}

TEST(AccumulateGrad, StoresTheFirstGradientWithoutCopying) {
    GradientMap grads;
    const Storage incoming = Storage::from_f32(make_f32_buffer(2, 1.0f));
    ASSERT_FALSE(accumulate_grad(grads, TensorId{1}, incoming));
    EXPECT_TRUE(grads.find(TensorId{1})->same_buffer(incoming));
}

TEST(AccumulateGrad, AddsIntoAnExclusiveBufferInPlace) {
    GradientMap grads;
    ASSERT_FALSE(accumulate_grad(grads, TensorId{1}, Storage::from_f32(make_f32_buffer(2, 1.0f))));
    const float* before = grads.find(TensorId{1})->f32_elements().data();
    ASSERT_FALSE(accumulate_grad(grads, TensorId{1}, Storage::from_f32(make_f32_buffer(2, 2.5f))));
    EXPECT_EQ(grads.find(TensorId{1})->f32_elements().data(), before);
    EXPECT_EQ(grad_of(grads, TensorId{1}), (std::vector<float>{3.5f, 3.5f}));
}

TEST(AccumulateGrad, CopiesASharedBufferBeforeWriting) {
    GradientMap grads;
    const Storage held_elsewhere = Storage::from_f32(make_f32_buffer(2, 1.0f));
    ASSERT_FALSE(accumulate_grad(grads, TensorId{1}, held_elsewhere));
    ASSERT_FALSE(accumulate_grad(grads, TensorId{2}, held_elsewhere));
    ASSERT_FALSE(accumulate_grad(grads, TensorId{1}, held_elsewhere));
    EXPECT_EQ(grad_of(grads, TensorId{1}), (std::vector<float>{2, 2}));
    EXPECT_EQ(grad_of(grads, TensorId{2}), (std::vector<float>{1, 1}));
    EXPECT_EQ(testing::values_of(held_elsewhere), (std::vector<float>{1, 1}));
}

TEST(AccumulateGrad, RefusesOtherKindsAndDifferentLengths) {
    GradientMap grads;
    ASSERT_FALSE(accumulate_grad(grads, TensorId{1}, Storage::from_f32(make_f32_buffer(2, 1.0f))));
    EXPECT_EQ(testing::error_text(accumulate_grad(grads, TensorId{1}, Storage::zeros(DType::Int8, 2))),
              "InternalError: Gradient accumulation for non-F32 or GPU buffers is deferred to Phase 4 Dispatcher.");
    EXPECT_EQ(testing::error_text(accumulate_grad(grads, TensorId{1}, Storage::from_f32(make_f32_buffer(3, 1.0f)))),
              "InternalError: Gradient accumulation failed: Buffer lengths mismatch!");
    EXPECT_EQ(grad_of(grads, TensorId{1}), (std::vector<float>{1, 1}));
}

}  // namespace
}  // namespace quvarin::autograd
