// zeros, ones and tensor: the only ways to make a tensor from scratch.
#include "creation.hpp"

#include <optional>

#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "dtype_device.hpp"
#include "tensor/object.hpp"

namespace quvarin::py {
namespace {

// The shared tail of the three parameter lists, converted in order.
struct CreationOptions {
    std::optional<DType> dtype;
    bool requires_grad;
};

CreationOptions convert_options(PyObject* dtype, PyObject* device, PyObject* requires_grad) {
    CreationOptions options;
    options.dtype = convert_argument("dtype", dtype, to_optional_dtype);
    convert_argument("device", device, [](PyObject* value) {
        check_optional_device(value);
        return 0;
    });
    options.requires_grad =
        requires_grad != nullptr && convert_argument("requires_grad", requires_grad, to_bool);
    return options;
}

std::uint64_t element_count(const Shape& shape) {
    const std::optional<std::uint64_t> count = checked_numel(shape);
    if (!count) raise(PyExc_ValueError, "Shape has more elements than a 64-bit count can hold");
    return *count;
}

Shape convert_shape(PyObject* shape) { return convert_argument("shape", shape, to_shape); }

constexpr const char* shape_parameters[] = {"shape", "dtype", "device", "requires_grad"};
constexpr const char* data_parameters[] = {"data", "shape", "dtype", "device", "requires_grad"};

PyObject* zeros(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Signature signature{"zeros", shape_parameters, 1};
        PyObject* slots[4];
        bind_arguments(signature, args, nargs, kwnames, slots);
        Shape shape = convert_shape(slots[0]);
        const CreationOptions options = convert_options(slots[1], slots[2], slots[3]);
        const DType dtype = options.dtype.value_or(DType::Float32);
        Storage storage = Storage::zeros(dtype, element_count(shape));
        return wrap_tensor(Tensor(std::move(storage), std::move(shape), options.requires_grad, dtype));
    });
}

PyObject* ones(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Signature signature{"ones", shape_parameters, 1};
        PyObject* slots[4];
        bind_arguments(signature, args, nargs, kwnames, slots);
        Shape shape = convert_shape(slots[0]);
        const CreationOptions options = convert_options(slots[1], slots[2], slots[3]);
        const std::uint64_t count = element_count(shape);
        if (options.dtype.value_or(DType::Float32) != DType::Float32) {
            raise(PyExc_NotImplementedError, "ones is currently only supported for float32 CPU");
        }
        Storage storage = Storage::from_f32(make_f32_buffer(count, 1.0f));
        return wrap_tensor(Tensor(std::move(storage), std::move(shape), options.requires_grad, DType::Float32));
    });
}

PyObject* tensor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Signature signature{"tensor", data_parameters, 2};
        PyObject* slots[5];
        bind_arguments(signature, args, nargs, kwnames, slots);
        F32Buffer data = convert_argument("data", slots[0], to_f32_buffer);
        Shape shape = convert_shape(slots[1]);
        const CreationOptions options = convert_options(slots[2], slots[3], slots[4]);
        if (options.dtype.value_or(DType::Float32) != DType::Float32) {
            raise(PyExc_NotImplementedError, "tensor creation currently only supports float32 CPU");
        }
        const std::uint64_t count = element_count(shape);
        if (count != data.size()) {
            raise(PyExc_ValueError, "Data length " + std::to_string(data.size()) + " does not match shape capacity " +
                                        std::to_string(count));
        }
        Storage storage = Storage::from_f32(std::move(data));
        return wrap_tensor(Tensor(std::move(storage), std::move(shape), options.requires_grad, DType::Float32));
    });
}

}  // namespace

PyMethodDef zeros_definition = {"zeros", as_method(zeros), METH_FASTCALL | METH_KEYWORDS,
                                "zeros(shape, dtype=None, device=None, requires_grad=False)\n--\n\n"};
PyMethodDef ones_definition = {"ones", as_method(ones), METH_FASTCALL | METH_KEYWORDS,
                               "ones(shape, dtype=None, device=None, requires_grad=False)\n--\n\n"};
PyMethodDef tensor_definition = {"tensor", as_method(tensor), METH_FASTCALL | METH_KEYWORDS,
                                 "tensor(data, shape, dtype=None, device=None, requires_grad=False)\n--\n\n"};

}  // namespace quvarin::py
