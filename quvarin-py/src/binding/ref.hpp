#pragma once

#include <utility>

#include "binding/python.hpp"

namespace quvarin::py {

// An owned (strong) reference, released when it goes out of scope.
class OwnedRef {
public:
    OwnedRef() = default;
    // Takes over a new reference (nullptr allowed).
    static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
    // Takes one more reference to a borrowed object.
    static OwnedRef borrow(PyObject* object) { return OwnedRef(Py_XNewRef(object)); }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit OwnedRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quvarin::py
