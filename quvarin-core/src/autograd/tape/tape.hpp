#pragma once

#include <memory>
#include <vector>

#include "autograd/nodes/node.hpp"

namespace quvarin::autograd {

// The calling thread's record of backward nodes, in recording order. Each
// thread has its own; it comes into being empty on first use and is
// destroyed, with the nodes still on it, when the thread exits.
class Tape {
public:
    using Nodes = std::vector<std::unique_ptr<Node>>;

    // Appends node to the calling thread's tape. During thread teardown the
    // node is destroyed instead and the call panics.
    static void record(std::unique_ptr<Node> node);
    // Moves every node off the calling thread's tape, oldest first, leaving
    // it empty.
    static Nodes drain();

    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;
    ~Tape();

private:
    Tape();
    // The calling thread's tape, or nullptr once it is being torn down.
    static Tape* current();

    Nodes nodes_;
    // Re-entrancy guard: set while the sequence is appended to or drained.
    bool in_use_ = false;
};

}  // namespace quvarin::autograd
