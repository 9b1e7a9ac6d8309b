#pragma once

#include <string>

#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "tensor/tensor_error.hpp"

namespace quvarin::py {

// Thrown to unwind an entry point once a Python exception has been set.
struct PythonErrorSet {};

// Throws PythonErrorSet when a C API call returned nullptr.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw PythonErrorSet{};
    return result;
}
inline OwnedRef check_owned(PyObject* new_reference) { return OwnedRef::steal(check(new_reference)); }

// Sets exception_type(message) and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* exception_type, const std::string& message);
// A core error reaches Python as ValueError carrying its display text.
[[noreturn]] void raise_tensor_error(const TensorError& error);
// An aborting internal error: PanicException(message).
[[noreturn]] void raise_panic(const std::string& message);

// "pyo3_runtime.PanicException", a direct subclass of BaseException; created
// once per process. Returns nullptr with an exception set on failure.
PyObject* panic_exception_type();

// The pending exception, taken out of the interpreter's error state.
OwnedRef take_raised_exception();
// Makes exception the pending exception again.
void restore_raised_exception(OwnedRef exception);

// Converts the C++ exception being handled into the pending Python
// exception: Panic and unknown failures become PanicException, bad_alloc
// MemoryError; PythonErrorSet leaves the pending exception as it is.
void set_python_error_from_current_exception() noexcept;

// Runs body, turning any C++ exception into a Python exception and the
// returned failure value (nullptr or -1) of the calling slot.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

}  // namespace quvarin::py
