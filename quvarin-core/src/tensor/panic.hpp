#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quvarin {

// A violated internal invariant. It aborts only the current call: the stack
// unwinds, releasing what the call holds, and the Python boundary turns it
// into PanicException. Ordinary failures are TensorError values instead.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace quvarin
