#include "binding/type_object.hpp"

#include <string>

#include "binding/errors.hpp"

namespace quvarin::py {

PyTypeObject* type_object_once(BuiltOnce<PyTypeObject>& built, PyType_Spec& description, const char* name) {
    return built.get([&] {
        auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&description));
        if (type == nullptr) raise_panic(std::string("failed to create type object for `") + name + "`");
        return type;
    });
}

}  // namespace quvarin::py
