#pragma once

#include <atomic>
#include <mutex>
#include <thread>

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
    // the next use then tries again.
    template <class Build>
    Object* get(Build&& build) {
        if (Object* object = object_.load(std::memory_order_acquire)) return object;
        // Python code run by the build (a hook, a finalizer) may ask for the
        // object again on this thread; waiting for ourselves would never end,
        // so that use builds one too, and the first one kept wins.
        if (builder_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return build_and_keep(build);
        std::unique_lock<std::mutex> lock(building_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS
            lock.lock();
            Py_END_ALLOW_THREADS
        }
        if (Object* object = object_.load(std::memory_order_acquire)) return object;
        BuilderMark mark(builder_);
        return build_and_keep(build);
    }

private:
    // Names this thread as the builder until the build ends, however it ends.
    class BuilderMark {
    public:
        explicit BuilderMark(std::atomic<std::thread::id>& builder) : builder_(builder) {
            builder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        BuilderMark(const BuilderMark&) = delete;
        BuilderMark& operator=(const BuilderMark&) = delete;
        ~BuilderMark() { builder_.store(std::thread::id{}, std::memory_order_relaxed); }

    private:
        std::atomic<std::thread::id>& builder_;
    };

    template <class Build>
    Object* build_and_keep(Build& build) {
        Object* built = build();
        if (built == nullptr) return nullptr;
        Object* kept = nullptr;
        if (object_.compare_exchange_strong(kept, built, std::memory_order_acq_rel)) return built;
        Py_DECREF(reinterpret_cast<PyObject*>(built));
        return kept;
    }

    std::atomic<Object*> object_{nullptr};
    std::atomic<std::thread::id> builder_{};
    std::mutex building_;
};

}  // namespace quvarin::py
