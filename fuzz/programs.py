#!/usr/bin/env python3
"""Fuzzes programs: sequences of operations, backward(), apply_sgd_step(), slice_rows() and drops.

Every step runs on the library and on a plain-Python float32 model of it: the values, shapes and
requires_grad of results, the recorded operations, the gradients of every backward pass (computed
in the order the nodes' formulas fix, so bit for bit) and the steps they make. The elementwise
operations, sum, slice_rows, backward and apply_sgd_step must match the model exactly; matmul and
sigmoid, whose kernels may round differently, within a few units in the last place, after which
the model takes the library's values. After every step each tensor still reads back its model's
values: no operand ever changes.
"""

import math

import numpy as np

from decode import Decoder, is_documented, qv, run, same_values

PARALLEL_SIZE = 131072
SHAPES = [[], [0], [1], [2], [3], [1, 1], [2, 1], [1, 2], [2, 2], [2, 3], [3, 2], [0, 2], [2, 0], [3, 3], [2, 2, 2]]
OPS = ["add", "mul", "relu", "sigmoid", "sum", "matmul", "slice", "backward", "sgd", "sgd", "drop", "new", "drain",
       "parallel"]
LR = [0.1, 1.0, -0.5, 0.0, 1e-3, 3.0, float("inf"), float("nan"), 1e30]
F32 = np.float32
MISSING = {"add": "AutogradError: Gradient missing for Output ID TensorId({})",
           "mul": "AutogradError: Gradient missing",
           "relu": "AutogradError: Gradient missing for ReLU Output",
           "sigmoid": "AutogradError: Gradient missing for Sigmoid Output",
           "sum": "AutogradError: Gradient missing for Sum Output",
           "matmul": "AutogradError: Gradient missing for MatMul Output"}


class Model:
    """A tensor's model: its id in the model, values (float32 array, flat), shape and flag."""

    def __init__(self, values, shape, requires_grad, tensor_id):
        self.values = np.asarray(values, dtype=F32).reshape(-1)
        self.shape, self.requires_grad, self.id = list(shape), requires_grad, tensor_id


class Program:
    def __init__(self):
        self.tensors, self.models, self.tape, self.gradients = [], [], [], None

    def add(self, tensor, model):
        self.tensors.append(tensor)
        self.models.append(model)

    def check_all(self, step):
        for t, m in zip(self.tensors, self.models):
            assert (t.shape, t.requires_grad) == (m.shape, m.requires_grad), step
            assert same_values(t.data(), m.values), f"{step}: {t.data()} != {m.values.tolist()}"




def leaf(dec, program):
    shape = dec.pick(SHAPES)
    count = math.prod(shape)
    values = np.asarray(dec.f32_list(count), dtype=F32)
    requires_grad = dec.bool()
    kind = dec.int(0, 3)
    if kind == 0:
        t, values = qv.zeros(shape, requires_grad=requires_grad), np.zeros(count, dtype=F32)
    elif kind == 1:
        t, values = qv.ones(shape, requires_grad=requires_grad), np.ones(count, dtype=F32)
    else:
        t = qv.tensor(values if kind == 2 else values.tolist(), shape, requires_grad=requires_grad)
    program.add(t, Model(values, shape, requires_grad, object()))


def close(got, want):
    """Within a few units in the last place of float32, relative to the size of the terms."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    both_nan = np.isnan(got) & np.isnan(want)
    with np.errstate(all="ignore"):
        ok = both_nan | (got == want) | (np.abs(got - want) <= 1e-5 * np.maximum(np.abs(want), 1e-30) + 1e-37)
    return bool(ok.all())


def relu(x):
    return np.where(x > 0, x, F32(0))


def sigmoid_model(x):
    with np.errstate(all="ignore"):
        return (F32(1) / (F32(1) + np.exp(-x.astype(np.float64)).astype(F32))).astype(F32)


def forward(op, a, b):
    """(values, shape) of an operation's result, or the exception it must raise."""
    with np.errstate(all="ignore"):
        if op in ("add", "mul"):
            if a.shape != b.shape:
                return ValueError
            return (a.values + b.values if op == "add" else a.values * b.values), a.shape
        if op == "relu":
            return relu(a.values), a.shape
        if op == "sigmoid":
            return sigmoid_model(a.values), a.shape
        if op == "sum":  # in order from -0.0, which the first element replaces bit for bit
            total = np.add.accumulate(a.values, dtype=F32)[-1] if a.values.size else F32(-0.0)
            return np.array([total], dtype=F32), [1]
        if len(a.shape) != 2 or len(b.shape) != 2 or a.shape[1] != b.shape[0]:
            return ValueError
        m, k, n = a.shape[0], a.shape[1], b.shape[1]
        product = a.values.astype(np.float64).reshape(m, k) @ b.values.astype(np.float64).reshape(k, n)
        return product.astype(F32).reshape(-1), [m, n]


