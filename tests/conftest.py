"""Shared helpers for the quvarin test suite."""

import ctypes
import re
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path

import numpy as np
import pytest

import quvarin as qv  # a missing module must fail the run, not skip it


def _panic_type():
    try:
        qv.Tensor()
    except BaseException as exc:  # the constructor always refuses
        return type(exc)
    raise AssertionError("quvarin.Tensor() did not raise")


PanicException = _panic_type()

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def pytest_sessionfinish(session):
    """On a free-threaded interpreter the run fails if anything turned the GIL back on."""
    if FREE_THREADED and sys._is_gil_enabled():
        print("\nThe GIL was enabled during the run.", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


# --- the library's error texts ----------------------------------------------------------------------
# Every test that expects one of the library's own texts takes it from here, and the fuzz tests accept
# exactly these. A {} marks a part that varies: fill it with str.format; `.regex` matches the whole
# text, with the pattern given for each part (captured as a group).


class ErrorText(str):
    def __new__(cls, template, *parts):
        text = super().__new__(cls, template)
        pieces = template.split("{}")
        assert len(pieces) == len(parts) + 1, template
        pattern = "".join(re.escape(piece) + f"({part})" for piece, part in zip(pieces, parts))
        text.regex = re.compile(pattern + re.escape(pieces[-1]), re.S)
        return text


_SHAPE = r"\[[0-9, ]*\]"
_DTYPE = r"[a-zA-Z0-9 ]+"
_COUNT = r"\d+"

SHAPE_MISMATCH = ErrorText("ShapeMismatch: Operation expected shape {}, but got {}", _SHAPE, _SHAPE)
DTYPE_MISMATCH = ErrorText("DTypeMismatch: Operation expected dtype '{}', but found '{}'", _DTYPE, _DTYPE)
F32_MISMATCH = DTYPE_MISMATCH.format("float32", "other CPU dtype")  # an operand that is not float32
NOT_REQUIRES_GRAD = ErrorText("AutogradError: Cannot call backward() on a tensor where requires_grad is false.")
NOT_F32_SEED = ErrorText("AutogradError: Phase 3 backward engine currently only supports CPU Float32 seeding.")
GRADIENT_MISSING = ErrorText("AutogradError: Gradient missing")  # an elementwise product's node
GRADIENT_MISSING_FOR = ErrorText("AutogradError: Gradient missing for {} Output", "ReLU|Sigmoid|MatMul|Sum")
GRADIENT_MISSING_FOR_ID = ErrorText("AutogradError: Gradient missing for Output ID TensorId({})", _COUNT)  # +'s node
GRADIENT_SHAPE_MISMATCH = ErrorText("Gradient shape mismatch")
EMPTY_ITEM = ErrorText("Cannot extract item from an empty tensor")
DATA_LENGTH_MISMATCH = ErrorText("Data length {} does not match shape capacity {}", _COUNT, _COUNT)
TOO_MANY_ELEMENTS = ErrorText("Shape has more elements than a 64-bit count can hold")
INVALID_DEVICE = ErrorText("Invalid device string: {}", ".*")
SCALAR_SLICE = ErrorText("Cannot slice rows from a scalar tensor")
ROW_OUT_OF_RANGE = ErrorText("Row index {} out of range for tensor with {} rows", "-?" + _COUNT, _COUNT)
GENERAL_INDEXING = ErrorText("General indexing not yet supported. Use slice_rows() for row selection.")
INPLACE_INDEXING = ErrorText("In-place indexing not yet supported.")
NO_DELETE = ErrorText("can't delete item")
NO_NUMPY = ErrorText("Numpy interoperability is not yet implemented")
NO_DLPACK = ErrorText("DLPack is not yet implemented")
TENSOR_F32_ONLY = ErrorText("tensor creation currently only supports float32 CPU")
ONES_F32_ONLY = ErrorText("ones is currently only supported for float32 CPU")
ALREADY_BORROWED = ErrorText("Already borrowed")  # a write while the tensor is read
ALREADY_MUTABLY_BORROWED = ErrorText("Already mutably borrowed")  # any use while it is written
CONSTRUCTOR_REFUSED = ErrorText("not implemented: Please use creation functions like zeros or ones")
CAPACITY_OVERFLOW = ErrorText("capacity overflow")
UNSENDABLE = ErrorText(
    "assertion `left == right` failed: quvarin::tensor::core::Tensor is unsendable, but sent to another thread"
)
FOREIGN_USE = ErrorText(UNSENDABLE + "\n  left: ThreadId({})\n right: ThreadId({})", _COUNT, _COUNT)  # caller, owner
DROPPED_ELSEWHERE = ErrorText("quvarin::tensor::core::Tensor is unsendable, but is being dropped on another thread")

DOCUMENTED_ERRORS = {
    ValueError: [SHAPE_MISMATCH, DTYPE_MISMATCH, NOT_REQUIRES_GRAD, NOT_F32_SEED, GRADIENT_MISSING,
                 GRADIENT_MISSING_FOR, GRADIENT_MISSING_FOR_ID, GRADIENT_SHAPE_MISMATCH, EMPTY_ITEM,
                 DATA_LENGTH_MISMATCH, TOO_MANY_ELEMENTS, INVALID_DEVICE],
    IndexError: [SCALAR_SLICE, ROW_OUT_OF_RANGE],
    NotImplementedError: [GENERAL_INDEXING, INPLACE_INDEXING, NO_DELETE, NO_NUMPY, NO_DLPACK, TENSOR_F32_ONLY,
                          ONES_F32_ONLY],
    RuntimeError: [ALREADY_BORROWED, ALREADY_MUTABLY_BORROWED],
    PanicException: [CONSTRUCTOR_REFUSED, CAPACITY_OVERFLOW, FOREIGN_USE],
}


def documented_error(exc_type, text):
    """The entry of DOCUMENTED_ERRORS that text is, or None."""
    return next((known for known in DOCUMENTED_ERRORS.get(exc_type, ()) if known.regex.fullmatch(text)), None)


def missing_argument(qualname, parameter):
    """The binding's text for a call without its one required argument."""
    return f"{qualname}() missing 1 required positional argument: '{parameter}'"


# --- the Tensor class's members -----------------------------------------------------------------------
# Every test that goes over the whole class takes the names from here; test_module checks them against
# the class, so a member added later is missed by none of those tests.

TENSOR_PROPERTIES = ("shape", "dtype", "device", "requires_grad")
TENSOR_METHODS = {  # name: parameters after self
    "item": (), "data": (), "tolist": (), "relu": (), "sigmoid": (), "sum": (), "backward": (), "numpy": (),
    "__dlpack_device__": (),
    "matmul": ("other",), "apply_sgd_step": ("lr",), "slice_rows": ("index",), "__dlpack__": ("_stream",),
}
TENSOR_STATIC_METHODS = {"from_numpy": ("_array",)}
TENSOR_SLOTS = {  # the operator and subscription slots the class fills: parameters after self
    "__add__": ("other",), "__radd__": ("other",), "__mul__": ("other",), "__rmul__": ("other",),
    "__getitem__": ("key",), "__setitem__": ("key", "value"), "__delitem__": ("key",),
}
NO_ARGUMENT_METHODS = [name for name, parameters in TENSOR_METHODS.items() if not parameters]


def plausible_arguments(parameters, other):
    """Values the parameters accept, for calls whose outcome does not depend on them; other: a tensor."""
    values = {"other": other, "lr": 0.1, "index": 0, "_stream": None, "_array": None}
    return [values[parameter] for parameter in parameters]


def _member_use(name, parameters):
    return lambda t, u: getattr(t, name)(*plausible_arguments(parameters, u))


def _setitem(t):
    t[0] = 1.0


def _delitem(t):
    del t[0]


# Every way in to a tensor t: each member once with arguments it accepts, each method with parameters
# called without them, and the paths that reach t as an operand or past a refused argument; u is another
# tensor. name: use(t, u)
TENSOR_USES = {
    **{name: (lambda t, u, name=name: getattr(t, name)) for name in TENSOR_PROPERTIES},
    **{name: _member_use(name, parameters) for name, parameters in {**TENSOR_METHODS, **TENSOR_STATIC_METHODS}.items()},
    **{f"{name}-missing": (lambda t, u, name=name: getattr(t, name)())
       for name, parameters in TENSOR_METHODS.items() if parameters},
    "apply_sgd_step-bad-lr": lambda t, u: t.apply_sgd_step("x"),
    "matmul-bad-other": lambda t, u: t.matmul(5),
    "matmul-other": lambda t, u: u.matmul(t),
    "matmul-self": lambda t, u: t.matmul(t),
    "slice_rows-bad-index": lambda t, u: t.slice_rows("x"),
    "add": lambda t, u: t + u,
    "add-right": lambda t, u: u + t,
    "add-self": lambda t, u: t + t,
    "add-int": lambda t, u: t + 1,
    "int-add": lambda t, u: 1 + t,
    "mul": lambda t, u: t * u,
    "mul-right": lambda t, u: u * t,
    "getitem": lambda t, u: t[0],
    "setitem": lambda t, u: _setitem(t),
    "delitem": lambda t, u: _delitem(t),
    "repr": lambda t, u: repr(t),
    "hash": lambda t, u: hash(t),
}


# --- the dispatch's thresholds ---------------------------------------------------------------------------
# The output size from which an operation takes another path, as quvarin_kernel_report --thresholds reads
# it from the dispatch (the program is built with the C++ tests). Where it is not built, or does not run
# (a wheel tested on a system of its own), the stub's figure stands in for sigmoid's: the documentation
# check compares the two wherever the program runs.

ROOT = Path(__file__).resolve().parent.parent
KERNEL_REPORT = ROOT / "build" / "core-tests" / "quvarin-core" / "tests" / "quvarin_kernel_report"


def _reported_thresholds():
    """{operation: (path, elements)} from the kernel report, or the reason it is not available."""
    try:
        report = subprocess.run([KERNEL_REPORT, "--thresholds"], capture_output=True, text=True, timeout=60)
    except OSError as exc:
        return f"{KERNEL_REPORT.name} does not run here: {exc}"
    if report.returncode != 0:
        return f"{KERNEL_REPORT.name} failed here: {report.stderr.strip()}"
    return {operation: (path, int(count)) for operation, path, count in
            (line.split("\t") for line in report.stdout.splitlines())}


DISPATCH_THRESHOLDS = _reported_thresholds()  # or why there are none
STUB_PARALLEL_SIGMOID = re.compile(r"From (\d+) elements on, the elements are computed on an OpenMP pool")


def _documented_parallel_sigmoid():
    return int(STUB_PARALLEL_SIGMOID.search((ROOT / "quvarin-py" / "quvarin.pyi").read_text(encoding="utf-8"))[1])


PARALLEL_SIGMOID = (DISPATCH_THRESHOLDS["sigmoid"][1] if isinstance(DISPATCH_THRESHOLDS, dict)
                    else _documented_parallel_sigmoid())  # from this many elements on, sigmoid runs on the pool


# --- values ------------------------------------------------------------------------------------------

DTYPE_NAMES = ["float32", "float16", "bfloat16", "int32", "int8"]
DTYPES = [getattr(qv, name) for name in DTYPE_NAMES]
NON_F32_DTYPES = DTYPES[1:]


def t32(array, requires_grad=False):
    """A tensor of array's float32 values and shape."""
    array = np.asarray(array, dtype=np.float32)
    return qv.tensor(array.ravel().tolist(), list(array.shape), requires_grad=requires_grad)


def f32bits(values):
    """The float32 bit patterns of values, flattened, as a tuple."""
    return tuple(np.asarray(values, dtype=np.float32).ravel().view(np.uint32).tolist())


def f32bits_any_nan(values):
    """As f32bits, with every NaN one pattern: a NaN result's sign and payload are left open by IEEE 754
    and chosen by the CPU, the compiler's operand order and the interpreter's build."""
    array = np.asarray(values, dtype=np.float32).ravel()
    return tuple(np.where(np.isnan(array), np.uint32(0x7FC00000), array.view(np.uint32)).tolist())


class Outer:
    class Inner:  # named 'Outer.Inner' in the binding's messages
        pass


# --- interpreter reference messages -------------------------------------------------------------
# The binding layer prefixes the interpreter's own conversion messages; these calls reproduce
# exactly what the interpreter says for the same value, whatever its version.

_api = ctypes.pythonapi
_as_double = _api.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]
_number_index = _api.PyNumber_Index
_number_index.restype = ctypes.py_object
_number_index.argtypes = [ctypes.py_object]


