// Row slicing, and the subscription forms that point users to it.
#include <algorithm>
#include <string>

#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "tensor/methods.hpp"
#include "tensor/object.hpp"
#include "tensor/panic.hpp"

namespace quvarin::py {
namespace {

// A copy of row `index` (negative counts from the end) as a new leaf tensor.
Tensor copy_row(const Tensor& source, std::int64_t index) {
    if (source.shape.empty()) raise(PyExc_IndexError, "Cannot slice rows from a scalar tensor");
    const std::uint64_t rows = source.shape[0];
    // 128-bit so that neither index + rows nor the comparison can wrap.
    const __int128 row = index < 0 ? static_cast<__int128>(index) + rows : static_cast<__int128>(index);
    if (row < 0 || row >= static_cast<__int128>(rows)) {
        raise(PyExc_IndexError, "Row index " + std::to_string(index) + " out of range for tensor with " +
                                    std::to_string(rows) + " rows");
    }
    Result<std::span<const float>> elements = as_f32_slice(source);
    if (!elements.ok()) raise_tensor_error(elements.error());

    Shape row_shape(source.shape.begin() + 1, source.shape.end());
    const std::optional<std::uint64_t> row_length = checked_numel(row_shape);
    const auto first = static_cast<unsigned __int128>(row) * row_length.value_or(0);
    if (!row_length || first + *row_length > elements.value().size()) {
        throw Panic("row range lies outside the tensor's storage");
    }
    F32Buffer copy = make_f32_buffer(*row_length);
    std::copy_n(elements.value().begin() + static_cast<std::ptrdiff_t>(first), copy.size(), copy.begin());
    if (row_shape.empty()) row_shape.push_back(1);
    return Tensor(Storage::from_f32(std::move(copy)), std::move(row_shape), source.requires_grad, source.dtype);
}

PyObject* slice_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr const char* parameters[] = {"index"};
        static constexpr Signature signature{"Tensor.slice_rows", parameters, 1};
        PyObject* index = nullptr;
        bind_arguments(signature, args, nargs, kwnames, {&index, 1});
        TensorEntry entry = enter(self, AccessMode::Read);
        const std::int64_t row = convert_argument("index", index, to_int64);
        return wrap_tensor(copy_row(entry.record(), row));
    });
}

const PyMethodDef indexing_methods[] = {
    {"slice_rows", as_method(slice_rows),
     METH_FASTCALL | METH_KEYWORDS,
     "slice_rows($self, index)\n--\n\n"
     "Extracts a single row (or contiguous range of rows) from a 2D+ tensor.\n"
     "\n"
     "For a tensor of shape [N, ...], slice_rows(i) returns a tensor of shape [...],\n"
     "containing a copy of the data at row i.\n"
     "\n"
     "This is the primary mechanism for DataLoader batch construction."},
};

}  // namespace

std::span<const PyMethodDef> tensor_indexing_methods() { return indexing_methods; }

PyObject* tensor_subscript(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        TensorEntry entry = enter(self, AccessMode::Read);
        raise(PyExc_NotImplementedError, "General indexing not yet supported. Use slice_rows() for row selection.");
    });
}

int tensor_assign_subscript(PyObject* self, PyObject*, PyObject* value) {
    return guarded_status([&]() -> int {
        if (value == nullptr) raise(PyExc_NotImplementedError, "can't delete item");
        TensorEntry entry = enter(self, AccessMode::Read);
        raise(PyExc_NotImplementedError, "In-place indexing not yet supported.");
    });
}

}  // namespace quvarin::py
