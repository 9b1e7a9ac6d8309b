"""zeros, ones and tensor: argument binding, conversion rules, messages, resulting tensors."""

import array
import functools
import math
import struct
import sys
from fractions import Fraction
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from reliability_support import run_script
from conftest import (
    COUNTS_IDS, DATA_LENGTH_MISMATCH, DTYPES, F32_MISMATCH, GRADIENT_MISSING_FOR_ID, ONES_F32_ONLY, PY,
    TENSOR_F32_ONLY, FloatLike, Index, LyingLength, Outer, float_conversion_error, index_conversion_error,
    missing_argument, next_id, tape_is_empty,
)

import quvarin as qv


def bits(x):
    return struct.pack("<d", x)


# --- results ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, shape, data, requires_grad",
    [
        (lambda: qv.zeros([2, 3]), [2, 3], [0.0] * 6, False),
        (lambda: qv.zeros((2, 3)), [2, 3], [0.0] * 6, False),
        (lambda: qv.ones([2, 3]), [2, 3], [1.0] * 6, False),
        (lambda: qv.zeros([]), [], [0.0], False),
        (lambda: qv.ones(()), [], [1.0], False),
        (lambda: qv.tensor([7.0], []), [], [7.0], False),
        (lambda: qv.zeros([3, 0]), [3, 0], [], False),
        (lambda: qv.zeros([2, 0, 3]), [2, 0, 3], [], False),
        (lambda: qv.ones([0]), [0], [], False),
        (lambda: qv.tensor([], [0]), [0], [], False),
        (lambda: qv.tensor([], [4, 0]), [4, 0], [], False),
        (lambda: qv.tensor([1, 2, 3, 4, 5, 6], (2, 3)), [2, 3], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], False),
        (lambda: qv.tensor([True, 2], [2]), [2], [1.0, 2.0], False),
        (lambda: qv.tensor(data=[1.0], shape=[1]), [1], [1.0], False),
        (lambda: qv.tensor(shape=[1], data=[1.5], requires_grad=True), [1], [1.5], True),
        (lambda: qv.zeros([2], requires_grad=True), [2], [0.0, 0.0], True),
        (lambda: qv.ones([2], None, None, True), [2], [1.0, 1.0], True),
        (lambda: qv.zeros([2], requires_grad=np.True_), [2], [0.0, 0.0], True),
        (lambda: qv.zeros([2], requires_grad=np.bool_(False)), [2], [0.0, 0.0], False),
        (lambda: qv.ones([2], dtype=qv.float32), [2], [1.0, 1.0], False),
        (lambda: qv.ones([2], dtype=None), [2], [1.0, 1.0], False),
        (lambda: qv.tensor([1.0], [1], dtype=qv.float32, device=qv.Device("cpu")), [1], [1.0], False),
        (lambda: qv.zeros([2], device=qv.Device("cpu")), [2], [0.0, 0.0], False),
        (lambda: qv.zeros([1, 1, 1, 1, 1, 1, 1, 1]), [1] * 8, [0.0], False),
        (lambda: qv.zeros(range(2, 4)), [2, 3], [0.0] * 6, False),
        (lambda: qv.zeros(np.array([2, 1])), [2, 1], [0.0] * 2, False),
        (lambda: qv.zeros(b"\x02\x01"), [2, 1], [0.0] * 2, False),
        (lambda: qv.zeros([np.int64(2), Index(2), True]), [2, 2, 1], [0.0] * 4, False),
        (lambda: qv.tensor(np.array([1.5, 2.5]), [2]), [2], [1.5, 2.5], False),
        (lambda: qv.tensor(range(3), [3]), [3], [0.0, 1.0, 2.0], False),
        (lambda: qv.tensor(b"\x01\x02", [2]), [2], [1.0, 2.0], False),
        (lambda: qv.tensor((0.5, 0.25), [2, 1]), [2, 1], [0.5, 0.25], False),
        (lambda: qv.tensor([FloatLike(2.5), Index(3), Fraction(1, 4), Decimal("0.5"), np.float32(1.5)], [5]),
         [5], [2.5, 3.0, 0.25, 0.5, 1.5], False),
    ],
)
def test_created_tensor(make, shape, data, requires_grad):
    t = make()
    assert type(t) is qv.Tensor
    assert t.shape == shape
    assert t.data() == data
    assert t.requires_grad is requires_grad
    assert t.dtype == "float32"
    assert t.device == "cpu"


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_zeros_of_every_dtype(dtype):
    t = qv.zeros([2, 2], dtype=dtype)
    assert t.dtype == str(dtype)
    assert t.shape == [2, 2]
    assert t.device == "cpu"
    if dtype is qv.float32:
        assert t.data() == [0.0] * 4
    else:
        with pytest.raises(ValueError) as info:
            t.data()
        assert str(info.value) == F32_MISMATCH


