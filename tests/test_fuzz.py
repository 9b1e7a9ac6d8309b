"""Property-based fuzzing of the whole Python surface of quvarin.

Every function, method, property, operator and subscription form is called with random argument
counts, keywords and values of many kinds (64-bit edge integers, NaN and infinities, strings,
nested and lying sequences, NumPy scalars and arrays, objects whose conversion hooks raise or
re-enter the library, tensors of every dtype and of empty and zero-sized shapes). Each call must
either return or raise one of the exceptions the library documents, with one of its texts. After
every call:
  - every tensor involved reads back the shape, dtype, flag and bits it had (operands are never
    modified; only a successful apply_sgd_step changes its receiver),
  - the reference count of every object passed in is what it was,
  - every tensor's access is free again (apply_sgd_step(0.1) on it succeeds on its owner thread),
  - the interpreter still computes.

QUVARIN_FUZZ_EXAMPLES sets the number of examples per test (`make fuzz-properties`).
"""

import array
import collections
import faulthandler
import gc
import math
import operator
import sys
import threading
import types
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import (
    CONSTRUCTOR_REFUSED, DTYPES, FOREIGN_USE, TENSOR_METHODS, TENSOR_PROPERTIES, TENSOR_SLOTS,
    TENSOR_STATIC_METHODS, FloatLike, documented_error, drain_tape, f32bits, f32bits_any_nan, rss_bytes,
)
from op_table import OP_NAMES, OPS, OPS_BY_NAME
from reliability_support import LONG_FUZZ, SANITIZED, fuzz_examples, needs_real_allocator

import quvarin as qv

Tensor = qv.Tensor
NUMPY_TYPES = (np.ndarray, np.generic)


class UserError(Exception):
    """Raised by the hostile objects below; the library must let it through unchanged."""


# --- what a call may raise ---------------------------------------------------------------------------


def check_outcome(entry, exc_type, text, foreign, numpy_involved=False):
    """Fails unless an exception of exc_type with text is one the entry may raise."""
    if numpy_involved and issubclass(exc_type, Exception):
        return  # NumPy's reflected operator ran and raised on its own terms
    if exc_type is UserError or exc_type is TypeError or exc_type is OverflowError or exc_type is MemoryError:
        return
    if exc_type is AttributeError:
        assert entry.startswith("property"), (entry, text)  # assigning or deleting a read-only property
        return
    if exc_type is UnicodeEncodeError:
        assert entry == "function Device", (entry, text)  # a str that UTF-8 cannot encode
        return
    known = documented_error(exc_type, text)
    assert known is not None, f"{entry}: unexpected {exc_type.__name__}: {text}"
    if known is FOREIGN_USE:
        assert foreign, (entry, text)
    elif known is CONSTRUCTOR_REFUSED:
        assert entry in ("function Tensor()", "function Tensor.__new__"), (entry, text)


# --- hostile objects ----------------------------------------------------------------------------------
# Their hooks either raise UserError, return a wrong type, or re-enter the library on a tensor of
# the example's pool before answering.

REENTRANT_ACTIONS = ["read", "shape", "sum", "add", "backward", "sgd", "slice", "matmul"]


class Reentry:
    """Runs one library call on a pool tensor; used inside the hooks of the objects below."""

    def __init__(self, ctx, action, index):
        self.ctx, self.action, self.index = ctx, action, index

    def __call__(self):
        if not self.ctx.tensors:
            return
        t = self.ctx.tensors[self.index % len(self.ctx.tensors)]
        if self.action == "read":
            t.data()
        elif self.action == "shape":
            t.shape
        elif self.action == "sum":
            t.sum()
        elif self.action == "add":
            t + t
        elif self.action == "backward":
            t.backward()
        elif self.action == "sgd":
            t.apply_sgd_step(0.5)
            self.ctx.stepped.add(id(t))  # its values may change now
        elif self.action == "slice":
            t.slice_rows(0)
        elif self.action == "matmul":
            t.matmul(t)

    def __repr__(self):
        return f"Reentry({self.action}, {self.index})"


