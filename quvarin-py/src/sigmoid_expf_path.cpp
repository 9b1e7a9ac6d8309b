#include "sigmoid_expf_path.hpp"

#include <string>

#include "backends/cpu/sigmoid_path.hpp"
#include "binding/errors.hpp"

namespace quvarin::py {
namespace {

PyObject* sigmoid_expf_path(PyObject*, PyObject*) {
    return guarded([] {
        const std::string& text = cpu::sigmoid_path().description;
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

}  // namespace

PyMethodDef sigmoid_expf_path_definition = {"_sigmoid_expf_path", sigmoid_expf_path, METH_NOARGS,
                                            "_sigmoid_expf_path()\n--\n\n"};

}  // namespace quvarin::py