def test_zeros_are_positive_zeros():
    assert all(math.copysign(1.0, v) == 1.0 for v in qv.zeros([5]).data())


def test_numpy_like_bool_named_in_numpy_module_is_accepted():
    fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    assert qv.zeros([1], requires_grad=fake()).requires_grad is True
    other = type("bool_", (), {"__module__": "not_numpy", "__bool__": lambda self: True})
    with pytest.raises(TypeError) as info:
        qv.zeros([1], requires_grad=other())
    assert str(info.value) == "argument 'requires_grad': 'bool_' object is not an instance of 'bool'"


def test_data_is_copied():
    values = [1.0, 2.0]
    t = qv.tensor(values, [2])
    values[0] = 99.0
    assert t.data() == [1.0, 2.0]


# --- float conversion of data ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [
        0.1, 1 / 3, -2.5, 1e-45, 1e-46, 3e-39, 1.1754942e-38, 3.4028235e38, 3.4028236e38, 1e39, -1e40,
        float("inf"), float("-inf"), -0.0, 0.0, 1 + 2**-24, 1 + 2**-24 + 2**-52, 16777217, 2**64, -(2**70),
        2**54 + 2**30 + 1,  # rounded to double first, then to float32 (2**54), not straight to 2**54+2**31
    ],
)
def test_elements_round_via_double_to_nearest_float32(value):
    with np.errstate(over="ignore"):
        expected = float(np.float32(np.float64(float(value))))
    got = qv.tensor([value], [1]).item()
    assert bits(got) == bits(expected)


def test_nan_keeps_its_sign():
    got = qv.tensor([float("nan"), -float("nan")], [2]).data()
    assert math.isnan(got[0]) and math.isnan(got[1])
    assert math.copysign(1.0, got[0]) == 1.0
    assert math.copysign(1.0, got[1]) == -1.0


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(allow_nan=False, width=64), max_size=40))
def test_round_trip_matches_numpy_float32(values):
    t = qv.tensor(values, [len(values)])
    with np.errstate(over="ignore"):
        expected = np.asarray(values, dtype=np.float64).astype(np.float32).astype(np.float64)
    assert [bits(v) for v in t.data()] == [bits(v) for v in expected.tolist()]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(0, 4), max_size=4))
def test_shape_and_numel_consistent(shape):
    n = math.prod(shape)
    t = qv.tensor([float(i) for i in range(n)], shape)
    assert t.shape == shape
    assert t.data() == [float(i) for i in range(n)]
    assert qv.zeros(shape).shape == shape and len(qv.ones(shape).data()) == n


# --- arrays and buffers: read from memory, with the bits iteration gives -----------------------------