class Number:
    """__float__ and __index__ answer `value`, raise, or re-enter first."""

    def __init__(self, value, raises=False, reentry=None):
        self.value, self.raises, self.reentry = value, raises, reentry

    def _answer(self):
        if self.reentry is not None:
            self.reentry()
        if self.raises:
            raise UserError("number hook")
        return self.value

    def __float__(self):
        return self._answer()

    def __index__(self):
        return self._answer()

    def __repr__(self):
        return f"Number({self.value!r}, raises={self.raises}, reentry={self.reentry!r})"


class Seq:
    """A sequence whose length and iteration misbehave as asked."""

    def __init__(self, items, length=None, len_raises=False, iter_raises_at=None, use_getitem=False, reentry=None):
        self.items, self.length, self.len_raises = list(items), length, len_raises
        self.iter_raises_at, self.use_getitem, self.reentry = iter_raises_at, use_getitem, reentry

    def __len__(self):
        if self.reentry is not None:
            self.reentry()
        if self.len_raises:
            raise UserError("len hook")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.iter_raises_at is not None and i == self.iter_raises_at:
            raise UserError("getitem hook")
        return self.items[i]

    def __iter__(self):
        if self.use_getitem:
            return _getitem_iterator(self)
        return self._iterate()

    def _iterate(self):
        for i, item in enumerate(self.items):
            if self.iter_raises_at is not None and i == self.iter_raises_at:
                raise UserError("iter hook")
            yield item

    def __repr__(self):
        return (f"Seq({self.items!r}, length={self.length!r}, len_raises={self.len_raises}, "
                f"iter_raises_at={self.iter_raises_at!r}, use_getitem={self.use_getitem}, reentry={self.reentry!r})")


def _getitem_iterator(seq):
    i = 0
    while True:
        try:
            item = seq[i]
        except IndexError:
            return
        yield item
        i += 1


class IterRaises(Seq):
    def __iter__(self):
        raise UserError("__iter__ hook")


class LyingClass:
    """Claims to be a Tensor through __class__; only the real type may count."""

    @property
    def __class__(self):
        return Tensor

    def __repr__(self):
        return "LyingClass()"


class Unhashable:
    __hash__ = None

    def __eq__(self, other):
        raise UserError("eq hook")

    def __repr__(self):
        return "Unhashable()"


def fake_numpy_bool(truth, raises=False, reentry=None):
    """An object whose type is named bool_ in a module named numpy, with a misbehaving __bool__."""

    def __bool__(self):
        if reentry is not None:
            reentry()
        if raises:
            raise UserError("bool hook")
        return truth

    cls = type("bool_", (), {"__bool__": __bool__, "__module__": "numpy", "__repr__": lambda s: "fake_bool_()"})
    return cls()


# --- value strategies ----------------------------------------------------------------------------------

EDGE_INTS = [0, 1, -1, 2, 3, 255, 256, 2**31 - 1, 2**31, -(2**31), 2**32, 2**53 + 1, 2**63 - 1, 2**63,
             -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 10**30, -(10**30)]
EDGE_FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 1e-45, 1e-40, 3.4028235e38, 3.5e38, 1e300, -1e300,
               float("inf"), float("-inf"), float("nan"), 2.0**24 + 1, 5e-324]

# Dimension sizes that can reach an allocation: small ones, and ones so large that no allocation
# of that many elements can succeed anywhere (at least 2**48 bytes), so a failure comes fast.
# AddressSanitizer aborts on a failing allocation, so there only sizes that fail before any
# allocation (the byte count exceeds the largest possible one, or the element count 64 bits).
SMALL_DIMS = [0, 1, 2, 3, 4]
HUGE_DIMS = [2**63, 2**64 - 1] if SANITIZED else [2**48, 2**50, 2**61, 2**62, 2**63 - 1, 2**63, 2**64 - 1]
BAD_DIMS = [-1, -(2**63), 2**64, 2**70, 1.0, float("nan"), "2", None, b"\x01", [2]]

POOL_SHAPES = [[], [1], [3], [2, 3], [3, 2], [2, 2], [0], [2, 0], [0, 3], [1, 1], [4, 1], [1, 4], [3, 0, 2]]
HUGE_POOL_SHAPES = [[d, 0] for d in HUGE_DIMS] + [[0, d] for d in HUGE_DIMS] + [[d, 0, 2] for d in HUGE_DIMS]

