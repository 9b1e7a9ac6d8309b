#!/usr/bin/env python3
"""Fuzzes every method, property and operator of Tensor, DType and Device with decoded arguments.

A pool of tensors of every dtype and of empty and zero-sized shapes is decoded first; then one call,
with any number of positional and keyword arguments of any kind: numbers, sequences, hostile objects
whose hooks raise or re-enter the library on a pool tensor, and the pool's tensors themselves. The
call must return or raise a documented exception; afterwards every tensor reads back what it held
(only apply_sgd_step may change its receiver), reads back the values it was made from, and can be
written again (no access is left taken).
"""

import gc
import operator

from decode import (DTYPES, SMALL_DIMS, Decoder, Interrupt, Number, UserError, is_documented, passed_on, qv, run,
                    same_values)

Tensor = qv.Tensor
TENSOR_METHODS = {"item": 0, "data": 0, "tolist": 0, "relu": 0, "sigmoid": 0, "sum": 0, "backward": 0, "numpy": 0,
                  "__dlpack_device__": 0, "matmul": 1, "apply_sgd_step": 1, "slice_rows": 1, "__dlpack__": 1,
                  "from_numpy": 1, "__add__": 1, "__radd__": 1, "__mul__": 1, "__rmul__": 1, "__getitem__": 1,
                  "__setitem__": 2, "__delitem__": 1, "__reduce__": 0, "__sizeof__": 0, "__dir__": 0,
                  "__init_subclass__": 0, "__format__": 1}
PROPERTIES = ["shape", "dtype", "device", "requires_grad"]
OPERATORS = [operator.add, operator.mul, operator.sub, operator.truediv, operator.matmul, operator.pow,
             operator.lt, operator.eq, operator.ne, operator.iadd, operator.imul, operator.imatmul, divmod,
             operator.and_, operator.lshift, operator.getitem, operator.contains]
UNARY = [operator.neg, operator.pos, operator.invert, abs, bool, hash, repr, str, len, iter, int, float,
         operator.index, lambda x: format(x, "x"), lambda x: format(x, ""), reversed, dir, vars, complex]
# zeros, ones and tensor are the creation harness's: sizes decoded here could reach any allocation
CLASS_CALLS = [qv.Device, qv.DType, Tensor, Tensor.__new__, qv.Device.__new__, qv.DType.__new__]
REENTRIES = ["read", "sum", "add", "backward", "sgd", "slice", "matmul", "drop"]


class Pool:
    """The tensors of one input, what each was made from, and which ones a hook may have stepped."""

    def __init__(self, dec):
        self.tensors, self.values, self.stepped = [], [], set()
        for _ in range(dec.int(0, 4)):
            self.add(dec)

    def add(self, dec):
        kind = dec.int(0, 4)
        requires_grad = dec.bool()
        shape = [dec.pick(SMALL_DIMS) for _ in range(dec.int(0, 3))]
        count = 1
        for size in shape:
            count *= size
        if kind == 0:
            dtype = dec.pick(DTYPES)
            t = qv.zeros(shape, dtype, None, requires_grad)
            values = [0.0] * count if dtype is qv.float32 else None
        else:
            values = [float(v) for v in qv.tensor(dec.f32_list(count), [count]).data()]
            t = qv.tensor(values, shape, requires_grad=requires_grad)
            if kind == 4:  # a result that sits on the tape
                t = dec.pick([t.relu, t.sigmoid, lambda: t + t, lambda: t * t])()
                values = t.data()
        self.tensors.append(t)
        self.values.append(values)

    def any(self, dec):
        if not self.tensors:
            return None
        return self.tensors[dec.int(0, len(self.tensors) - 1)]


def reentry(dec, pool):
    """A hook's action on a pool tensor, run before the hook answers."""
    action = dec.pick(REENTRIES)
    index = dec.int(0, 3)

    def run_action():
        if not pool.tensors:
            return
        t = pool.tensors[index % len(pool.tensors)]
        if action == "read":
            t.data()
        elif action == "sum":
            t.sum()
        elif action == "add":
            t + t
        elif action == "backward":
            t.backward()
        elif action == "sgd":
            pool.stepped.add(id(t))  # its values may change now
            t.apply_sgd_step(0.5)
        elif action == "slice":
            t.slice_rows(0)
        elif action == "matmul":
            t.matmul(t)
        else:
            pool.tensors.append(qv.ones([1]))
            pool.values.append([1.0])

    return run_action


class Hook(Number):
    """A number whose __float__ and __index__ first re-enter the library."""

    def __init__(self, value, raises, action):
        super().__init__(value, raises)
        self.action = action

    def _answer(self):
        self.action()
        return super()._answer()

    __float__ = __index__ = __bool__ = __len__ = _answer


def value(dec, pool):
    kind = dec.int(0, 9)
    if kind <= 2:
        return pool.any(dec)
    if kind == 3:
        return dec.pick([qv.float32, qv.int8, qv.Device("cpu"), Tensor, qv.DType, qv.Device, None, Ellipsis])
    if kind == 4:
        raises = dec.pick([None, UserError, Interrupt, TypeError])
        return Hook(dec.pick([0, 1, -1, 0.1, 2**63, "x", None]), raises, reentry(dec, pool))
    if kind == 5:
        return dec.pick(["cpu", "CPU", " cpu", "cpu\x00", "\ud800", "", "cuda", b"cpu"])
    if kind == 6:
        return dec.pick([0, 1, -1, 2, 3, -4, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, 0.1, -0.5, float("nan"),
                         float("inf"), True, False, slice(0, 1), (0, 1), [0], 1j])
    if kind == 7:
        return dec.data()()
    return dec.number()()


