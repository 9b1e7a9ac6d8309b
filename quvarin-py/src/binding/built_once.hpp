#pragma once

#include <atomic>
#include <mutex>

#include "binding/python.hpp"

namespace quvarin::py {

// A process-wide object made on first use and kept for the life of the
// process. Concurrent first uses make it once: the others wait for the first,
// without holding the interpreter, which the first may give up and need back
// while it builds (a garbage collection can run Python code in between).
template <class Object>
class BuiltOnce {
public:
    // The object, made by build() unless an earlier use made it. build
    // returns nullptr with a Python exception set, or throws, when it fails;
    // the next use then tries again. build must not ask for this object.
    template <class Build>
    Object* get(Build&& build) {
        if (Object* object = object_.load(std::memory_order_acquire)) return object;
        std::unique_lock<std::mutex> lock(building_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS
            lock.lock();
            Py_END_ALLOW_THREADS
        }
        if (Object* object = object_.load(std::memory_order_acquire)) return object;
        Object* object = build();
        object_.store(object, std::memory_order_release);
        return object;
    }

private:
    std::atomic<Object*> object_{nullptr};
    std::mutex building_;
};

}  // namespace quvarin::py