def element_bytes(code):
    """Random bit patterns of a struct element type, then its extremes and values that round differently
    straight to float32 than through double; every pattern of float16."""
    if code == "e":
        return np.arange(2**16, dtype=np.uint16).tobytes()
    size = struct.calcsize(code)
    raw = np.random.default_rng(size).integers(0, 256, 2000 * size, dtype=np.uint8).tobytes()
    if code == "f":  # signalling and quiet NaNs with payloads
        return raw + struct.pack("4I", 0x7F800001, 0xFF800123, 0x7FC00000, 0x7F800000)
    if code == "d":
        edges = [0.1, -0.0, 1e-45, 1e-46, 3e-39, 3.4028235e38, 3.4028236e38, 1e39, -math.inf, 1 + 2**-24 + 2**-52]
        return raw + struct.pack(f"{len(edges)}d", *edges) + struct.pack("2Q", 0x7FF0000000000001, 0xFFF0000020000000)
    if code in "bhilqn":
        edges = [-(2 ** (8 * size - 1)), 2 ** (8 * size - 1) - 1] + [2**54 + 2**30 + 1] * (size == 8)
        return raw + struct.pack(f"{len(edges)}{code}", *edges)
    if code in "BHILQN":
        return raw + struct.pack(f"2{code}", 2 ** (8 * size) - 1, 2**63 + 2**39 + 1 if size == 8 else 1)
    return raw  # "?": every byte value, not only 0 and 1


LAYOUTS = {"contiguous": slice(None), "strided": slice(None, None, -3), "empty": slice(0)}


def exported(exporter, code, layout):
    raw, part = element_bytes(code), LAYOUTS[layout]
    if exporter == "ndarray":
        return np.frombuffer(raw, code).copy()[part]
    if exporter == "memoryview":
        return memoryview(bytearray(raw)).cast(code)[part]
    return array.array(code, raw)[part]


class ShiftedIteration(np.ndarray):
    def __iter__(self):
        return (v + 1 for v in self.view(np.ndarray))


class NegatedItems(np.ndarray):  # an ndarray subclass iterates through __getitem__
    def __getitem__(self, i):
        return -self.view(np.ndarray)[i]


class ShiftedArray(array.array):
    def __iter__(self):
        return (v + 1 for v in array.array.__iter__(self))


EXPORTED = (  # array.array has no strides
    [("ndarray", code, layout) for code in "?bBhHiIlLqQefd" for layout in LAYOUTS]
    + [("memoryview", code, layout) for code in "?bBhHiIlLqQnNfd" for layout in LAYOUTS]
    + [("array", code, layout) for code in "bBhHiIlLqQfd" for layout in ("contiguous", "empty")]
)
ITERATED = {  # what iteration reads is not the memory as it lies
    "ndarray subclass, own __iter__": lambda: np.arange(3, dtype=np.float32).view(ShiftedIteration),
    "ndarray subclass, own __getitem__": lambda: np.arange(3, dtype=np.float32).view(NegatedItems),
    "subclass named numpy.ndarray": lambda: np.arange(3.0).view(type("ndarray", (ShiftedIteration,), {"__module__": "numpy"})),
    "array.array subclass": lambda: ShiftedArray("f", [0.0, 1.0, 2.5]),
    "big-endian": lambda: np.array([1.5, -2.0, 3.0], dtype=">f8"),
}


@pytest.mark.parametrize("make", [pytest.param(functools.partial(exported, *case), id="-".join(case)) for case in EXPORTED]
                         + [pytest.param(make, id=name) for name, make in ITERATED.items()])
def test_arrays_and_buffers_give_the_bits_iteration_gives(make):
    data = make()
    items = list(data)  # NumPy scalars, ints, floats, bools
    t = qv.tensor(data, [len(items)])
    assert t.shape == [len(items)]
    assert [bits(v) for v in t.data()] == [bits(v) for v in qv.tensor(items, [len(items)]).data()]
    if isinstance(data, memoryview):
        data.release()  # refused while a buffer of it is still exported


