#include "dtype_device.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/type_object.hpp"
#include "binding/type_names.hpp"
#include "tensor/device.hpp"

namespace quvarin::py {
namespace {

struct DTypeObject {
    PyObject_HEAD
    DType value;
};

PyObject* dtype_str(PyObject* self) {
    const std::string_view name = dtype_name(reinterpret_cast<DTypeObject*>(self)->value);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr const char* parameters[] = {"name"};
        static constexpr Signature signature{"Device.__new__", parameters, 1};
        PyObject* name = nullptr;
        bind_arguments(signature, args, kwargs, {&name, 1});
        const std::string_view text = convert_argument("name", name, [](PyObject* value) {
            if (!PyUnicode_Check(value)) raise_not_an_instance(value, "str");
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
            if (utf8 == nullptr) throw PythonErrorSet{};
            return std::string_view(utf8, static_cast<std::size_t>(size));
        });
        if (text != device_name(Device::Cpu)) {
            PyErr_Format(PyExc_ValueError, "Invalid device string: %U", name);
            throw PythonErrorSet{};
        }
        return check(type->tp_alloc(type, 0));
    });
}

PyObject* device_str(PyObject*) {
    const std::string_view name = device_name(Device::Cpu);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

BuiltOnce<PyTypeObject> built_dtype_type;
BuiltOnce<PyTypeObject> built_device_type;

}  // namespace

PyTypeObject* dtype_type() {
    static PyType_Slot slots[] = {
        {Py_tp_str, reinterpret_cast<void*>(dtype_str)},
        {0, nullptr},
    };
    static PyType_Spec description = {"quvarin.DType", sizeof(DTypeObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return type_object_once(built_dtype_type, description, "DType");
}

PyTypeObject* device_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Device(name)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(device_new)},
        {Py_tp_str, reinterpret_cast<void*>(device_str)},
        {0, nullptr},
    };
    static PyType_Spec description = {"quvarin.Device", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return type_object_once(built_device_type, description, "Device");
}

PyObject* new_dtype_object(DType value) {
    PyTypeObject* type = dtype_type();
    PyObject* object = check(type->tp_alloc(type, 0));
    reinterpret_cast<DTypeObject*>(object)->value = value;
    return object;
}

std::optional<DType> to_optional_dtype(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (Py_TYPE(value) != dtype_type()) raise_not_an_instance(value, "DType");
    return reinterpret_cast<DTypeObject*>(value)->value;
}

void check_optional_device(PyObject* value) {
    if (value == nullptr || value == Py_None) return;
    if (Py_TYPE(value) != device_type()) raise_not_an_instance(value, "Device");
}

}  // namespace quvarin::py
