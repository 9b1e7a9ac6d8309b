// Names of the NumPy and DLPack exchange protocols, not implemented yet.
#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "tensor/methods.hpp"
#include "tensor/object.hpp"

namespace quvarin::py {
namespace {

constexpr const char* numpy_not_implemented = "Numpy interoperability is not yet implemented";
constexpr const char* dlpack_not_implemented = "DLPack is not yet implemented";

PyObject* to_numpy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        TensorEntry entry = enter(self, AccessMode::Read);
        raise(PyExc_NotImplementedError, numpy_not_implemented);
    });
}

PyObject* from_numpy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* parameters[] = {"_array"};
        static constexpr Signature signature{"Tensor.from_numpy", parameters, 1};
        PyObject* array = nullptr;
        bind_arguments(signature, args, nargs, kwnames, {&array, 1});
        raise(PyExc_NotImplementedError, numpy_not_implemented);
    });
}

PyObject* dlpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* parameters[] = {"_stream"};
        static constexpr Signature signature{"Tensor.__dlpack__", parameters, 1};
        PyObject* stream = nullptr;
        bind_arguments(signature, args, nargs, kwnames, {&stream, 1});
        TensorEntry entry = enter(self, AccessMode::Read);
        raise(PyExc_NotImplementedError, dlpack_not_implemented);
    });
}

PyObject* dlpack_device(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        TensorEntry entry = enter(self, AccessMode::Read);
        raise(PyExc_NotImplementedError, dlpack_not_implemented);
    });
}

const PyMethodDef interop_methods[] = {
    {"numpy", to_numpy, METH_NOARGS, "numpy($self)\n--\n\n"},
    {"from_numpy", as_method(from_numpy), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_numpy(_array)\n--\n\n"},
    {"__dlpack__", as_method(dlpack), METH_FASTCALL | METH_KEYWORDS, "__dlpack__($self, _stream)\n--\n\n"},
    {"__dlpack_device__", dlpack_device, METH_NOARGS, "__dlpack_device__($self)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> tensor_interop_methods() { return interop_methods; }

}  // namespace quvarin::py
