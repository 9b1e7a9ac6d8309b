#include "binding/conversions.hpp"

#include <algorithm>
#include <cstring>

#include "binding/array_data.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "binding/type_names.hpp"

namespace quvarin::py {
namespace {

// A length is only a hint: a sequence may report more items than it yields.
constexpr Py_ssize_t max_reserved_items = Py_ssize_t{1} << 24;

void require_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_not_an_instance(object, "Sequence");
}

Py_ssize_t length_hint(PyObject* sequence) {
    const Py_ssize_t length = PyObject_Size(sequence);
    if (length < 0) {
        // An error only means there is no hint; an interrupt or an exit is
        // the caller's.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorSet{};
        PyErr_Clear();
        return 0;
    }
    return std::min(length, max_reserved_items);
}

OwnedRef next_item(PyObject* iterator) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* item = nullptr;
    if (PyIter_NextItem(iterator, &item) < 0) throw PythonErrorSet{};
    return OwnedRef::steal(item);
#else
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr && PyErr_Occurred()) throw PythonErrorSet{};
    return OwnedRef::steal(item);
#endif
}

// Calls convert(item) for every item of a checked sequence.
template <class Convert>
void for_each_item(PyObject* sequence, Convert&& convert) {
    OwnedRef iterator = check_owned(PyObject_GetIter(sequence));
    for (OwnedRef item = next_item(iterator.get()); item; item = next_item(iterator.get())) {
        convert(item.get());
    }
}

std::uint64_t to_uint64(PyObject* value) {
    OwnedRef index = PyLong_Check(value) ? OwnedRef::borrow(value) : check_owned(PyNumber_Index(value));
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    return result;
}

bool is_numpy_bool(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    OwnedRef name = check_owned(PyType_GetName(type));
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return false;
    }
    OwnedRef module = check_owned(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

F32Buffer to_f32_buffer(PyObject* sequence) {
    require_sequence(sequence);
    if (std::optional<F32Buffer> values = read_array_data(sequence)) return std::move(*values);
    F32Buffer values;
    values.reserve(static_cast<std::size_t>(length_hint(sequence)));
    for_each_item(sequence, [&](PyObject* item) { values.push_back(static_cast<float>(to_double(item))); });
    return values;
}

Shape to_shape(PyObject* sequence) {
    require_sequence(sequence);
    Shape shape;
    shape.reserve(static_cast<std::size_t>(length_hint(sequence)));
    for_each_item(sequence, [&](PyObject* item) { shape.push_back(to_uint64(item)); });
    return shape;
}

bool to_bool(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    if (!is_numpy_bool(value)) raise_not_an_instance(value, "bool");
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw PythonErrorSet{};
    return truth == 1;
}

double to_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    return result;
}

std::int64_t to_int64(PyObject* value) {
    const long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    return result;
}

}  // namespace quvarin::py
