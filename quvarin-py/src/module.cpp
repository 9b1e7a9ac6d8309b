// Module initialisation: the definition handed to the interpreter and the
// execution step that adds the classes, functions and DType objects.
#include "binding/errors.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "binding/type_names.hpp"
#include "creation.hpp"
#include "dtype_device.hpp"
#include "tensor/object.hpp"

namespace quvarin::py {
namespace {

// Appends name to the module's __all__ (created when missing), then sets the
// attribute.
void add_entry(PyObject* module, PyObject* name, PyObject* value) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = check_owned(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorSet{};
    } else if (!PyList_Check(all.get())) {
        raise_not_an_instance(all.get(), "PyList");
    }
    if (PyList_Append(all.get(), name) < 0) raise_panic("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, name, value) < 0) throw PythonErrorSet{};
}

void add_named(PyObject* module, const char* name, PyObject* value) {
    OwnedRef text = check_owned(PyUnicode_FromString(name));
    add_entry(module, text.get(), value);
}

OwnedRef new_function(PyObject* module, PyMethodDef& definition) {
    OwnedRef module_name = check_owned(PyModule_GetNameObject(module));
    return check_owned(PyCMethod_New(&definition, module, module_name.get(), nullptr));
}

void add_function(PyObject* module, PyMethodDef& definition) {
    OwnedRef function = new_function(module, definition);
    OwnedRef name = check_owned(PyObject_GetAttrString(function.get(), "__name__"));
    add_entry(module, name.get(), function.get());
}

// A function left out of __all__.
void add_dtype(PyObject* module, DType value) {
    OwnedRef object = check_owned(new_dtype_object(value));
    add_named(module, dtype_name(value).data(), object.get());
}

int execute_module(PyObject* module) {
    return guarded_status([&] {
        if (!PyModule_Check(module)) raise_not_an_instance(module, "PyModule");
        add_named(module, "Tensor", reinterpret_cast<PyObject*>(tensor_type()));
        add_named(module, "Device", reinterpret_cast<PyObject*>(device_type()));
        add_named(module, "DType", reinterpret_cast<PyObject*>(dtype_type()));
        add_function(module, zeros_definition);
        add_function(module, ones_definition);
        add_function(module, tensor_definition);
        for (DType value : {DType::Float32, DType::Float16, DType::BFloat16, DType::Int32, DType::Int8}) {
            add_dtype(module, value);
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
#ifdef Py_mod_multiple_interpreters
    // Type objects are process-wide, so one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quvarin", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quvarin::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quvarin() {
    return PyModuleDef_Init(&quvarin::py::module_definition);
}