f32_values = st.one_of(
    st.floats(width=32, allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, float("nan"), float("inf"), 1e-45]),
)


class Context:
    """The tensors of one example and the tensors a re-entering hook may have stepped."""

    def __init__(self):
        self.tensors = []
        self.stepped = set()


def draw_tensor(data, ctx):
    kind = data.draw(st.sampled_from(["leaf", "leaf", "zeros", "derived", "huge"]), label="tensor kind")
    requires_grad = data.draw(st.booleans(), label="requires_grad")
    if kind == "zeros":
        shape = data.draw(st.sampled_from(POOL_SHAPES))
        dtype = data.draw(st.sampled_from(DTYPES))
        return qv.zeros(shape, dtype=dtype, requires_grad=requires_grad)
    if kind == "huge":
        shape = data.draw(st.sampled_from(HUGE_POOL_SHAPES))
        return qv.zeros(shape, requires_grad=requires_grad)
    shape = data.draw(st.sampled_from(POOL_SHAPES))
    count = math.prod(shape)
    values = data.draw(st.lists(f32_values, min_size=count, max_size=count))
    t = qv.tensor(values, shape, requires_grad=requires_grad)
    if kind == "derived":  # a result that sits on the tape
        op = data.draw(st.sampled_from([candidate for candidate in OPS if not candidate.matrices]))
        t = op.call(*[t] * op.arity)
    return t


def draw_reentry(data, ctx):
    if not data.draw(st.booleans(), label="re-enter"):
        return None
    return Reentry(ctx, data.draw(st.sampled_from(REENTRANT_ACTIONS)), data.draw(st.integers(0, 3)))


def draw_dim(data, ctx):
    kind = data.draw(st.sampled_from(["small", "small", "small", "huge", "bad", "index", "numpy"]), label="dim")
    if kind == "small":
        return data.draw(st.sampled_from(SMALL_DIMS))
    if kind == "huge":
        return data.draw(st.sampled_from(HUGE_DIMS))
    if kind == "bad":
        return data.draw(st.sampled_from(BAD_DIMS))
    if kind == "index":
        value = data.draw(st.sampled_from(SMALL_DIMS + HUGE_DIMS + [-1, 2**64, "x", 1.5]))
        return Number(value, raises=data.draw(st.booleans()), reentry=draw_reentry(data, ctx))
    return data.draw(st.sampled_from([np.int64(2), np.uint8(3), np.int32(-1), np.float64(2.0), np.bool_(True)]))


def draw_shape(data, ctx):
    """A value for a `shape` parameter: mostly sequences of safe sizes, sometimes anything else."""
    kind = data.draw(st.sampled_from(["list", "list", "tuple", "bytes", "array", "seq", "ndarray", "other"]),
                     label="shape kind")
    if kind == "other":
        return draw_scalar(data, ctx)
    dims = data.draw(st.lists(st.just(None), max_size=4))
    dims = [draw_dim(data, ctx) for _ in dims]
    if kind == "list":
        return dims
    if kind == "tuple":
        return tuple(dims)
    small = [d for d in dims if isinstance(d, int) and not isinstance(d, bool) and 0 <= d < 256]
    if kind == "bytes":
        return bytes(small)
    if kind == "array":
        return array.array("q", small)
    if kind == "ndarray":
        return np.array(small, dtype=np.int64)
    return draw_seq(data, ctx, dims)


def draw_seq(data, ctx, items):
    length = data.draw(st.sampled_from([None, None, 0, 1, 10, 2**31, sys.maxsize, -1]))
    cls = data.draw(st.sampled_from([Seq, Seq, IterRaises]))
    return cls(items, length=length, len_raises=data.draw(st.booleans()),
               iter_raises_at=data.draw(st.sampled_from([None, None, 0, 1])),
               use_getitem=data.draw(st.booleans()), reentry=draw_reentry(data, ctx))