def _failure(fn, value):
    try:
        fn(value)
    except Exception as exc:
        return exc
    raise AssertionError(f"{value!r} converted without error")


def float_conversion_error(value):
    """The exception the interpreter's float conversion raises for value."""
    return _failure(_as_double, value)


def index_conversion_error(value):
    """The exception the interpreter's integer-index conversion raises for value."""
    return _failure(_number_index, value)


# --- numbers by protocol ----------------------------------------------------------------------------


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    """A float only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):  # shown in the examples the fuzz tests report
        return f"FloatLike({self.value!r})"


class Raises:
    """A number whose conversions raise the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


class Interrupt(BaseException):
    pass


class LyingLength:
    """A sequence whose length reports `length` items, whatever iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


# --- threads ---------------------------------------------------------------------------------------


class quiet_gc:
    """Collects cyclic garbage now and keeps the collector off while other threads run.

    Frames kept alive by exception tracebacks hold tensors in reference cycles; a collection
    triggered on another thread would drop them there, which the library reports as an error.
    """

    def __enter__(self):
        import gc

        gc.collect()
        self.was_enabled = gc.isenabled()
        gc.disable()
        return self

    def __exit__(self, *exc):
        import gc

        if self.was_enabled:
            gc.enable()


# For pytest-run-parallel: a test that calls run_in_thread runs alone, quiet_gc stopping the whole
# process's collector.
ON_A_NEW_THREAD = pytest.mark.thread_unsafe(reason="runs code on a new thread with the collector stopped")


def run_in_thread(fn, *args):
    """Runs fn on a new thread; returns ("ok", result) or ("raised", exception)."""
    box = {}

    def body():
        try:
            box["out"] = ("ok", fn(*args))
        except BaseException as exc:  # PanicException derives from BaseException
            # the traceback would keep this thread's tensors alive until another thread drops them
            exc.__traceback__ = None
            box["out"] = ("raised", exc)

    with quiet_gc():
        worker = threading.Thread(target=body)
        worker.start()
        worker.join()
    return box["out"]


def is_panic(exc):
    return type(exc).__qualname__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


# --- autograd probes ---------------------------------------------------------------------------------
# Ids and the tape are not visible from Python, but a node whose result never received a gradient
# fails the next backward pass with a message naming that result (addition names its TensorId).


def backward_error(tensor):
    """The message of the ValueError raised by tensor.backward(), or None on success."""
    try:
        tensor.backward()
    except ValueError as exc:
        return str(exc)
    return None


def drain_tape():
    """Empties this thread's tape (a backward pass drains it whether it succeeds or not)."""
    backward_error(qv.zeros([1], requires_grad=True))


