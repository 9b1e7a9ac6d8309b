"""What the three harnesses share: turning fuzz bytes into Python values, and judging outcomes.

Every maker of a value returns a factory (a function of no arguments) rather than the value, so a
harness can build the same hostile object twice: once for the library and once for the plain-Python
reference, which must not see what the library's calls did to the first one.

The documented exceptions are the test suite's own table (tests/conftest.py), so the harnesses and
the tests accept exactly the same texts.
"""

import array
import ctypes
import math
import operator
import os
import struct
import sys
import warnings

import atheris
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from conftest import DTYPES, PanicException, documented_error  # noqa: E402

import quvarin as qv  # noqa: E402

warnings.simplefilter("ignore")  # NumPy's and the interpreter's conversion warnings are not the library's

# Sizes whose element or byte count no allocation can reach: they must fail before allocating (the
# sanitizer's allocator aborts on a failing allocation instead of raising).
SMALL_DIMS = [0, 1, 2, 3, 4]
HUGE_DIMS = [2**63, 2**64 - 1]
BAD_DIMS = [-1, -(2**63), 2**64, 2**70, 1.0, float("nan"), "2", None, b"\x01", [2], True]
EDGE_INTS = [0, 1, -1, 2, 255, 256, 2**24 + 1, 2**31 - 1, -(2**31), 2**53 + 1, 2**63 - 1, -(2**63), 2**64 - 1,
             2**64, 10**30, -(10**30), 10**400]
EDGE_FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 1e-45, 1e-40, 3.4028235e38, 3.4028236e38, 3.5e38, 1e300, -1e300,
               math.inf, -math.inf, math.nan, -math.nan, 2.0**24 + 1, 5e-324]

NUMPY_DTYPES = ["f4", "f8", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?", ">f4", ">i4", "<f8",
                "c8", "c16", "O", "U2", "S3", "M8[s]", "m8[ms]", "V4", "g"]
BUFFER_FORMATS = ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "n", "N", "?", "f", "d", "e", "c", "P",
                  "@f", "@B", "<f", ">f", "=i", "2f", "x"]
ARRAY_CODES = "bBuhHiIlLqQfdw" if sys.version_info >= (3, 13) else "bBuhHiIlLqQfd"
CTYPES = [ctypes.c_float, ctypes.c_double, ctypes.c_int8, ctypes.c_uint8, ctypes.c_int16, ctypes.c_int32,
          ctypes.c_int64, ctypes.c_uint64, ctypes.c_bool, ctypes.c_char, ctypes.c_longdouble]


class UserError(Exception):
    """Raised by the hostile objects below; the library must let it through unchanged."""


class Interrupt(BaseException):
    """A hostile hook's non-Exception: must propagate like any other."""


class Number:
    """A number only through __float__ and __index__, which answer, raise or answer a wrong type."""

    def __init__(self, value, raises=None):
        self.value, self.raises = value, raises

    def _answer(self):
        if self.raises is not None:
            raise self.raises("number hook")
        return self.value

    __float__ = __index__ = _answer


class Lying:
    """A sequence whose __len__, __getitem__ and __iter__ disagree, raise, or change its own items."""

    def __init__(self, items, length, len_raises, getitem_only, raise_at, grow):
        self.items, self.length, self.len_raises = list(items), length, len_raises
        self.getitem_only, self.raise_at, self.grow = getitem_only, raise_at, grow

    def __len__(self):
        if self.len_raises:
            raise UserError("len hook")
        if self.grow:
            self.items.append(1.0)  # asking the length changes the contents
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.raise_at:
            raise UserError("getitem hook")
        item = self.items[i]
        if self.grow and i == 0:
            self.items.pop()
        return item

    def __iter__(self):
        if self.getitem_only:
            return iter(_Indexed(self))
        return self._iterate()

    def _iterate(self):
        i = 0
        while i < len(self.items):
            if i == self.raise_at:
                raise UserError("iter hook")
            yield self.items[i]
            if self.grow and i == 0:
                self.items.insert(0, -2.0)
            i += 1


class _Indexed:
    """Iterated by the interpreter's own protocol for a class without __iter__: __getitem__ from 0 on."""

    def __init__(self, seq):
        self.seq = seq

    def __getitem__(self, i):
        return self.seq[i]