def draw_scalar(data, ctx):
    """Any value that is not a sequence of dimension sizes."""
    kind = data.draw(st.sampled_from([
        "int", "float", "bool", "none", "str", "bytes", "complex", "misc", "number", "float_only",
        "numpy", "qv", "tensor", "tensor", "tensor", "hostile", "fake_bool", "generator",
    ]), label="scalar kind")
    if kind == "int":
        return data.draw(st.one_of(st.sampled_from(EDGE_INTS), st.integers(-5, 5)))
    if kind == "float":
        return data.draw(st.one_of(st.sampled_from(EDGE_FLOATS), st.floats()))
    if kind == "bool":
        return data.draw(st.booleans())
    if kind == "none":
        return None
    if kind == "str":
        return data.draw(st.one_of(st.sampled_from(["", "cpu", "CPU", " cpu", "cpu\x00", "\ud800", "0", "1.5", "nan"]),
                                   st.text(max_size=4)))
    if kind == "bytes":
        return data.draw(st.sampled_from([b"", b"\x01\x02", bytearray(b"\x03"), memoryview(b"\x00\x01")]))
    if kind == "complex":
        return complex(1, 2)
    if kind == "misc":
        return data.draw(st.sampled_from([
            Ellipsis, NotImplemented, slice(None), slice(0, 2), slice(2**70), object(), {}, {"a": 1}, {1, 2},
            range(0), range(3), int, float, Tensor, qv.zeros, print, LyingClass(), Unhashable(),
            collections.deque([1.0, 2.0]), array.array("f", [1.5, -0.0]), array.array("q", [2, 3]),
        ]))
    if kind == "number":
        value = data.draw(st.one_of(st.sampled_from(EDGE_INTS + EDGE_FLOATS + ["x", None]), st.integers(-3, 3)))
        return Number(value, raises=data.draw(st.booleans()), reentry=draw_reentry(data, ctx))
    if kind == "float_only":
        return FloatLike(data.draw(st.sampled_from([1.5, float("nan"), "x", 2, None])))
    if kind == "numpy":
        return data.draw(st.sampled_from([
            np.float32(np.nan), np.float32(1.5), np.float64(np.inf), np.float16(0.5), np.int64(-1),
            np.int64(2**63 - 1), np.uint64(2**64 - 1), np.int8(-128), np.bool_(True), np.bool_(False),
            np.array(3.0), np.array([1.0, 2.0], dtype=np.float32), np.array([], dtype=np.float32),
            np.zeros((2, 2)), np.array(["a"]), np.array([1.5]), np.array([1, 2], dtype=np.int64),
        ]))
    if kind == "qv":
        return _qv_object(data)
    if kind == "tensor":
        if not ctx.tensors:
            return None
        return ctx.tensors[data.draw(st.integers(0, len(ctx.tensors) - 1), label="pool index")]
    if kind == "hostile":
        items = data.draw(st.lists(st.sampled_from([1.0, 2, -0.0, float("nan")]), max_size=4))
        return draw_seq(data, ctx, items)
    if kind == "fake_bool":
        return fake_numpy_bool(data.draw(st.booleans()), raises=data.draw(st.booleans()),
                               reentry=draw_reentry(data, ctx))
    return (x for x in [1.0, 2.0])


def _qv_object(data):
    return data.draw(st.sampled_from(DTYPES)) \
        if data.draw(st.booleans()) else qv.Device("cpu")


def draw_value(data, ctx, depth=0):
    """Any value: a scalar, or (up to two levels deep) a list, tuple or lying sequence of values."""
    kind = data.draw(st.sampled_from(["scalar"] * 6 + ["list", "tuple", "floats", "seq"]), label="value kind")
    if kind == "scalar" or depth >= 2:
        return draw_scalar(data, ctx)
    if kind == "floats":  # a plausible data list
        return data.draw(st.lists(st.one_of(f32_values, st.integers(-3, 3), st.booleans()), max_size=6))
    items = [draw_value(data, ctx, depth + 1) for _ in data.draw(st.lists(st.just(None), max_size=3))]
    if kind == "list":
        return items
    if kind == "tuple":
        return tuple(items)
    return draw_seq(data, ctx, items)


