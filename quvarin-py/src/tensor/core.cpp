// The Tensor class's read side and forward operations.
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "ops/activation.hpp"
#include "ops/elementwise.hpp"
#include "ops/matmul.hpp"
#include "ops/reduction.hpp"
#include "tensor/methods.hpp"
#include "tensor/object.hpp"

namespace quvarin::py {
namespace {

PyObject* new_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Wraps an operation's result, or raises its error as ValueError.
PyObject* wrap_result(Result<Tensor> result) {
    if (!result.ok()) raise_tensor_error(result.error());
    return wrap_tensor(std::move(result.value()));
}

std::span<const float> f32_elements_or_raise(const Tensor& record) {
    Result<std::span<const float>> elements = as_f32_slice(record);
    if (!elements.ok()) raise_tensor_error(elements.error());
    return elements.value();
}

PyObject* get_shape(PyObject* self, void*) {
    return guarded([&] {
        TensorEntry entry = enter(self, AccessMode::Read);
        const Shape& shape = entry.record().shape;
        OwnedRef list = check_owned(PyList_New(static_cast<Py_ssize_t>(shape.size())));
        for (std::size_t i = 0; i < shape.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(shape[i])));
        }
        return list.release();
    });
}

PyObject* get_dtype(PyObject* self, void*) {
    return guarded([&] { return new_str(dtype_name(enter(self, AccessMode::Read).record().dtype)); });
}

PyObject* get_device(PyObject* self, void*) {
    return guarded([&] { return new_str(device_name(enter(self, AccessMode::Read).record().device)); });
}

PyObject* get_requires_grad(PyObject* self, void*) {
    return guarded([&] { return PyBool_FromLong(enter(self, AccessMode::Read).record().requires_grad); });
}

PyObject* data(PyObject* self, PyObject*) {
    return guarded([&] {
        TensorEntry entry = enter(self, AccessMode::Read);
        std::span<const float> elements = f32_elements_or_raise(entry.record());
        OwnedRef list = check_owned(PyList_New(static_cast<Py_ssize_t>(elements.size())));
        for (std::size_t i = 0; i < elements.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(elements[i])));
        }
        return list.release();
    });
}

PyObject* item(PyObject* self, PyObject*) {
    return guarded([&] {
        TensorEntry entry = enter(self, AccessMode::Read);
        std::span<const float> elements = f32_elements_or_raise(entry.record());
        if (elements.empty()) raise(PyExc_ValueError, "Cannot extract item from an empty tensor");
        return check(PyFloat_FromDouble(elements[0]));
    });
}

template <Result<Tensor> (*Operation)(const Tensor&)>
PyObject* unary_operation(PyObject* self, PyObject*) {
    return guarded([&] {
        TensorEntry entry = enter(self, AccessMode::Read);
        return wrap_result(Operation(entry.record()));
    });
}

PyObject* matmul_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr const char* parameters[] = {"other"};
        static constexpr Signature signature{"Tensor.matmul", parameters, 1};
        PyObject* other = nullptr;
        bind_arguments(signature, args, nargs, kwnames, {&other, 1});
        TensorEntry lhs = enter(self, AccessMode::Read);
        TensorEntry rhs = enter_argument(other, "other", AccessMode::Read);
        return wrap_result(matmul(lhs.record(), rhs.record()));
    });
}

template <Result<Tensor> (*Operation)(const Tensor&, const Tensor&)>
PyObject* binary_operator(PyObject* left, PyObject* right) {
    return guarded([&] {
        std::optional<TensorEntry> lhs = enter_operand(left);
        if (!lhs) return Py_NewRef(Py_NotImplemented);
        std::optional<TensorEntry> rhs = enter_operand(right);
        if (!rhs) return Py_NewRef(Py_NotImplemented);
        return wrap_result(Operation(lhs->record(), rhs->record()));
    });
}

const PyMethodDef core_methods[] = {
    {"item", item, METH_NOARGS, "item($self)\n--\n\n"},
    {"data", data, METH_NOARGS, "data($self)\n--\n\nReturns the raw data as a flat Python list of floats."},
    {"tolist", data, METH_NOARGS,
     "tolist($self)\n--\n\nAlias for data() \xE2\x80\x94 returns the tensor's contents as a flat list."},
    {"matmul", as_method(matmul_method),
     METH_FASTCALL | METH_KEYWORDS, "matmul($self, other)\n--\n\n"},
    {"relu", unary_operation<relu>, METH_NOARGS, "relu($self)\n--\n\n"},
    {"sigmoid", unary_operation<sigmoid>, METH_NOARGS, "sigmoid($self)\n--\n\n"},
    {"sum", unary_operation<sum>, METH_NOARGS, "sum($self)\n--\n\n"},
};

}  // namespace

PyGetSetDef tensor_properties[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::span<const PyMethodDef> tensor_core_methods() { return core_methods; }

PyObject* tensor_add(PyObject* left, PyObject* right) { return binary_operator<add>(left, right); }
PyObject* tensor_multiply(PyObject* left, PyObject* right) { return binary_operator<mul>(left, right); }

}  // namespace quvarin::py