class FakeNumpyBool:
    """Named numpy.bool_ by its type; its __bool__ answers or raises."""

    def __init__(self, truth, raises):
        self.truth, self.raises = truth, raises

    def __bool__(self):
        if self.raises:
            raise UserError("bool hook")
        return self.truth


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


def const(value):
    return lambda: value


class Decoder:
    """Reads choices from fuzz bytes; past their end every choice is the first one."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def bool(self):
        return self.fdp.ConsumeBool()

    def pick(self, options):
        return options[self.int(0, len(options) - 1)]

    def raw(self, count):
        return self.fdp.ConsumeBytes(count)

    def f32(self):
        """A float32 value (as a Python float): an edge value or any bit pattern."""
        if self.bool():
            return self.pick(EDGE_FLOATS[:-1])
        return struct.unpack("<f", self.raw(4).ljust(4, b"\0"))[0]

    def f32_list(self, count):
        return [self.f32() for _ in range(count)]

    # --- numbers and sequences ---------------------------------------------------------------------

    def number(self):
        """A factory of one item of a data sequence: numbers of every kind, and values that are none."""
        kind = self.int(0, 9)
        if kind <= 2:
            return const(self.f32())
        if kind == 3:
            return const(self.pick(EDGE_INTS + EDGE_FLOATS + [True, False]))
        if kind == 4:
            value = self.pick(EDGE_INTS[:8] + EDGE_FLOATS + ["x", None, 1 + 2j])
            raises = self.pick([None, None, UserError, TypeError, OverflowError, Interrupt])
            return lambda: Number(value, raises)
        if kind == 5:
            code = self.pick(["f4", "f8", "f2", "i8", "u8", "i1", "?", "c8"])
            value = np.frombuffer(self.raw(16).ljust(16, b"\0"), dtype=code)[0]
            return lambda: value.copy()
        if kind == 6:
            return const(self.pick(["1.5", "", b"1", None, [], [1.0], (), {}, np.array([2.0]), np.array(3.0),
                                    np.zeros((1, 1)), Ellipsis, qv.float32]))
        if kind == 7:
            return self.sequence(depth=1)
        return const(self.int(-(2**31), 2**31))

    def sequence(self, depth=0):
        """A factory of a flat or nested sequence of items, plain or lying."""
        count = self.int(0, 8)
        items = [self.number() if depth else self.number_or_float() for _ in range(count)]
        kind = self.int(0, 4)
        if kind == 0:
            return lambda: [make() for make in items]
        if kind == 1:
            return lambda: tuple(make() for make in items)
        length = self.pick([None, None, 0, 1, count + 1, 2**31, sys.maxsize, -1])
        len_raises, getitem_only, grow = self.bool(), self.bool(), self.bool()
        raise_at = self.pick([None, None, 0, 1, 2])
        return lambda: Lying([make() for make in items], length, len_raises, getitem_only, raise_at, grow)

    def number_or_float(self):
        return self.number() if self.int(0, 3) == 0 else const(self.f32())

    # --- data with a buffer ------------------------------------------------------------------------

    def numpy_array(self):
        """Any dtype, 0 to 3 dimensions, any strides (negative ones too), from the fuzz bytes."""
        dtype = np.dtype(self.pick(NUMPY_DTYPES))
        ndim = self.int(0, 3)
        shape = [self.int(0, 5) for _ in range(ndim)]
        count = math.prod(shape)
        if dtype.kind == "O":
            base = np.array([self.f32() for _ in range(count)] or [0.0], dtype=object)[:count]
        else:
            raw = self.raw(count * dtype.itemsize).ljust(count * dtype.itemsize, b"\0")
            base = np.frombuffer(raw, dtype=dtype, count=count)
        base = base.reshape(shape)
        steps = [self.pick([1, 1, 2, -1, -2]) for _ in range(ndim)]
        view = base[tuple(slice(None, None, step) for step in steps)] if ndim else base  # a 0-d array stays one
        if ndim >= 2 and self.bool():
            view = view.T
        if self.bool():
            view = view.copy()  # a writable one of its own
        if ndim == 1 and self.bool():  # a 1-D view into a wider array: strides the fast path must honour
            wide = np.zeros((view.shape[0], 3), dtype=dtype)
            wide[:, self.int(0, 2)] = view
            view = wide[:, self.int(0, 2)]
        return const(view)

    def raw_buffer(self):
        size = self.int(0, 64)
        return bytearray(self.raw(size).ljust(size, b"\0"))

    def memoryview_cast(self):
        """memoryview(...).cast of raw bytes to any format and shape, sliced, or released."""
        raw = self.raw_buffer()
        fmt = self.pick(BUFFER_FORMATS)
        shape = [self.int(0, 6) for _ in range(self.int(0, 2))] if self.bool() else None
        step = self.pick([1, 1, 2, -1, 3])
        release = self.int(0, 15) == 0
        readonly = self.bool()

        def make():
            view = memoryview(bytes(raw) if readonly else bytearray(raw))
            try:
                view = view.cast(fmt, shape) if shape is not None else view.cast(fmt)
                view = view[::step] if view.ndim == 1 else view
            except (TypeError, ValueError, NotImplementedError):
                pass  # the cast refused: the bytes themselves
            if release:
                view.release()
            return view

        return make

    def std_array(self):
        code = self.pick(ARRAY_CODES)
        itemsize = array.array(code).itemsize
        count = self.int(0, 8)
        raw = self.raw(count * itemsize).ljust(count * itemsize, b"\0")
        subclass = self.int(0, 7) == 0

        def make():
            values = array.array(code)
            try:
                values.frombytes(raw)
            except ValueError:  # bytes that are no valid characters
                pass
            if subclass:
                return type("array", (array.array,), {"__iter__": lambda s: iter([7.0] * len(s))})(code, values)
            return values

        return make

    def ctypes_object(self):
        """ctypes arrays (their buffers have explicit byte orders) and unions."""
        element = self.pick(CTYPES)
        count = self.int(0, 6)
        raw = self.raw(count * ctypes.sizeof(element)).ljust(count * ctypes.sizeof(element), b"\0")
        kind = self.int(0, 3)

        def make():
            values = (element * count).from_buffer_copy(raw) if count else (element * 0)()
            if kind == 0:
                return values
            if kind == 1:
                return memoryview(values)

            class Union(ctypes.Union):
                _fields_ = [("items", element * max(count, 1)), ("word", ctypes.c_uint64)]

            union = Union()
            ctypes.memmove(ctypes.addressof(union), raw, min(len(raw), ctypes.sizeof(union)))
            return union if kind == 2 else memoryview(union)

        return make

    def data(self):
        """A factory of a value for tensor()'s data."""
        kind = self.int(0, 9)
        if kind <= 2:
            return self.sequence()
        if kind == 3:
            return self.numpy_array()
        if kind == 4:
            return self.memoryview_cast()
        if kind == 5:
            return self.std_array()
        if kind == 6:
            return self.ctypes_object()
        if kind == 7:
            raw = self.raw_buffer()
            return self.pick([lambda: bytes(raw), lambda: bytearray(raw), lambda: str(raw[:4], "latin-1"),
                              lambda: range(len(raw)), lambda: (x for x in raw)])
        if kind == 8:
            return self.number()
        return const(self.pick([None, {}, {1.0: 2.0}, {1.0}, 1.5, qv.float32, qv.Device("cpu")]))

    # --- the other creation arguments --------------------------------------------------------------

    def dim(self):
        kind = self.int(0, 9)
        if kind <= 5:
            return const(self.pick(SMALL_DIMS))
        if kind == 6:
            return const(self.pick(HUGE_DIMS))
        if kind == 7:
            return const(self.pick(BAD_DIMS))
        if kind == 8:
            value = self.pick(SMALL_DIMS + HUGE_DIMS + [-1, 2**64, "x", 1.5])
            raises = self.pick([None, None, UserError, Interrupt])
            return lambda: Number(value, raises)
        return const(self.pick([np.int64(2), np.uint8(3), np.int32(-1), np.float64(2.0), np.bool_(True)]))

    def shape(self):
        """A factory of a shape: mostly sequences of sizes, sometimes something else."""
        dims = [self.dim() for _ in range(self.int(0, 4))]
        kind = self.int(0, 6)
        if kind <= 2:
            return lambda: [make() for make in dims]
        if kind == 3:
            return lambda: tuple(make() for make in dims)
        small = [self.pick(SMALL_DIMS) for _ in dims]
        if kind == 4:
            return self.pick([lambda: bytes(small), lambda: array.array("q", small),
                              lambda: np.array(small, dtype=np.int64), lambda: np.array(small, dtype=np.uint8)[::-1]])
        if kind == 5:
            length = self.pick([None, 0, 1, 2**31, -1])
            len_raises, getitem_only, grow = self.bool(), self.bool(), self.bool()
            raise_at = self.pick([None, None, 0, 1])
            return lambda: Lying([make() for make in dims], length, len_raises, getitem_only, raise_at, grow)
        return const(self.pick(["23", None, 3, 2.0, {2: 3}, {2}, memoryview(b"\x02\x03"), Number(2)]))

    def dtype(self):
        kind = self.int(0, 5)
        if kind <= 1:
            return const(None)
        if kind <= 3:
            return const(self.pick(DTYPES))
        return const(self.pick(["float32", qv.Device("cpu"), 0, np.float32, qv.DType]))

    def device(self):
        kind = self.int(0, 3)
        if kind <= 1:
            return const(None)
        if kind == 2:
            return lambda: qv.Device("cpu")
        return const(self.pick(["cpu", qv.float32, 0]))

    def requires_grad(self):
        kind = self.int(0, 5)
        if kind <= 3:
            return const(self.bool())
        if kind == 4:
            truth, raises = self.bool(), self.bool()
            return lambda: FakeNumpyBool(truth, raises)
        return const(self.pick([None, 0, 1, np.bool_(True), np.bool_(False), "True"]))


