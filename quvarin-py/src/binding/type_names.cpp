#include "binding/type_names.hpp"

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace quvarin::py {

void raise_not_an_instance(PyObject* object, const char* expected) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        throw PythonErrorSet{};
    }
    OwnedRef type_name = check_owned(PyType_GetQualName(Py_TYPE(object)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), expected);
    throw PythonErrorSet{};
}

}  // namespace quvarin::py
