"""Shared helpers for the quvarin test suite."""

import ctypes
import re
import sys
import threading

import pytest

import quvarin as qv  # a missing module must fail the run, not skip it


def _panic_type():
    try:
        qv.Tensor()
    except BaseException as exc:  # the constructor always refuses
        return type(exc)
    raise AssertionError("quvarin.Tensor() did not raise")


PanicException = _panic_type()

# Exact texts shared by several test files.
F32_MISMATCH = "DTypeMismatch: Operation expected dtype 'float32', but found 'other CPU dtype'"
UNSENDABLE = (
    "assertion `left == right` failed: quvarin::tensor::core::Tensor is unsendable, "
    "but sent to another thread"
)
DROPPED_ELSEWHERE = "quvarin::tensor::core::Tensor is unsendable, but is being dropped on another thread"


# --- interpreter reference messages -------------------------------------------------------------
# The binding layer prefixes the interpreter's own conversion messages; these calls reproduce
# exactly what the interpreter says for the same value, whatever its version.

_api = ctypes.pythonapi
_as_double = _api.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]
_as_i64 = _api.PyLong_AsLongLong
_as_i64.restype = ctypes.c_longlong
_as_i64.argtypes = [ctypes.py_object]
_as_u64 = _api.PyLong_AsUnsignedLongLong
_as_u64.restype = ctypes.c_ulonglong
_as_u64.argtypes = [ctypes.py_object]
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

_ADD_MISSING = re.compile(r"AutogradError: Gradient missing for Output ID TensorId\((\d+)\)")


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


def next_id():
    """The id the next tensor created on any thread will receive (after this probe)."""
    a = qv.zeros([1], requires_grad=True)  # id k
    c = a + a  # id k+1, the last node on the tape
    d = qv.zeros([1], requires_grad=True)  # id k+2
    message = backward_error(d)
    assert message is not None, "probe node was not recorded"
    match = _ADD_MISSING.fullmatch(message)
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