# --- judging outcomes ----------------------------------------------------------------------------------

def is_documented(exc):
    """Whether exc is something the library may raise: a documented text, an argument refusal, or
    what a hostile object raised itself."""
    if isinstance(exc, (UserError, Interrupt, TypeError, OverflowError, MemoryError)):
        return True
    return documented_error(type(exc), str(exc)) is not None


_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype, _as_double.argtypes = ctypes.c_double, [ctypes.py_object]


def interpreter_refusals(values):
    """(type, text) of each exception the interpreter itself raises when iterating one of values or
    converting it, or one of its items, to a float or an index: the library passes those on."""
    refusals = set()

    def attempt(convert, value):
        try:
            return convert(value)
        except BaseException as exc:  # noqa: B036 - collected, not handled
            refusals.add((type(exc), str(exc)))
            return ()

    def items(value):
        return [item for item in value]  # not list(): it would trust a lying __len__ for its allocation

    for value in values:
        for item in [value, *attempt(items, value)]:
            attempt(_as_double, item)
            attempt(operator.index, item)
    return refusals


def passed_on(exc, values):
    """Whether exc is one of the interpreter's refusals of values, after the binding's "argument 'x': "."""
    text = str(exc)
    if text.startswith("argument '"):
        text = text.split("': ", 1)[-1]
    return (type(exc), text) in interpreter_refusals(values)


def same_values(got, want):
    """Float32 values equal bit for bit, except that every NaN equals every NaN (a NaN's sign and
    payload are not defined through every route)."""
    got, want = np.asarray(got, dtype=np.float32), np.asarray(want, dtype=np.float32)
    if got.shape != want.shape:
        return False
    return bool(np.all((got.view(np.uint32) == want.view(np.uint32)) | (np.isnan(got) & np.isnan(want))))


def to_f32(value):
    """The nearest float32 of a double, as a Python float (overflow gives an infinity)."""
    with np.errstate(all="ignore"):
        return float(np.float32(value))


def run(test_one_input):
    """Runs a harness under libFuzzer with the command line's options."""
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


__all__ = ["DTYPES", "Decoder", "Interrupt", "Number", "PanicException", "SMALL_DIMS", "UserError", "is_documented",
           "passed_on", "qv", "run", "same_values", "to_f32"]
