#include "binding/array_data.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/buffer_view.hpp"
#include "binding/errors.hpp"

namespace quvarin::py {
namespace {

enum class Exporter { NumPyArray, StdArray, MemoryView };

// A subclass may iterate differently from its base (or export another
// buffer), so only the exact types qualify. NumPy's ndarray is a static
// type: no class made in Python can take its name.
bool is_numpy_array(PyTypeObject* type) {
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && std::string_view(type->tp_name) == "numpy.ndarray";
}

// The type itself decides, not its name nor sys.modules, which a program
// may replace: array.array is made by the array extension module from that
// module's definition, and no class written in Python has one.
bool is_std_array(PyTypeObject* type) {
    if (std::string_view(type->tp_name) != "array.array" || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return false;
    }
    PyObject* module = PyType_GetModule(type);
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    const PyModuleDef* definition = PyModule_GetDef(module);
    return definition != nullptr && std::string_view(definition->m_name) == "array";
}

std::optional<Exporter> exporter_of(PyObject* data) {
    if (PyMemoryView_Check(data)) return Exporter::MemoryView;  // not subclassable
    PyTypeObject* type = Py_TYPE(data);
    if (is_numpy_array(type)) return Exporter::NumPyArray;
    if (is_std_array(type)) return Exporter::StdArray;
    return std::nullopt;
}

// The element type code of a format of native byte order and size ("f",
// "@f"); 0 for any other format.
char native_code(const char* format) {
    if (format[0] == '@') ++format;
    return format[0] != '\0' && format[1] == '\0' ? format[0] : '\0';
}

// The conversions, one per element type: to the float the interpreter makes
// of the item (float(x) of a NumPy scalar, of an int, of a bool), then to
// the nearest float32. A 64-bit integer thus rounds twice, to double first.
template <class Integer>
float integer_to_f32(Integer value) {
    return static_cast<float>(static_cast<double>(value));
}

float bool_to_f32(unsigned char value) { return value != 0 ? 1.0f : 0.0f; }

float f64_to_f32(double value) { return static_cast<float>(value); }

// float32 -> double -> float32 gives back every number; a NaN comes back
// quiet, its payload kept. The compiler folds the two conversions into none,
// so the quieting is written out.
float f32_to_f32(float value) {
    constexpr std::uint32_t magnitude = 0x7fffffffu, infinity = 0x7f800000u, quiet = 0x00400000u;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    return std::bit_cast<float>((bits & magnitude) > infinity ? bits | quiet : bits);
}

// IEEE binary16 to double exactly, as NumPy's float() of a float16 does (a
// NaN keeps its payload and stays signalling), then to float32.
float f16_to_f32(std::uint16_t half) {
    const std::uint64_t sign = std::uint64_t{half} >> 15 << 63;
    const unsigned exponent = (half >> 10) & 0x1f;
    const std::uint64_t fraction = half & 0x3ffu;
    double value;
    if (exponent == 0) {
        value = std::bit_cast<double>(std::bit_cast<std::uint64_t>(static_cast<double>(fraction) * 0x1p-24) | sign);
    } else {
        const std::uint64_t wide_exponent = exponent == 0x1f ? 0x7ff : exponent - 15 + 1023;
        value = std::bit_cast<double>(sign | wide_exponent << 52 | fraction << 42);
    }
    return static_cast<float>(value);
}

// count elements from first on, stride bytes apart, through convert into
// out; contiguous elements in a loop of their own, which the compiler
// vectorises, but only out of line: inlined into the dispatch below, GCC 12
// leaves both loops scalar.
template <class Element, float (*convert)(Element)>
[[gnu::noinline]] void convert_elements(const char* first, Py_ssize_t stride, std::size_t count, float* out) {
    auto element = [](const char* at) {
        Element value;
        std::memcpy(&value, at, sizeof value);
        return value;
    };
    if (stride == static_cast<Py_ssize_t>(sizeof(Element))) {
        for (std::size_t i = 0; i < count; ++i) out[i] = convert(element(first + i * sizeof(Element)));
    } else {
        for (std::size_t i = 0; i < count; ++i) out[i] = convert(element(first + static_cast<Py_ssize_t>(i) * stride));
    }
}

template <class Element, float (*convert)(Element)>
std::optional<F32Buffer> read_elements(const Py_buffer& view) {
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Element))) return std::nullopt;
    F32Buffer values = make_f32_buffer(static_cast<std::size_t>(view.shape[0]));
    convert_elements<Element, convert>(static_cast<const char*>(view.buf), view.strides[0], values.size(), values.data());
    return values;
}

// Only the codes whose items every exporter here converts to numbers;
// memoryview cannot iterate float16 ("e") and raises NotImplementedError.
std::optional<F32Buffer> read_view(const Py_buffer& view, Exporter exporter) {
    switch (native_code(view.format)) {
        case 'b': return read_elements<signed char, integer_to_f32<signed char>>(view);
        case 'B': return read_elements<unsigned char, integer_to_f32<unsigned char>>(view);
        case 'h': return read_elements<short, integer_to_f32<short>>(view);
        case 'H': return read_elements<unsigned short, integer_to_f32<unsigned short>>(view);
        case 'i': return read_elements<int, integer_to_f32<int>>(view);
        case 'I': return read_elements<unsigned, integer_to_f32<unsigned>>(view);
        case 'l': return read_elements<long, integer_to_f32<long>>(view);
        case 'L': return read_elements<unsigned long, integer_to_f32<unsigned long>>(view);
        case 'q': return read_elements<long long, integer_to_f32<long long>>(view);
        case 'Q': return read_elements<unsigned long long, integer_to_f32<unsigned long long>>(view);
        case 'n': return read_elements<Py_ssize_t, integer_to_f32<Py_ssize_t>>(view);
        case 'N': return read_elements<std::size_t, integer_to_f32<std::size_t>>(view);
        case '?': return read_elements<unsigned char, bool_to_f32>(view);
        case 'f': return read_elements<float, f32_to_f32>(view);
        case 'd': return read_elements<double, f64_to_f32>(view);
        case 'e':
            if (exporter != Exporter::NumPyArray) return std::nullopt;
            return read_elements<std::uint16_t, f16_to_f32>(view);
        default: return std::nullopt;
    }
}

// Whether the pending exception of a failed buffer request says only that
// there is no buffer to read, so that iteration decides (NumPy refuses
// dtypes the buffer protocol cannot describe, datetimes among them, with a
// ValueError). Anything else is the caller's: a released memoryview's
// ValueError, which iterating raises too, an interrupt, a MemoryError.
bool refused_export(Exporter exporter) {
    if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_TypeError)) return true;
    return exporter == Exporter::NumPyArray && PyErr_ExceptionMatches(PyExc_ValueError);
}

}  // namespace

std::optional<F32Buffer> read_array_data(PyObject* data) {
    const std::optional<Exporter> exporter = exporter_of(data);
    if (!exporter) return std::nullopt;
    BufferView view;
    if (!view.acquire(data, PyBUF_RECORDS_RO)) {
        if (!refused_export(*exporter)) throw PythonErrorSet{};
        PyErr_Clear();
        return std::nullopt;
    }
    if (view.get().ndim != 1) return std::nullopt;
    return read_view(view.get(), *exporter);
}

}  // namespace quvarin::py
