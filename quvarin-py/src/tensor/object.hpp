#pragma once

#include <cstddef>
#include <new>
#include <optional>

#include "binding/access.hpp"
#include "binding/python.hpp"
#include "tensor/tensor.hpp"

namespace quvarin::py {

// The Python Tensor object: one tensor record it owns, the access counter
// and the thread that created it.
struct TensorObject {
    PyObject_HEAD
    BorrowFlag borrow_flag;
    std::uint64_t owner_thread;
    alignas(Tensor) std::byte record_bytes[sizeof(Tensor)];

    Tensor& record() { return *std::launder(reinterpret_cast<Tensor*>(record_bytes)); }
};

// The Tensor type object, built on first use. Throws PythonErrorSet (with
// a PanicException pending) when it cannot be built.
PyTypeObject* tensor_type();

// Moves a finished record into a new Tensor object owned by the calling
// thread. When the object cannot be created the record is released.
PyObject* wrap_tensor(Tensor record);

// One Tensor object taken through the entry protocol: type check, owner
// thread check, then read or write access, held until this goes away.
class TensorEntry {
public:
    TensorEntry(TensorObject* object, AccessGuard guard) : object_(object), guard_(std::move(guard)) {}
    Tensor& record() const { return object_->record(); }

private:
    TensorObject* object_;
    AccessGuard guard_;
};

// The receiver of a method, property or slot. Raises on failure.
TensorEntry enter(PyObject* object, AccessMode mode);
// A tensor argument: a TypeError from the type check names the parameter.
TensorEntry enter_argument(PyObject* object, const char* parameter, AccessMode mode);
// An operand of + and *: nothing when it is not a Tensor or cannot be read
// (the operator then answers NotImplemented); a wrong thread still raises.
std::optional<TensorEntry> enter_operand(PyObject* object);

}  // namespace quvarin::py