# --- the surface ---------------------------------------------------------------------------------------
# (name, parameter names or None for "no parameters", which parameters are shapes)

FUNCTIONS = {
    "zeros": (qv.zeros, ["shape", "dtype", "device", "requires_grad"]),
    "ones": (qv.ones, ["shape", "dtype", "device", "requires_grad"]),
    "tensor": (qv.tensor, ["data", "shape", "dtype", "device", "requires_grad"]),
    "Device": (qv.Device, ["name"]),
    "DType": (qv.DType, []),
    "Tensor()": (Tensor, []),
    "Tensor.__new__": (Tensor.__new__, ["cls"]),
    "Tensor.from_numpy": (Tensor.from_numpy, ["_array"]),
}
METHODS = {**TENSOR_METHODS, **TENSOR_STATIC_METHODS, **TENSOR_SLOTS}
BINARY = {
    "+": operator.add, "*": operator.mul, "-": operator.sub, "/": operator.truediv, "//": operator.floordiv,
    "%": operator.mod, "**": operator.pow, "@": operator.matmul, "&": operator.and_, "<<": operator.lshift,
    "<": operator.lt, "==": operator.eq, "!=": operator.ne, ">=": operator.ge, "divmod": divmod,
    "+=": operator.iadd, "*=": operator.imul, "-=": operator.isub, "@=": operator.imatmul,
}
UNARY = {
    "neg": operator.neg, "pos": operator.pos, "invert": operator.invert, "abs": abs, "bool": bool, "hash": hash,
    "repr": repr, "str": str, "len": len, "iter": iter, "int": int, "float": float, "index": operator.index,
    "contains": lambda t: 1 in t, "format": lambda t: format(t, "x"),
}


def draw_plausible(data, ctx, name):
    """A value of the kind the parameter expects, edge cases included."""
    if name == "data":
        return data.draw(st.lists(st.one_of(f32_values, st.sampled_from(EDGE_INTS)), max_size=6))
    if name in ("dtype", "device"):
        return data.draw(st.sampled_from([None, None])) if data.draw(st.booleans()) else _qv_object(data)
    if name == "requires_grad":
        return data.draw(st.sampled_from([True, False, np.bool_(True), np.bool_(False)]))
    if name == "name":
        return data.draw(st.sampled_from(["cpu", "cuda", "CPU", ""]))
    if name in ("other", "cls"):
        return draw_scalar(data, ctx) if not ctx.tensors else ctx.tensors[data.draw(st.integers(0, len(ctx.tensors) - 1))]
    if name in ("index", "lr", "key"):
        return data.draw(st.one_of(st.sampled_from(EDGE_INTS + EDGE_FLOATS), st.integers(-4, 4)))
    return draw_value(data, ctx)


def draw_argument(data, ctx, name, shape_parameters):
    if name in shape_parameters:
        return draw_shape(data, ctx)
    if name is not None and data.draw(st.booleans(), label="plausible"):
        return draw_plausible(data, ctx, name)
    return draw_value(data, ctx)


def draw_arguments(data, ctx, parameters, shape_parameters=()):
    """Random positional and keyword arguments around a parameter list, often the right number."""
    exact = data.draw(st.booleans(), label="exact count")
    required = min(len(parameters), 2)
    count = required if exact else data.draw(st.integers(0, len(parameters) + 1), label="positional count")
    args = [draw_argument(data, ctx, parameters[i] if i < len(parameters) else None, shape_parameters)
            for i in range(count)]
    names = data.draw(st.lists(st.sampled_from(list(parameters) + ["bogus", "stream", "array", "size", "self"]),
                               max_size=0 if exact else 3, unique=True), label="keywords")
    kwargs = {name: draw_argument(data, ctx, name, shape_parameters) for name in names}
    return args, kwargs


ENTRIES = (
    [("function", name) for name in sorted(FUNCTIONS)]
    + [("method", name) for name in sorted(METHODS)]
    + [("property", name) for name in TENSOR_PROPERTIES]
    + [("binary", name) for name in sorted(BINARY)]
    + [("unary", name) for name in sorted(UNARY)]
    + [("subscript", how) for how in ("get", "set", "del")]
)
ENTRY_IDS = [f"{family}:{name}" for family, name in ENTRIES]