def tape_is_empty():
    """True when this thread's tape holds no node (a fresh leaf's backward then succeeds)."""
    return backward_error(qv.zeros([1], requires_grad=True)) is None


# For pytest-run-parallel: ids are drawn by the whole process, so a test that counts them runs alone.
COUNTS_IDS = pytest.mark.thread_unsafe(reason="counts the ids that every thread draws from")


def next_id():
    """The id the next tensor created on any thread will receive (after this probe)."""
    a = qv.zeros([1], requires_grad=True)  # id k
    c = a + a  # id k+1, the last node on the tape
    d = qv.zeros([1], requires_grad=True)  # id k+2
    message = backward_error(d)
    assert message is not None, "probe node was not recorded"
    match = GRADIENT_MISSING_FOR_ID.regex.fullmatch(message)
    assert match, message
    del c
    return int(match.group(1)) + 2


class GradProbe:
    """Reads the exact gradient that reaches a value: use `probe.attach(t)` in place of t.

    attach() returns t + z with z a zero leaf that requires gradients; the addition hands its
    result's gradient g unchanged to z, and z.apply_sgd_step(1.0) leaves 0 - 1*g = -g in z.
    """

    def __init__(self, shape):
        self.zero = qv.zeros(shape, requires_grad=True)

    def attach(self, tensor):
        return tensor + self.zero

    def read(self):
        self.zero.apply_sgd_step(1.0)
        return [-v + 0.0 for v in self.zero.data()]


@pytest.fixture(autouse=True)
def _fresh_tape():
    """Each test starts with an empty tape on the main thread, whatever earlier tests left."""
    try:
        drain_tape()
        drain_tape()
    except Exception:  # before backward() exists the probe itself fails; nothing to drain then
        pass
    yield


def rss_bytes():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    import os

    return pages * os.sysconf("SC_PAGE_SIZE")


def thread_count():
    import os

    return len(os.listdir("/proc/self/task"))


PY = sys.executable