def arguments(dec, pool, count):
    """Usually count positional arguments; sometimes fewer, more, or keywords of any name."""
    if dec.int(0, 3):
        args = [value(dec, pool) for _ in range(count)]
    else:
        args = [value(dec, pool) for _ in range(dec.int(0, count + 2))]
    kwargs = {}
    if dec.int(0, 4) == 0:
        for _ in range(dec.int(1, 2)):
            kwargs[dec.pick(["other", "lr", "index", "_stream", "_array", "name", "key", "self", "shape", "x"])] = \
                value(dec, pool)
    return args, kwargs


def decode_call(dec, pool):
    """(description, callable of no arguments, receiver whose values may change, the values handed over)."""
    family = dec.int(0, 5)
    if family == 0:  # a method, bound or through the class with any receiver
        name = dec.pick(list(TENSOR_METHODS))
        args, kwargs = arguments(dec, pool, TENSOR_METHODS[name])
        receiver = pool.any(dec) if dec.int(0, 4) else value(dec, pool)
        method = getattr(Tensor, name)
        if name != "from_numpy":
            args = [receiver] + args
        return name, lambda: method(*args, **kwargs), receiver if name == "apply_sgd_step" else None, \
            [*args, *kwargs.values()]
    if family == 1:
        name = dec.pick(PROPERTIES)
        receiver = pool.any(dec)
        how = dec.int(0, 3)
        other = value(dec, pool)
        descriptor = Tensor.__dict__[name]
        calls = [lambda: getattr(receiver, name), lambda: setattr(receiver, name, other),
                 lambda: delattr(receiver, name), lambda: descriptor.__get__(other, Tensor)]
        return f"property {name}", calls[how], None, [other]
    if family == 2:
        op = dec.pick(OPERATORS)
        lhs, rhs = value(dec, pool), value(dec, pool)
        if not library_objects([lhs, rhs]):  # the interpreter's arithmetic alone is not under test
            lhs = pool.any(dec) or qv.float32
        if dec.bool():
            lhs, rhs = rhs, lhs
        return f"operator {op.__name__}", lambda: op(lhs, rhs), None, [lhs, rhs]
    if family == 3:
        op = dec.pick(UNARY)
        operand = value(dec, pool)
        return f"unary {op.__name__}", lambda: op(operand), None, [operand]
    if family == 4:  # DType and Device objects, through every slot they have
        obj = dec.pick(DTYPES + [qv.Device("cpu")])
        other = value(dec, pool)
        how = dec.pick([str, repr, hash, lambda o: o == other, lambda o: o != other, lambda o: o < other,
                        lambda o: type(o)(other), lambda o: type(o).__new__(type(o), other),
                        lambda o: setattr(o, "x", other), lambda o: o.__reduce_ex__(2), lambda o: str(o) == other])
        return "DType/Device", lambda: how(obj), None, [other]
    fn = dec.pick(CLASS_CALLS)
    args, kwargs = arguments(dec, pool, dec.int(0, 5))
    return f"call {getattr(fn, '__name__', fn)}", lambda: fn(*args, **kwargs), None, [*args, *kwargs.values()]


def library_objects(values):
    return any(isinstance(v, (Tensor, qv.DType, qv.Device)) for v in values)


def check_outcome(entry, operands, exc):
    if entry.startswith(("operator", "unary")):
        if not library_objects(operands):
            return  # the interpreter's own business: no library code ran
        if entry in ("operator getitem", "operator contains") and not library_objects(operands[:1]):
            return  # the container's own slot ran, with a library object as the key
        if any(type(v).__module__ == "numpy" for v in operands) and isinstance(exc, Exception):
            return  # NumPy's reflected operator ran and raised on its own terms
    if is_documented(exc) or passed_on(exc, operands):
        return
    if isinstance(exc, AttributeError):
        assert entry.startswith("property") or entry == "DType/Device", (entry, exc)
    else:  # Device() of a str that UTF-8 cannot encode says so
        assert isinstance(exc, UnicodeEncodeError), f"{entry}: unexpected {type(exc).__name__}: {exc}"


def snapshot(t):
    return t.shape, t.dtype, t.requires_grad, t.data() if t.dtype == "float32" else None


def test_one_input(data):
    dec = Decoder(data)
    pool = Pool(dec)
    before = [snapshot(t) for t in pool.tensors]
    entry, call, receiver, operands = decode_call(dec, pool)
    try:
        result = call()
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        check_outcome(entry, operands, exc)
        result = None
    del result
    gc.collect(0)  # tensors held by the frames of a raising hook go now
    for t, was, made_from in zip(pool.tensors, before, pool.values):
        if t is receiver or id(t) in pool.stepped:
            assert snapshot(t)[:3] == was[:3], entry
            continue
        now = snapshot(t)
        assert now[:3] == was[:3] and (now[3] is None or same_values(now[3], was[3])), f"{entry} changed a tensor"
        assert made_from is None or same_values(now[3], made_from), f"{entry}: values differ from the data given"
    for t in pool.tensors:
        assert t.apply_sgd_step(0.1) is None  # every access was given back
    assert qv.tensor([1.0, 2.0], [2]).sum().item() == 3.0


def main():
    run(test_one_input)


if __name__ == "__main__":
    main()