def draw_call(data, ctx, family, name):
    """(callable of no arguments, the objects handed over, the receiver of apply_sgd_step)."""
    if family == "function":
        fn, parameters = FUNCTIONS[name]
        args, kwargs = draw_arguments(data, ctx, parameters, shape_parameters=("shape",))
        if name == "Tensor.__new__" and args and data.draw(st.booleans()):
            args[0] = data.draw(st.sampled_from([Tensor, qv.Device, qv.DType, int, object]))
        return lambda: fn(*args, **kwargs), [args, kwargs], None
    if family == "method":
        args, kwargs = draw_arguments(data, ctx, METHODS[name])
        receiver = None
        if ctx.tensors and data.draw(st.integers(0, 4), label="bound") > 0:
            receiver = ctx.tensors[data.draw(st.integers(0, len(ctx.tensors) - 1), label="receiver")]
            bound = getattr(receiver, name)
            call = lambda: bound(*args, **kwargs)  # noqa: E731
        else:  # through the class, with any receiver
            receiver = draw_scalar(data, ctx)
            unbound = getattr(Tensor, name)
            call = lambda: unbound(receiver, *args, **kwargs)  # noqa: E731
        return call, [receiver, args, kwargs], receiver if name == "apply_sgd_step" else None
    if not ctx.tensors:  # the remaining families act on a tensor
        ctx.tensors.append(qv.ones([2]))

    def pool_tensor(label):
        return ctx.tensors[data.draw(st.integers(0, len(ctx.tensors) - 1), label=label)]

    if family == "property":
        receiver = pool_tensor("receiver")
        how = data.draw(st.sampled_from(["getattr", "setattr", "delattr", "descriptor"]))
        value = draw_value(data, ctx)
        if how == "getattr":
            return lambda: getattr(receiver, name), [receiver], None
        if how == "setattr":
            return lambda: setattr(receiver, name, value), [receiver, value], None
        if how == "delattr":
            return lambda: delattr(receiver, name), [receiver], None
        descriptor = Tensor.__dict__[name]
        return lambda: descriptor.__get__(value, Tensor), [value], None
    if family == "binary":
        fn = BINARY[name]
        lhs, rhs = draw_value(data, ctx), draw_value(data, ctx)
        if data.draw(st.booleans(), label="two tensors"):
            lhs, rhs = pool_tensor("lhs"), pool_tensor("rhs")
        elif not (isinstance(lhs, Tensor) or isinstance(rhs, Tensor)):
            if data.draw(st.booleans(), label="tensor on the left"):
                lhs = pool_tensor("lhs")
            else:
                rhs = pool_tensor("rhs")
        call = lambda: fn(lhs, rhs)  # noqa: E731
        call.numpy_involved = isinstance(lhs, NUMPY_TYPES) or isinstance(rhs, NUMPY_TYPES)
        return call, [lhs, rhs], None
    if family == "unary":
        receiver = pool_tensor("receiver")
        return lambda: UNARY[name](receiver), [receiver], None
    receiver = pool_tensor("receiver")
    key, value = draw_value(data, ctx), draw_value(data, ctx)

    def subscript():
        if name == "get":
            return receiver[key]
        if name == "set":
            receiver[key] = value
        else:
            del receiver[key]

    return subscript, [receiver, key, value], None


# --- checks ----------------------------------------------------------------------------------------------


def snapshot(t):
    """What a tensor reads back: shape, dtype, flag and exact bits (None for non-float32 data)."""
    data = t.data() if t.dtype == "float32" else None
    return t.shape, t.dtype, t.requires_grad, None if data is None else f32bits(data)


def referenced_objects(value, depth=0, seen=None):
    """value and, for the containers built here, what they hold (identity-deduplicated)."""
    seen = {} if seen is None else seen
    if id(value) in seen or depth > 4:
        return seen
    seen[id(value)] = value
    children = ()
    if isinstance(value, (list, tuple)):
        children = value
    elif isinstance(value, dict):
        children = list(value.keys()) + list(value.values())
    elif isinstance(value, Seq):
        children = value.items
    for child in children:
        referenced_objects(child, depth + 1, seen)
    return seen