def matmul_close(got, a, b, want):
    """Within rounding of the terms' magnitudes; only where every term is finite."""
    m, k = a.shape
    n = b.shape[1]
    with np.errstate(all="ignore"):
        scale = np.abs(a.values.astype(np.float64).reshape(m, k)) @ np.abs(b.values.astype(np.float64).reshape(k, n))
        scale = scale.reshape(-1)
        finite = np.isfinite(scale) & (scale < 1e37)
        error = np.abs(np.asarray(got, dtype=np.float64) - want.astype(np.float64))
        return bool(np.all(~finite | (error <= 1e-5 * scale + 1e-37)))


# --- the recorded operations and their gradients, as the nodes compute them ------------------------------

def f32_dot(terms):
    """A sum of products from +0 in order, each product and each sum rounded to float32."""
    total = F32(0)
    for x, y in terms:
        total = F32(total + F32(x * y))
    return total


def node_gradients(node, g):
    """[(operand model id, gradient)] of one node, left operand first, in float32 as the node computes."""
    op, out, operands, saved = node
    with np.errstate(all="ignore"):
        if op == "add":
            grads = [g, g]
        elif op == "mul":
            a, b = saved
            grads = [g * b, g * a]
        elif op == "relu":
            grads = [np.where(saved[0] > 0, g, F32(0))]
        elif op == "sigmoid":
            s = saved[0]
            grads = [(s * g) * (F32(1) - s)]
        elif op == "sum":
            grads = [np.full(saved[0], g[0], dtype=F32)]
        else:
            (a, (m, k)), (b, (_, n)) = saved
            ga = np.array([f32_dot((g[i * n + l], b[j * n + l]) for l in range(n)) for i in range(m) for j in range(k)],
                          dtype=F32)
            gb = np.array([f32_dot((a[r * k + i], g[r * n + j]) for r in range(m)) for i in range(k) for j in range(n)],
                          dtype=F32)
            grads = [ga, gb]
    return [(operand, grad) for operand, grad in zip(operands, grads) if operand is not None]


def record(op, result, a, b):
    """A node as the library records it: operand ids only for operands that require gradients."""
    if op in ("add", "mul", "matmul"):
        operands = [a.id if a.requires_grad else None, b.id if b.requires_grad else None]
    else:
        operands = [a.id]
    if op == "mul":
        saved = [a.values.copy(), b.values.copy()]
    elif op == "relu":
        saved = [a.values.copy()]
    elif op == "sigmoid":
        saved = [result.values.copy()]
    elif op == "sum":
        saved = [a.values.size]
    elif op == "matmul":
        saved = [(a.values.copy(), a.shape), (b.values.copy(), b.shape)]
    else:
        saved = []
    return op, result.id, operands, saved


def backward(program, seed):
    """The map of a pass, or the message of its first missing gradient (the tape drained either way)."""
    gradients = {seed.id: np.ones(seed.values.size, dtype=F32)}
    tape, program.tape = program.tape, []
    for node in reversed(tape):
        g = gradients.get(node[1])
        if g is None:
            return node[0]
        for operand, grad in node_gradients(node, g):
            with np.errstate(all="ignore"):
                gradients[operand] = grad if operand not in gradients else grad + gradients[operand]
    return gradients


# --- one step ------------------------------------------------------------------------------------------

