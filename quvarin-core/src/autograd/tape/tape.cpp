#include "autograd/tape/tape.hpp"

#include <utility>

#include "tensor/panic.hpp"

namespace quvarin::autograd {
namespace {

enum class Lifecycle : unsigned char { Unborn, Alive, TornDown };

// Trivially destructible, so it stays readable while and after the thread's
// tape is destroyed at thread exit.
thread_local Lifecycle tape_lifecycle = Lifecycle::Unborn;

class InUse {
public:
    explicit InUse(bool& flag) : flag_(flag) {
        if (flag_) throw Panic("the thread's tape is already in use");
        flag_ = true;
    }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    ~InUse() { flag_ = false; }

private:
    bool& flag_;
};

}  // namespace

Tape::Tape() { tape_lifecycle = Lifecycle::Alive; }

Tape::~Tape() { tape_lifecycle = Lifecycle::TornDown; }

Tape* Tape::current() {
    if (tape_lifecycle == Lifecycle::TornDown) return nullptr;
    thread_local Tape tape;
    return &tape;
}

void Tape::record(std::unique_ptr<Node> node) {
    Tape* tape = current();
    if (tape == nullptr) {
        node.reset();
        throw Panic("cannot record on the tape of a thread that is exiting");
    }
    InUse guard(tape->in_use_);
    tape->nodes_.push_back(std::move(node));
}

Tape::Nodes Tape::drain() {
    Tape* tape = current();
    if (tape == nullptr) throw Panic("cannot drain the tape of a thread that is exiting");
    InUse guard(tape->in_use_);
    return std::exchange(tape->nodes_, {});
}

}  // namespace quvarin::autograd
