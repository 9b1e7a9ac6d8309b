#pragma once

#include "binding/python.hpp"

namespace quvarin::py {

// An object's exported buffer, released when the view goes out of scope.
// Neither copied nor moved: the buffer protocol does not promise that a
// filled-in Py_buffer may change its address.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }

    // Asks exporter for its buffer (PyObject_GetBuffer's flags); false, with
    // the exporter's exception pending, when it exports none.
    bool acquire(PyObject* exporter, int flags) {
        if (PyObject_GetBuffer(exporter, &view_, flags) == 0) return true;
        view_.obj = nullptr;
        return false;
    }

    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
};

}  // namespace quvarin::py