def owned_by_the_example(obj):
    """Objects whose reference count only the call under test can move: not the interpreter's shared
    singletons and small ints (statically allocated with a huge count), classes or functions."""
    if sys.getrefcount(obj) > 1_000_000 or obj is None or obj is NotImplemented or obj is Ellipsis:
        return False
    if isinstance(obj, (bool, str)) or (type(obj) is tuple and not obj):  # shared, interned
        return False
    return not isinstance(obj, (type, types.BuiltinFunctionType, types.FunctionType, types.ModuleType))


def tensors_in(value):
    if isinstance(value, Tensor):
        return [value]
    if isinstance(value, (tuple, list)):
        return [t for item in value for t in tensors_in(item)]
    return []


def run_call(entry, call, handed, foreign):
    """Runs call (on a new thread when foreign); returns (result tensors, exception type, text)."""
    everything = list(referenced_objects(handed).values())
    handed_ids = set(map(id, everything))
    objects = [o for o in everything if owned_by_the_example(o)]
    box = {}

    def body():
        try:
            result = call()
        except BaseException as exc:  # PanicException derives from BaseException
            box["raised"] = (type(exc), str(exc))
        else:
            # a tensor made on a foreign thread must also be dropped there
            new = [t for t in tensors_in(result) if id(t) not in handed_ids]
            box["produced"] = [] if foreign else new
            del result, new
        # Cycles made during the call (frames of a raising hook) go now, on this thread: a tensor
        # made on a foreign thread must be released there.
        gc.collect(0)

    gc.collect(0)  # earlier garbage goes first: the counts must not move through its collection
    gc.disable()
    try:
        before = [sys.getrefcount(o) for o in objects]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NumPy and float-conversion deprecations are not the library's
            if foreign:
                worker = threading.Thread(target=body)
                worker.start()
                worker.join()
            else:
                body()
        after = [sys.getrefcount(o) for o in objects]
    finally:
        gc.enable()
    for obj, b, a in zip(objects, before, after):
        assert a == b, f"{entry}: reference count of {obj!r} went from {b} to {a}"
    exc_type, text = box.get("raised", (None, None))
    return box.get("produced", []), exc_type, text


def fuzz_one(data, family, name, foreign=False):
    reports = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append(f"{u.exc_type.__name__}: {u.exc_value}")
    try:
        fuzz_call(data, family, name, foreign)
    finally:
        sys.unraisablehook = old_hook
    assert reports == []


def fuzz_call(data, family, name, foreign):
    ctx = Context()
    for _ in range(data.draw(st.integers(0, 4), label="pool size")):
        ctx.tensors.append(draw_tensor(data, ctx))
    call, handed, stepped = draw_call(data, ctx, family, name)
    entry = f"{family} {name}"
    before = {id(t): snapshot(t) for t in ctx.tensors}

    produced, exc_type, text = run_call(entry, call, handed, foreign)
    if exc_type is not None:
        check_outcome(entry, exc_type, text, foreign, getattr(call, "numpy_involved", False))

    for t in ctx.tensors:
        if t is stepped or id(t) in ctx.stepped:
            assert snapshot(t)[:3] == before[id(t)][:3], entry
        else:
            assert snapshot(t) == before[id(t)], f"{entry} changed a tensor it was handed"
    # every access is released: a write on each tensor succeeds
    for t in ctx.tensors + [p for p in produced if p not in ctx.tensors]:
        if foreign and t in produced:
            continue  # created on the worker thread, which alone may use it
        assert t.apply_sgd_step(0.1) is None
        t.shape  # noqa: B018
    drain_tape()
    assert qv.tensor([1.0, 2.0], [2]).sum().item() == 3.0


FUZZ_SETTINGS = dict(
    deadline=None,
    database=None,
    derandomize=not LONG_FUZZ,  # the default run is reproducible; `make fuzz-properties` explores
    print_blob=True,
    suppress_health_check=list(HealthCheck),
)


