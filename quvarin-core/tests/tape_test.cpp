#include <gtest/gtest.h>

#include <thread>

#include "autograd/nodes/activation_backward.hpp"
#include "autograd/tape/tape.hpp"
#include "test_support.hpp"

namespace quvarin::autograd {
namespace {

using TapeLifetime = testing::TapeTest;

// Sets a flag when destroyed, to observe who releases recorded nodes.
class WatchedNode final : public Node {
public:
    explicit WatchedNode(bool& destroyed) : destroyed_(destroyed) {}
    ~WatchedNode() override { destroyed_ = true; }
    Status backward(GradientMap&) const override { return std::nullopt; }
    std::string name() const override { return "WatchedNode"; }

private:
    bool& destroyed_;
};

TEST_F(TapeLifetime, EachThreadRecordsOnItsOwnTape) {
    const Storage saved = Storage::from_f32(make_f32_buffer(2, 1.0f));
    Tape::record(std::make_unique<ReluBackward>(saved, TensorId{1}, TensorId{2}));
    std::thread([&] {
        EXPECT_TRUE(Tape::drain().empty());
        Tape::record(std::make_unique<ReluBackward>(saved, TensorId{3}, TensorId{4}));
    }).join();
    // The other thread's tape went away with it, releasing its node's reference.
    EXPECT_EQ(saved.use_count(), 2u);
    Tape::Nodes nodes = Tape::drain();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(dynamic_cast<const ReluBackward&>(*nodes[0]).output_id, TensorId{1});
    EXPECT_TRUE(Tape::drain().empty());
}

// Something recording while its thread tears the tape down: the node must be
// destroyed and the call must panic rather than touch the destroyed tape.
struct RecordsDuringTeardown {
    bool* node_destroyed = nullptr;
    bool* panicked = nullptr;
    ~RecordsDuringTeardown() {
        try {
            Tape::record(std::make_unique<WatchedNode>(*node_destroyed));
        } catch (const Panic&) {
            *panicked = true;
        }
    }
};

TEST_F(TapeLifetime, RecordingDuringThreadTeardownDestroysTheNodeAndPanics) {
    bool node_destroyed = false;
    bool panicked = false;
    std::thread([&] {
        // Constructed before the tape, so destroyed after it.
        thread_local RecordsDuringTeardown late;
        late.node_destroyed = &node_destroyed;
        late.panicked = &panicked;
        Tape::drain();
    }).join();
    EXPECT_TRUE(node_destroyed);
    EXPECT_TRUE(panicked);
}

}  // namespace
}  // namespace quvarin::autograd
