#include "binding/errors.hpp"

#include <new>

#include "binding/built_once.hpp"
#include "tensor/panic.hpp"

namespace quvarin::py {
namespace {

constexpr const char* panic_exception_doc =
    "The exception raised when native code called from Python hits a violated internal "
    "invariant.\n\nLike SystemExit, it derives from BaseException, so that `except Exception` "
    "does not swallow it.";

BuiltOnce<PyObject> panic_type;

}  // namespace

PyObject* panic_exception_type() {
    return panic_type.get([] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc, PyExc_BaseException,
                                         nullptr);
    });
}

void raise(PyObject* exception_type, const std::string& message) {
    PyErr_SetString(exception_type, message.c_str());
    throw PythonErrorSet{};
}

void raise_tensor_error(const TensorError& error) { raise(PyExc_ValueError, error.display()); }

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) throw PythonErrorSet{};
    OwnedRef text = check_owned(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text.get());
    throw PythonErrorSet{};
}

OwnedRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return OwnedRef::steal(value);
#endif
}

void restore_raised_exception(OwnedRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    if (value == nullptr) return;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        // The exception is already pending.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const Panic& panic) {
        try {
            raise_panic(panic.what());
        } catch (...) {
        }
    } catch (const std::exception& failure) {
        try {
            raise_panic(failure.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            raise_panic("unknown internal failure");
        } catch (...) {
        }
    }
}

}  // namespace quvarin::py
