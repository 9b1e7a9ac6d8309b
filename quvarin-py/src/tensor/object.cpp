#include "tensor/object.hpp"

#include <string>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/thread_identity.hpp"
#include "binding/type_object.hpp"
#include "binding/type_names.hpp"
#include "tensor/methods.hpp"

namespace quvarin::py {
namespace {

constexpr const char* type_path = "quvarin::tensor::core::Tensor";

constexpr const char* uninitialised_message =
    "uninitialised Tensor object: use creation functions like zeros or ones";

// The owner of a zero-filled object that wrap_tensor never filled in (made by
// object.__new__ through a replaced Tensor.__new__): it holds no record.
constexpr std::uint64_t no_owner = 0;

PyObject* tensor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"Tensor.__new__", {}, 0};
        bind_arguments(signature, args, kwargs, {});
        raise_panic("not implemented: Please use creation functions like zeros or ones");
    });
}

// Releasing a tensor on a thread other than its owner is reported to the
// unraisable hook; the record is freed all the same.
void report_foreign_drop() {
    OwnedRef pending = take_raised_exception();
    PyErr_SetString(PyExc_RuntimeError,
                    "quvarin::tensor::core::Tensor is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    restore_raised_exception(std::move(pending));
}

void tensor_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<TensorObject*>(self);
    if (object->owner_thread != no_owner) {
        if (object->owner_thread != current_thread_number()) report_foreign_drop();
        // Nothing in the record is bound to its thread: the storage count is
        // atomic and the lists are plain heap memory.
        object->record().~Tensor();
    }
    object->borrow_flag.~BorrowFlag();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

std::vector<PyMethodDef> merged_method_table() {
    std::vector<PyMethodDef> table;
    for (auto group : {tensor_core_methods(), tensor_autograd_methods(), tensor_indexing_methods(),
                       tensor_interop_methods()}) {
        table.insert(table.end(), group.begin(), group.end());
    }
    table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return table;
}

BuiltOnce<PyTypeObject> built_tensor_type;

}  // namespace

PyTypeObject* tensor_type() {
    // The type keeps pointers into the table for the life of the process.
    static std::vector<PyMethodDef> methods = merged_method_table();
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Tensor()\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, tensor_properties},
        {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
        {Py_nb_multiply, reinterpret_cast<void*>(tensor_multiply)},
        {Py_mp_subscript, reinterpret_cast<void*>(tensor_subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(tensor_assign_subscript)},
        {0, nullptr},
    };
    static PyType_Spec description = {"quvarin.Tensor", sizeof(TensorObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return type_object_once(built_tensor_type, description, "Tensor");
}

namespace {

[[noreturn]] void raise_sent_to_another_thread(const TensorObject* object) {
    raise_panic(std::string("assertion `left == right` failed: ") + type_path +
                " is unsendable, but sent to another thread\n  left: ThreadId(" +
                std::to_string(current_thread_number()) + ")\n right: ThreadId(" +
                std::to_string(object->owner_thread) + ")");
}

TensorObject* as_tensor_object(PyObject* object) {
    if (Py_TYPE(object) != tensor_type()) return nullptr;
    return reinterpret_cast<TensorObject*>(object);
}

TensorObject* owned_tensor_or_raise(PyObject* object, const char* parameter) {
    TensorObject* tensor = as_tensor_object(object);
    if (tensor == nullptr) {
        if (parameter == nullptr) raise_not_an_instance(object, "Tensor");
        convert_argument(parameter, object, [](PyObject* value) -> int { raise_not_an_instance(value, "Tensor"); });
    }
    if (tensor->owner_thread == no_owner) {
        if (parameter == nullptr) raise(PyExc_TypeError, uninitialised_message);
        convert_argument(parameter, object, [](PyObject*) -> int { raise(PyExc_TypeError, uninitialised_message); });
    }
    if (tensor->owner_thread != current_thread_number()) raise_sent_to_another_thread(tensor);
    return tensor;
}

}  // namespace

PyObject* wrap_tensor(Tensor record) {
    PyTypeObject* type = tensor_type();
    PyObject* self = check(type->tp_alloc(type, 0));
    auto* object = reinterpret_cast<TensorObject*>(self);
    new (&object->borrow_flag) BorrowFlag();
    object->owner_thread = current_thread_number();
    new (object->record_bytes) Tensor(std::move(record));
    return self;
}

TensorEntry enter(PyObject* object, AccessMode mode) {
    TensorObject* tensor = owned_tensor_or_raise(object, nullptr);
    return TensorEntry(tensor, access(tensor->borrow_flag, mode));
}

TensorEntry enter_argument(PyObject* object, const char* parameter, AccessMode mode) {
    TensorObject* tensor = owned_tensor_or_raise(object, parameter);
    return TensorEntry(tensor, access(tensor->borrow_flag, mode));
}

std::optional<TensorEntry> enter_operand(PyObject* object) {
    TensorObject* tensor = as_tensor_object(object);
    if (tensor == nullptr || tensor->owner_thread == no_owner) return std::nullopt;
    if (tensor->owner_thread != current_thread_number()) raise_sent_to_another_thread(tensor);
    std::optional<AccessGuard> guard = try_access(tensor->borrow_flag, AccessMode::Read);
    if (!guard) return std::nullopt;
    return TensorEntry(tensor, std::move(*guard));
}

}  // namespace quvarin::py