def step(dec, program):
    op = dec.pick(OPS)
    if op == "parallel" and dec.int(0, 15) == 15:  # rare: a sigmoid large enough for the worker pool
        values = np.resize(np.asarray(dec.f32_list(8), dtype=F32), PARALLEL_SIZE)
        result = qv.tensor(values, [PARALLEL_SIZE]).sigmoid()
        # rows from each worker's share (reading all of them back costs more than the rest of an input)
        rows = [i for start in (0, PARALLEL_SIZE // 2 - 4, PARALLEL_SIZE - 8) for i in range(start, start + 8)]
        got = [result.slice_rows(i).item() for i in rows]
        assert close(got, sigmoid_model(values[rows])), op
        return op
    if op in ("new", "parallel") or not program.tensors:
        leaf(dec, program)
        return "new"
    if op == "drain":  # a pass on a fresh tensor: it empties the record, and succeeds only on an empty one
        try:
            qv.ones([1], requires_grad=True).backward()
        except ValueError as exc:
            assert program.tape and is_documented(exc), exc
        else:
            assert not program.tape, "backward succeeded with operations recorded before its tensor"
            program.gradients = {}
        program.tape = []
        return op
    # mostly the newest tensor first: chains of operations that a backward() pass can run through
    last = len(program.tensors) - 1
    i = last if dec.int(0, 2) else dec.int(0, last)
    j = dec.int(0, last)
    a, b = program.tensors[i], program.tensors[j]
    ma, mb = program.models[i], program.models[j]
    if op == "drop":
        del program.tensors[i], program.models[i]
        return op
    if op == "slice":
        index = dec.pick([0, 1, 2, -1, -2, 3, -4])
        rows = ma.shape[0] if ma.shape else None
        try:
            got = a.slice_rows(index)
        except IndexError as exc:
            assert is_documented(exc) and (rows is None or not -rows <= index < rows), (op, exc)
            return op
        assert rows is not None and -rows <= index < rows, op
        width = ma.values.size // rows if rows else 0
        row = index % rows
        shape = ma.shape[1:] if len(ma.shape) > 1 else [1]
        program.add(got, Model(ma.values[row * width:(row + 1) * width], shape, ma.requires_grad, object()))
        return op
    if op == "backward":
        try:
            a.backward()
        except ValueError as exc:
            assert is_documented(exc), exc
            if not ma.requires_grad:
                assert str(exc).startswith("AutogradError: Cannot call backward()"), exc
                return op
            outcome = backward(program, ma)
            assert isinstance(outcome, str), f"backward failed: {exc}"
            want = MISSING[outcome]
            assert str(exc) == want or (outcome == "add" and str(exc).startswith(want[:40])), (exc, want)
            return op
        assert ma.requires_grad, "backward on a tensor that does not require gradients"
        outcome = backward(program, ma)
        assert not isinstance(outcome, str), f"backward succeeded where {outcome}'s gradient was missing"
        program.gradients = outcome
        return op
    if op == "sgd":
        lr = dec.pick(LR)
        assert a.apply_sgd_step(lr) is None
        g = None if program.gradients is None else program.gradients.get(ma.id)
        if g is not None:
            with np.errstate(all="ignore"):
                ma.values = ma.values - F32(lr) * g
        return op
    want = forward(op, ma, mb)
    try:
        binary = {"add": lambda: a + b, "mul": lambda: a * b, "matmul": lambda: a.matmul(b)}
        got = binary[op]() if op in binary else getattr(a, op)()
    except ValueError as exc:
        assert want is ValueError and is_documented(exc), (op, exc, want)
        return op
    assert want is not ValueError, f"{op} of {ma.shape} and {mb.shape} succeeded"
    values, shape = want
    requires_grad = ma.requires_grad or (mb.requires_grad and op in ("add", "mul", "matmul"))
    assert (got.shape, got.requires_grad) == (shape, requires_grad), (op, got.shape, shape)
    data = got.data()
    if op == "matmul":
        assert matmul_close(data, ma, mb, values), (op, data, values.tolist())
        values = np.asarray(data, dtype=F32)
    elif op == "sigmoid":
        assert close(data, values), (op, data, values.tolist())
        values = np.asarray(data, dtype=F32)
    else:
        assert same_values(data, values), (op, data, values.tolist())
    model = Model(values, shape, requires_grad, object())
    if requires_grad:
        program.tape.append(record(op, model, ma, mb))
    program.add(got, model)
    return op


def test_one_input(data):
    dec = Decoder(data)
    # a pass on a fresh tensor drains whatever an earlier input left recorded on this thread
    try:
        qv.ones([1], requires_grad=True).backward()
    except ValueError:
        pass
    program = Program()
    for _ in range(dec.int(1, 4)):
        leaf(dec, program)
    for _ in range(dec.int(1, 24)):
        done = step(dec, program)
        program.check_all(done)


def main():
    run(test_one_input)


if __name__ == "__main__":
    main()