IN_A_CHILD = {  # hostile to the process itself: each runs in a new interpreter, whose hang or crash fails it
    # on 3.11 the released view's memory is freed, and iterating it reads the freed format text
    "released memoryview": ("""
import numpy as np
mv = memoryview(np.arange(3, dtype=np.float32))
mv.release()
try:
    qv.tensor(mv, [3])
except ValueError as error:
    print(error)
""", "operation forbidden on released memoryview object"),
    # a type named array.array is no proof: the direct path takes only the array module's own
    "array module replaced": ("""
import sys, types
class Impostor(bytearray):
    __iter__ = lambda self: iter([7] * len(self))
Impostor.__name__ = "array.array"
real, sys.modules["array"] = sys.modules.pop("array", None), types.SimpleNamespace(array=Impostor)
print(qv.tensor(Impostor(b"\\1\\2\\3"), [3]).data())
sys.modules["array"] = real or __import__("array")
""", "[7.0, 7.0, 7.0]"),
    # hooks that use the library while it looks something up for the first time must not wait on it
    "import hook": ("""
import array, builtins
real_import = builtins.__import__
def hook(name, *args):
    if name == "array":
        qv.tensor(array.array("f", [5.0]), [1])
    return real_import(name, *args)
builtins.__import__ = hook
print(qv.tensor(array.array("f", [5.0]), [1]).data())
""", "[5.0]"),
    "audit hook": ("""
import array, sys
data = array.array("f", [5.0])
del sys.modules["array"]  # so that looking it up imports it again
sys.addaudithook(lambda event, args: event == "import" and args[0] == "array" and qv.tensor(data, [1]))
print(qv.tensor(data, [1]).data())
""", "[5.0]"),
    # on 3.11 a collection runs inside the build of the exception class, and may refuse again
    "collection inside the first refusal": ("""
import gc
def refuse():
    try:
        qv.Tensor()
    except BaseException as error:
        return type(error).__name__
inside = []
gc.callbacks.append(lambda phase, info: phase == "start" and inside and not inside.pop() and refuse())
gc.set_threshold(1)
inside.append(False)
print(refuse())
""", "PanicException"),
}


@pytest.mark.parametrize("code, expected", IN_A_CHILD.values(), ids=IN_A_CHILD.keys())
def test_hostile_data_gives_what_iteration_gives_in_a_child(code, expected):
    status, stdout, stderr = run_script("import quvarin as qv\n" + code, 60)
    assert (status, stdout.strip()) == (0, expected), stderr


@pytest.mark.parametrize("length", [0, 1, 2**31, 2**40, 2**62, sys.maxsize])
def test_reported_length_is_only_a_hint(length):
    # nothing is reserved from it: a huge claim costs nothing
    t = qv.tensor(LyingLength([1.0, 2.0, 3.0], length), LyingLength([3], length))
    assert t.data() == [1.0, 2.0, 3.0] and t.shape == [3]


class RaisingLength(LyingLength):
    """A sequence whose __len__ raises `error`."""

    def __init__(self, items, error):
        super().__init__(items, 0)
        self.error = error

    def __len__(self):
        raise self.error


# An error only means there is no length to go by, so the sequence is iterated; an interrupt is the caller's.
@pytest.mark.parametrize("error", [RuntimeError("no length"), KeyboardInterrupt()], ids=["error", "interrupt"])
def test_a_failing_len_is_ignored_unless_it_is_an_interrupt(error):
    calls = [lambda: qv.tensor(RaisingLength([3.0], error), [1]).data(), lambda: qv.zeros(RaisingLength([2], error)).shape]
    for call, iterated in zip(calls, [[3.0], [2]]):
        if isinstance(error, KeyboardInterrupt):
            with pytest.raises(KeyboardInterrupt):
                call()
        else:
            assert call() == iterated


# --- errors -----------------------------------------------------------------------------------------


