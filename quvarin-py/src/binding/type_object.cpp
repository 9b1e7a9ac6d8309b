#include "binding/type_object.hpp"

#include <string>

#include "binding/errors.hpp"

namespace quvarin::py {

PyTypeObject* type_object_once(PyTypeObject*& built, PyType_Spec& description, const char* name) {
    if (built == nullptr) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&description));
        if (type == nullptr) raise_panic(std::string("failed to create type object for `") + name + "`");
        // Building may run Python code; another caller may have finished first.
        if (built == nullptr) {
            built = type;
        } else {
            Py_DECREF(type);
        }
    }
    return built;
}

}  // namespace quvarin::py