@pytest.fixture
def watchdog():
    """A hang anywhere in a fuzz test ends the run with every thread's traceback."""
    faulthandler.dump_traceback_later(3600 if LONG_FUZZ else 300, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("family, name", ENTRIES, ids=ENTRY_IDS)
@settings(max_examples=fuzz_examples(50), **FUZZ_SETTINGS)
@given(data=st.data())
def test_any_call_returns_or_raises_a_documented_error(watchdog, family, name, data):
    fuzz_one(data, family, name)


@pytest.mark.parametrize("family, name", ENTRIES, ids=ENTRY_IDS)
@settings(max_examples=fuzz_examples(10), **FUZZ_SETTINGS)
@given(data=st.data())
def test_any_call_from_a_foreign_thread_is_refused_cleanly(watchdog, family, name, data):
    fuzz_one(data, family, name, foreign=True)


# --- random programs: no tensor ever changes behind its owner's back -----------------------------------

PROGRAM_SHAPES = [[2, 3], [3, 2], [2, 2], [3], [1], [2, 1], [1, 2], [0, 2], [2, 0]]


def f32(values, shape):
    return np.asarray(values, dtype=np.float32).reshape(shape)


@settings(max_examples=fuzz_examples(300), **FUZZ_SETTINGS)
@given(st.data())
def test_random_programs_never_change_a_tensor_behind_its_back(watchdog, data):
    """Forward passes, backward passes and SGD steps in random order on a growing pool: a tensor's
    values change only through its own successful apply_sgd_step, and every elementwise result
    has exactly the bits its reference computes from the operands' current values (any NaN for a NaN)."""
    pool = []
    for _ in range(data.draw(st.integers(1, 4))):
        shape = data.draw(st.sampled_from(PROGRAM_SHAPES))
        values = data.draw(st.lists(f32_values, min_size=math.prod(shape), max_size=math.prod(shape)))
        pool.append(qv.tensor(values, shape, requires_grad=data.draw(st.booleans())))
    seen = {id(t): snapshot(t) for t in pool}
    for _ in range(data.draw(st.integers(1, 25), label="steps")):
        op = data.draw(st.sampled_from(OP_NAMES + ["slice", "backward", "sgd", "sgd"]))
        i, j = (data.draw(st.integers(0, len(pool) - 1)) for _ in range(2))
        a, b = pool[i], pool[j]
        changed = None
        try:
            if op in OPS_BY_NAME:
                result = OPS_BY_NAME[op].call(*(a, b)[: OPS_BY_NAME[op].arity])
            elif op == "slice":
                result = a.slice_rows(data.draw(st.integers(-3, 3)))
            elif op == "backward":
                result = a.backward()
            else:
                result = a.apply_sgd_step(data.draw(st.sampled_from([0.1, 1.0, -0.5, 0.0])))
                changed = a
        except (ValueError, IndexError):
            result = None
        if isinstance(result, Tensor):
            if op in OPS_BY_NAME and OPS_BY_NAME[op].exact:
                operands = (f32(a.data(), a.shape), f32(b.data(), b.shape))[: OPS_BY_NAME[op].arity]
                with np.errstate(all="ignore"):
                    want = OPS_BY_NAME[op].reference(*operands)
                assert f32bits_any_nan(result.data()) == f32bits_any_nan(want), op
            pool.append(result)
            seen[id(result)] = snapshot(result)
        for t in pool:
            if t is changed:
                assert snapshot(t)[:3] == seen[id(t)][:3]
                seen[id(t)] = snapshot(t)
            else:
                assert snapshot(t) == seen[id(t)], f"{op} changed another tensor"
    drain_tape()


@needs_real_allocator
def test_fuzzing_keeps_resident_memory_flat(watchdog):
    """A leak of a few hundred bytes per call shows over a thousand random calls."""
    @settings(max_examples=fuzz_examples(300), **FUZZ_SETTINGS)
    @given(st.data(), st.sampled_from(ENTRIES))
    def run(data, entry):
        fuzz_one(data, *entry)

    run()
    before = rss_bytes()
    run()
    run()
    growth = rss_bytes() - before
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"
