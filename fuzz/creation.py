#!/usr/bin/env python3
"""Fuzzes tensor(), zeros() and ones() with data, shapes and options decoded from the input.

Each call is replayed by a plain-Python model of the binding (the same conversions, in the same
order, through the interpreter's own C API) on a second copy of the arguments: the library must
raise what the model raises, or return a tensor of exactly the model's values and shape.
"""

import ctypes
import math
import operator

from decode import Decoder, PanicException, is_documented, qv, run, same_values, to_f32

_api = ctypes.pythonapi
_as_double = _api.PyFloat_AsDouble
_as_double.restype, _as_double.argtypes = ctypes.c_double, [ctypes.py_object]
_is_sequence = _api.PySequence_Check
_is_sequence.restype, _is_sequence.argtypes = ctypes.c_int, [ctypes.py_object]

FUNCTIONS = ["tensor", "zeros", "ones"]
PARAMETERS = {"tensor": ["data", "shape", "dtype", "device", "requires_grad"],
              "zeros": ["shape", "dtype", "device", "requires_grad"],
              "ones": ["shape", "dtype", "device", "requires_grad"]}


class TooLarge(Exception):
    """A size this harness does not try: a failing allocation would end the run."""


class Refused(Exception):
    """The model's outcome when the call must fail: with one of exc_types; with the text of the
    interpreter's own exception, when it is one, after the binding's "argument 'name': "."""

    def __init__(self, *exc_types, text=None):
        self.exc_types, self.text = exc_types, text


def require_sequence(value):
    if isinstance(value, str) or not _is_sequence(value):
        raise TypeError("not a sequence")


def length_hint(value):
    try:
        len(value)  # asked (a lying __len__ may change the contents), then only a hint
    except Exception:  # an interrupt or an exit goes through
        pass


def model_data(value):
    if isinstance(value, memoryview):
        value.format  # noqa: B018 - a released view refuses every use, as list() of it does
    require_sequence(value)
    length_hint(value)
    return [to_f32(_as_double(item)) for item in value]


def model_dim(item):
    size = item if isinstance(item, int) else operator.index(item)
    if not 0 <= size < 2**64:
        raise OverflowError("size")
    return size


def model_shape(value):
    require_sequence(value)
    length_hint(value)
    return [model_dim(item) for item in value]


def model_requires_grad(value):
    if isinstance(value, bool):
        return value
    if type(value).__name__ in ("bool_", "bool") and getattr(type(value), "__module__", None) == "numpy":
        return bool(value)
    raise TypeError("not a bool")


def model(name, args):
    """(values or None for zeros of another dtype, shape, dtype name, requires_grad) or Refused."""
    try:
        values = model_data(args["data"]) if name == "tensor" else None
        shape = model_shape(args["shape"])
        dtype = args.get("dtype")
        if dtype is not None and type(dtype) is not qv.DType:
            raise TypeError("dtype")
        device = args.get("device")
        if device is not None and type(device) is not qv.Device:
            raise TypeError("device")
        requires_grad = model_requires_grad(args["requires_grad"]) if "requires_grad" in args else False
    except BaseException as exc:  # noqa: B036
        raise Refused(type(exc), text=str(exc)) from None
    dtype = "float32" if dtype is None else str(dtype)
    count = math.prod(shape)
    if name == "ones" and count >= 2**64:  # ones counts before it checks the dtype, tensor after
        raise Refused(ValueError)
    if name != "zeros" and dtype != "float32":
        raise Refused(NotImplementedError)
    if count >= 2**64:
        raise Refused(ValueError)
    if name == "tensor" and count != len(values):
        raise Refused(ValueError)
    if 2**20 < count < 2**62:
        raise TooLarge  # the sanitizer's allocator aborts where such an allocation fails
    if count >= 2**62:  # no allocation of that many elements can succeed
        raise Refused(MemoryError, PanicException)
    if name == "ones":
        values = [1.0] * count
    elif name == "zeros":
        values = [0.0] * count if dtype == "float32" else None
    return values, shape, dtype, requires_grad


def decode_call(dec):
    """(function name, {parameter: factory}, how many parameters go by position)."""
    name = dec.pick(FUNCTIONS)
    makers = {"data": dec.data, "shape": dec.shape, "dtype": dec.dtype, "device": dec.device,
              "requires_grad": dec.requires_grad}
    parameters = PARAMETERS[name]
    required = 2 if name == "tensor" else 1
    given = parameters[:required] + [p for p in parameters[required:] if dec.bool()]
    factories = {p: makers[p]() for p in given}
    positional = dec.int(0, len(given))
    while given[:positional] != parameters[:positional]:
        positional -= 1  # a parameter skipped before it: the rest by keyword
    return name, factories, positional


def call(name, factories, positional):
    args = {p: make() for p, make in factories.items()}
    names = list(args)
    return args, getattr(qv, name)(*[args[p] for p in names[:positional]],
                                   **{p: args[p] for p in names[positional:]})


def test_one_input(data):
    dec = Decoder(data)
    name, factories, positional = decode_call(dec)
    try:
        want = model(name, {p: make() for p, make in factories.items()})
    except Refused as refused:
        want = refused
    except TooLarge:
        return
    try:
        _, got = call(name, factories, positional)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        got = exc
    if isinstance(want, Refused):
        assert isinstance(got, BaseException), f"{name}: returned a tensor where {want.exc_types} was due"
        assert type(got) in want.exc_types, f"{name}: raised {got!r}, not {want.exc_types}"
        assert is_documented(got) or (want.text and str(got).endswith(want.text)), f"{name}: undocumented {got!r}"
        return
    if isinstance(got, BaseException):
        raise AssertionError(f"{name}: raised {got!r} where the model returned") from got
    values, shape, dtype, requires_grad = want
    assert (got.shape, got.dtype, got.device, got.requires_grad) == (shape, dtype, "cpu", requires_grad), name
    if values is not None:
        assert same_values(got.data(), values), f"{name}: {got.data()} != {values}"


def main():
    run(test_one_input)


if __name__ == "__main__":
    main()
