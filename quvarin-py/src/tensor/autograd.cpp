// Gradients of the last backward pass and the SGD step that consumes them.
#include <optional>

#include "autograd/tape/engine.hpp"
#include "backends/cpu/elementwise_loops.hpp"
#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "tensor/methods.hpp"
#include "tensor/object.hpp"
#include "tensor/panic.hpp"

namespace quvarin::py {
namespace {

// The gradient map of this thread's last successful backward(), with a
// re-entrancy guard: shared readers, one writer. No other thread sees it.
class LastGradients {
public:
    void replace(autograd::GradientMap gradients) {
        if (readers_ != 0) throw Panic("last_gradients is in use");
        gradients_.emplace(std::move(gradients));
    }

    // Runs use(const GradientMap*) with the map (nullptr when there is none)
    // held for reading.
    template <class Use>
    auto read(Use&& use) {
        ++readers_;
        struct Release {
            int& readers;
            ~Release() { --readers; }
        } release{readers_};
        return use(gradients_ ? &*gradients_ : nullptr);
    }

private:
    std::optional<autograd::GradientMap> gradients_;
    int readers_ = 0;
};

thread_local LastGradients last_gradients;

PyObject* backward(PyObject* self, PyObject*) {
    return guarded([&] {
        TensorEntry entry = enter(self, AccessMode::Read);
        Result<autograd::GradientMap> gradients = autograd::run_backward(entry.record());
        if (!gradients.ok()) raise_tensor_error(gradients.error());
        last_gradients.replace(std::move(gradients.value()));
        Py_RETURN_NONE;
    });
}

// p - (lr * g) element by element, in two roundings; nothing when this thread
// holds no gradient for the tensor.
std::optional<F32Buffer> sgd_step(const Tensor& parameter, float lr) {
    return last_gradients.read([&](const autograd::GradientMap* gradients) -> std::optional<F32Buffer> {
        if (gradients == nullptr) return std::nullopt;
        const Storage* gradient = gradients->find(parameter.id);
        if (gradient == nullptr) return std::nullopt;
        Result<std::span<const float>> p = as_f32_slice(parameter);
        if (!p.ok()) raise_tensor_error(p.error());
        Result<std::span<const float>> g = as_f32_slice(*gradient);
        if (!g.ok()) raise_tensor_error(g.error());
        if (p.value().size() != g.value().size()) raise(PyExc_ValueError, "Gradient shape mismatch");
        F32Buffer updated = make_f32_buffer(p.value().size());
        cpu::sgd_step_values(p.value(), g.value(), lr, updated);
        return updated;
    });
}

PyObject* apply_sgd_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr const char* parameters[] = {"lr"};
        static constexpr Signature signature{"Tensor.apply_sgd_step", parameters, 1};
        PyObject* lr_argument = nullptr;
        bind_arguments(signature, args, nargs, kwnames, {&lr_argument, 1});
        TensorEntry entry = enter(self, AccessMode::Write);
        // Converted under write access: a __float__ that touches this tensor
        // meets "Already mutably borrowed".
        const auto lr = static_cast<float>(convert_argument("lr", lr_argument, to_double));
        std::optional<F32Buffer> updated = sgd_step(entry.record(), lr);
        if (updated) entry.record().storage = Storage::from_f32(std::move(*updated));
        Py_RETURN_NONE;
    });
}

const PyMethodDef autograd_methods[] = {
    {"backward", backward, METH_NOARGS, "backward($self)\n--\n\n"},
    {"apply_sgd_step", as_method(apply_sgd_step),
     METH_FASTCALL | METH_KEYWORDS, "apply_sgd_step($self, lr)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> tensor_autograd_methods() { return autograd_methods; }

}  // namespace quvarin::py