TYPE_ERRORS = [
    # binding
    (lambda: qv.zeros(), missing_argument("zeros", "shape")),
    (lambda: qv.ones(), missing_argument("ones", "shape")),
    (lambda: qv.ones(dtype=None), missing_argument("ones", "shape")),
    (lambda: qv.tensor(), "tensor() missing 2 required positional arguments: 'data' and 'shape'"),
    (lambda: qv.tensor(requires_grad=True), "tensor() missing 2 required positional arguments: 'data' and 'shape'"),
    (lambda: qv.tensor([1.0]), missing_argument("tensor", "shape")),
    (lambda: qv.tensor(shape=[1]), missing_argument("tensor", "data")),
    (lambda: qv.zeros([1], None, None, False, 5), "zeros() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: qv.ones(1, 2, 3, 4, 5), "ones() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: qv.ones(1, 2, 3, 4, 5, 6), "ones() takes from 1 to 4 positional arguments but 6 were given"),
    (lambda: qv.tensor(1, 2, 3, 4, 5, 6), "tensor() takes from 2 to 5 positional arguments but 6 were given"),
    (lambda: qv.zeros(1, 2, 3, 4, 5, size=1), "zeros() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: qv.zeros(size=3), "zeros() got an unexpected keyword argument 'size'"),
    (lambda: qv.zeros([1], size=3), "zeros() got an unexpected keyword argument 'size'"),
    (lambda: qv.zeros("x", Shape=[1]), "zeros() got an unexpected keyword argument 'Shape'"),
    (lambda: qv.tensor([1.0], [1], requires_gradient=True), "tensor() got an unexpected keyword argument 'requires_gradient'"),
    (lambda: qv.tensor([1.0], [1], data=[2.0]), "tensor() got multiple values for argument 'data'"),
    (lambda: qv.tensor([1.0], [1], shape=[1]), "tensor() got multiple values for argument 'shape'"),
    (lambda: qv.ones([1], shape=[2]), "ones() got multiple values for argument 'shape'"),
    (lambda: qv.zeros([1], None, dtype=None), "zeros() got multiple values for argument 'dtype'"),
    (lambda: qv.zeros([1], None, None, False, requires_grad=True), "zeros() got multiple values for argument 'requires_grad'"),
    # shape / data: sequence rule
    (lambda: qv.zeros("23"), "argument 'shape': Can't extract `str` to `Vec`"),
    (lambda: qv.ones(""), "argument 'shape': Can't extract `str` to `Vec`"),
    (lambda: qv.tensor("12", [2]), "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: qv.tensor([1.0], "1"), "argument 'shape': Can't extract `str` to `Vec`"),
    (lambda: qv.zeros(3), "argument 'shape': 'int' object is not an instance of 'Sequence'"),
    (lambda: qv.zeros(None), "argument 'shape': 'None' is not an instance of 'Sequence'"),
    (lambda: qv.zeros({2: 3}), "argument 'shape': 'dict' object is not an instance of 'Sequence'"),
    (lambda: qv.zeros({2}), "argument 'shape': 'set' object is not an instance of 'Sequence'"),
    (lambda: qv.zeros(x for x in [2]), "argument 'shape': 'generator' object is not an instance of 'Sequence'"),
    (lambda: qv.zeros(Outer.Inner()), "argument 'shape': 'Outer.Inner' object is not an instance of 'Sequence'"),
    (lambda: qv.tensor(1.0, [1]), "argument 'data': 'float' object is not an instance of 'Sequence'"),
    (lambda: qv.tensor(None, [1]), "argument 'data': 'None' is not an instance of 'Sequence'"),
    (lambda: qv.tensor(iter([1.0]), [1]), "argument 'data': 'list_iterator' object is not an instance of 'Sequence'"),
    (lambda: qv.tensor(qv.ones([1]), [1]), "argument 'data': 'Tensor' object is not an instance of 'Sequence'"),
    # dtype / device / requires_grad
    (lambda: qv.zeros([1], dtype="float32"), "argument 'dtype': 'str' object is not an instance of 'DType'"),
    (lambda: qv.zeros([1], dtype=qv.DType), "argument 'dtype': 'type' object is not an instance of 'DType'"),
    (lambda: qv.zeros([1], dtype=qv.Device("cpu")), "argument 'dtype': 'Device' object is not an instance of 'DType'"),
    (lambda: qv.ones([1], dtype=np.float32), "argument 'dtype': 'type' object is not an instance of 'DType'"),
    (lambda: qv.zeros([2], device="cpu"), "argument 'device': 'str' object is not an instance of 'Device'"),
    (lambda: qv.zeros([2], device=qv.float32), "argument 'device': 'DType' object is not an instance of 'Device'"),
    (lambda: qv.tensor([1.0], [1], device=0), "argument 'device': 'int' object is not an instance of 'Device'"),
    (lambda: qv.zeros([2], requires_grad=1), "argument 'requires_grad': 'int' object is not an instance of 'bool'"),
    (lambda: qv.zeros([2], requires_grad=None), "argument 'requires_grad': 'None' is not an instance of 'bool'"),
    (lambda: qv.ones([2], requires_grad="yes"), "argument 'requires_grad': 'str' object is not an instance of 'bool'"),
    (lambda: qv.ones([2], requires_grad=np.array(True)), "argument 'requires_grad': 'ndarray' object is not an instance of 'bool'"),
    (lambda: qv.tensor([1.0], [1], requires_grad=1.0), "argument 'requires_grad': 'float' object is not an instance of 'bool'"),
    # conversion order: data, shape, dtype, device, requires_grad
    (lambda: qv.tensor("ab", 5, dtype="x"), "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: qv.tensor([1.0], 5, dtype="x"), "argument 'shape': 'int' object is not an instance of 'Sequence'"),
    (lambda: qv.tensor([1.0], [1], dtype="x", device="y"), "argument 'dtype': 'str' object is not an instance of 'DType'"),
    (lambda: qv.zeros([1], device="x", requires_grad=1), "argument 'device': 'str' object is not an instance of 'Device'"),
    (lambda: qv.zeros(["x"], dtype="x"), "argument 'shape': " + str(index_conversion_error("x"))),
    (lambda: qv.tensor(np.zeros(3, np.float32), [4], dtype=qv.int8, requires_grad=1),
     "argument 'requires_grad': 'int' object is not an instance of 'bool'"),
    # NumPy exports no buffer of timedeltas (a ValueError): iterating them decides
    (lambda: qv.tensor(np.array([1, 2], "m8[s]"), [2]),
     "argument 'data': " + str(float_conversion_error(np.array([1], "m8[s]")[0]))),
    # binding before conversion
    (lambda: qv.zeros("23", 1, 2, 3, 4), "zeros() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: qv.tensor("12", size=1), "tensor() got an unexpected keyword argument 'size'"),
]


@pytest.mark.parametrize("call, message", TYPE_ERRORS)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


ELEMENT_TYPE_ERRORS = [
    # (parameter, bad element, interpreter conversion)
    ("shape", 2.0, index_conversion_error),
    ("shape", "2", index_conversion_error),
    ("shape", None, index_conversion_error),
    ("shape", [2], index_conversion_error),
    ("shape", Fraction(2, 1), index_conversion_error),
    ("data", "a", float_conversion_error),
    ("data", None, float_conversion_error),
    ("data", [1.0, 2.0], float_conversion_error),
    ("data", 1j, float_conversion_error),
    ("data", FloatLike(3), float_conversion_error),  # __float__ returning a non-float
]


@pytest.mark.parametrize("param, element, reference", ELEMENT_TYPE_ERRORS)
def test_element_conversion_errors_are_prefixed(param, element, reference):
    expected = f"argument '{param}': {reference(element)}"
    with pytest.raises(TypeError) as info:
        if param == "shape":
            qv.zeros([1, element])
        else:
            qv.tensor([1.0, element], [2])
    assert type(info.value) is TypeError
    assert str(info.value) == expected


def test_nested_data_is_rejected():
    with pytest.raises(TypeError) as info:
        qv.tensor([[1.0, 2.0], [3.0, 4.0]], [2, 2])
    assert str(info.value).startswith("argument 'data': ")
    with pytest.raises(TypeError) as info:
        qv.tensor(np.ones((2, 2)), [4])
    assert str(info.value).startswith("argument 'data': ")


@pytest.mark.parametrize(
    "call",
    [
        lambda: qv.zeros([-1]),
        lambda: qv.ones([2, -3]),
        lambda: qv.zeros([2**64]),
        lambda: qv.zeros([Index(-1)]),
        lambda: qv.tensor([1.0], [2**70]),
        lambda: qv.tensor([10**400], [1]),
    ],
)
def test_overflow_errors_pass_unchanged(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: qv.ones([2, 2], dtype=qv.int8), NotImplementedError, ONES_F32_ONLY),
        (lambda: qv.ones([2], dtype=qv.float16), NotImplementedError, ONES_F32_ONLY),
        (lambda: qv.ones([2], qv.bfloat16, qv.Device("cpu")), NotImplementedError, ONES_F32_ONLY),
        (lambda: qv.ones([], dtype=qv.int32), NotImplementedError, ONES_F32_ONLY),
        # the dtype is refused before any allocation
        (lambda: qv.ones([2**40], dtype=qv.int8), NotImplementedError, ONES_F32_ONLY),
        (lambda: qv.tensor([1.0], [1], dtype=qv.float16), NotImplementedError, TENSOR_F32_ONLY),
        (lambda: qv.tensor([1.0, 2.0], [3], dtype=qv.int8), NotImplementedError, TENSOR_F32_ONLY),
        (lambda: qv.tensor([], [0], dtype=qv.int32), NotImplementedError, TENSOR_F32_ONLY),
        (lambda: qv.tensor([1.0], [2**40], dtype=qv.bfloat16), NotImplementedError, TENSOR_F32_ONLY),
        (lambda: qv.tensor([1.0, 2.0], [3]), ValueError, DATA_LENGTH_MISMATCH.format(2, 3)),
        (lambda: qv.tensor([1, 2, 3, 4, 5], [2, 3]), ValueError, DATA_LENGTH_MISMATCH.format(5, 6)),
        (lambda: qv.tensor([], []), ValueError, DATA_LENGTH_MISMATCH.format(0, 1)),
        (lambda: qv.tensor([1.0, 2.0], []), ValueError, DATA_LENGTH_MISMATCH.format(2, 1)),
        (lambda: qv.tensor([1.0], [0]), ValueError, DATA_LENGTH_MISMATCH.format(1, 0)),
        (lambda: qv.tensor([1.0], [2**40]), ValueError, DATA_LENGTH_MISMATCH.format(1, 2**40)),
        (lambda: qv.tensor([1.0], [2**32, 2**31]), ValueError, DATA_LENGTH_MISMATCH.format(1, 2**63)),
        (lambda: qv.tensor(np.zeros(3, np.float32), [4], dtype=qv.int8), NotImplementedError, TENSOR_F32_ONLY),
        (lambda: qv.tensor(np.zeros(3, np.float32)[::2], [3]), ValueError, DATA_LENGTH_MISMATCH.format(2, 3)),
        # iterating it raises the same
        pytest.param(
            lambda: qv.tensor(memoryview(np.zeros(2, np.float16)), [2]), NotImplementedError,
            "memoryview: format e not supported",
            marks=pytest.mark.skipif(sys.version_info >= (3, 12), reason="memoryview iterates float16 from 3.12 on"),
        ),
    ],
)
def test_creation_refusals(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("call", [lambda: qv.zeros([2**32, 2**32]), lambda: qv.ones([2**33, 2**33, 1]),
                                  lambda: qv.tensor([1.0], [2**40, 2**40])])
def test_element_count_overflow_is_a_value_error(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize("make, shape", [
    (qv.zeros, [0, 2**40]),
    (qv.zeros, [2**40, 0]),
    (qv.zeros, [2**32, 2**32, 0]),  # the product of the dimensions before the zero overflows
    (qv.ones, [1, 2**32, 2**32, 0]),
    (lambda shape: qv.tensor([], shape), [2**32, 2**32, 0]),
])
def test_a_zero_dimension_anywhere_means_no_elements(make, shape):
    t = make(shape)
    assert t.shape == shape
    assert t.data() == []


def test_operations_and_gradients_of_a_zero_element_shape_with_huge_dimensions():
    x = qv.zeros([1, 2**32, 2**32, 0], requires_grad=True)
    y = (x + x).relu() * x.sigmoid()
    assert y.shape == [1, 2**32, 2**32, 0]
    assert x.slice_rows(0).shape == [2**32, 2**32, 0]
    y.sum().backward()  # the sum's gradient has as many elements as x: none
    x.apply_sgd_step(0.1)
    assert x.data() == []


# --- ids --------------------------------------------------------------------------------------------


@COUNTS_IDS
def test_successful_creations_draw_consecutive_ids():
    start = next_id()
    qv.zeros([2])
    qv.ones([1], requires_grad=True)
    qv.tensor([1.0], [1])
    qv.zeros([0], dtype=qv.int8)
    assert next_id() == start + 3 + 4


FAILING_CREATIONS = [
    lambda: qv.tensor([1.0, 2.0], [3]),
    lambda: qv.tensor([1.0], [1], dtype=qv.int8),
    lambda: qv.ones([1], dtype=qv.float16),
    lambda: qv.zeros("x"),
    lambda: qv.zeros([-1]),
    lambda: qv.zeros([1], requires_grad=1),
    lambda: qv.tensor([1.0, "a"], [2]),
    lambda: qv.zeros([2**32, 2**32]),
    lambda: qv.tensor(np.zeros(2, np.float32), [3]),
]


@COUNTS_IDS
def test_failed_creations_draw_no_id():
    start = next_id()
    for call in FAILING_CREATIONS:
        with pytest.raises((TypeError, ValueError, OverflowError, NotImplementedError)):
            call()
    assert next_id() == start + 3


def test_creation_records_nothing():
    qv.zeros([2], requires_grad=True)
    qv.ones([2], requires_grad=True)
    qv.tensor([1.0], [1], requires_grad=True)
    assert tape_is_empty()


def test_first_tensor_of_a_process_has_id_one():
    import subprocess

    code = (
        "import quvarin as qv\n"
        "a = qv.zeros([1], requires_grad=True)\n"
        "c = a + a\n"
        "try:\n"
        "    qv.zeros([1], requires_grad=True).backward()\n"
        "except ValueError as exc:\n"
        "    print(exc)\n"
    )
    out = subprocess.run([PY, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == GRADIENT_MISSING_FOR_ID.format(2)


def test_long_data_beyond_any_preallocation():
    n = 2**24 + 3
    t = qv.tensor(range(n), [n])
    assert t.shape == [n]
    assert t.slice_rows(-1).item() == float(n - 1)
    assert t.slice_rows(2**24).item() == float(2**24)
    assert t.slice_rows(12345).item() == 12345.0


def test_conversion_code_may_use_the_library():
    class Busy:
        def __float__(self):
            a = qv.ones([2], requires_grad=True)
            (a * a).sum().backward()
            return float(qv.tensor([2.5], [1]).item())

        def __index__(self):
            return len(qv.ones([3]).data())

    t = qv.tensor([Busy(), 1.0], [Busy() and 2])
    assert t.data() == [2.5, 1.0]
    assert qv.zeros([Busy()]).shape == [3]
