"""Forward operations: matmul, relu, sigmoid, sum, + and *."""

import math
import struct

import numpy as np
import pytest

from conftest import (
    COUNTS_IDS, DTYPE_MISMATCH, F32_MISMATCH, NON_F32_DTYPES, PARALLEL_SIGMOID, SHAPE_MISMATCH, f32bits, next_id, t32,
    tape_is_empty,
)
from op_table import OP_NAMES, OPS, OPS_BY_NAME, sigmoid_reference

import quvarin as qv

SEQUENTIAL_LIMIT = PARALLEL_SIGMOID - 1  # the largest sigmoid input computed on the calling thread alone
PARALLEL_START = PARALLEL_SIGMOID


# --- elementwise + and * ----------------------------------------------------------------------------
# The arithmetic itself is checked bit for bit in the core tests; here, the operators and shapes.


@pytest.mark.parametrize("shape", [[], [0], [3, 0], [2, 3], [2, 1, 2]])
def test_elementwise_shapes(shape):
    n = math.prod(shape)
    a = qv.tensor([float(i) for i in range(n)], shape)
    b = qv.tensor([2.0] * n, shape)
    assert (a + b).shape == shape and (a * b).shape == shape
    assert (a + b).data() == [i + 2.0 for i in range(n)]
    assert (a * b).data() == [2.0 * i for i in range(n)]


@pytest.mark.parametrize(
    "left, right, message",
    [
        (lambda: qv.ones([2, 3]), lambda: qv.ones([3, 2]), SHAPE_MISMATCH.format([2, 3], [3, 2])),
        (lambda: qv.ones([2, 2]), lambda: qv.ones([1, 2]), SHAPE_MISMATCH.format([2, 2], [1, 2])),
        (lambda: qv.ones([]), lambda: qv.ones([1]), SHAPE_MISMATCH.format([], [1])),
        (lambda: qv.ones([1]), lambda: qv.ones([]), SHAPE_MISMATCH.format([1], [])),
        (lambda: qv.ones([0]), lambda: qv.ones([0, 0]), SHAPE_MISMATCH.format([0], [0, 0])),
        (lambda: qv.zeros([2], dtype=qv.bfloat16), lambda: qv.ones([2]), DTYPE_MISMATCH.format("bfloat16", "float32")),
        (lambda: qv.zeros([2], dtype=qv.int32), lambda: qv.zeros([2], dtype=qv.float16),
         DTYPE_MISMATCH.format("int32", "float16")),
        (lambda: qv.zeros([0], dtype=qv.int8), lambda: qv.zeros([0], dtype=qv.int8), F32_MISMATCH),
    ],
)
@pytest.mark.parametrize("op", ["+", "*"])
def test_elementwise_errors(left, right, message, op):
    a, b = left(), right()
    with pytest.raises(ValueError) as info:
        a + b if op == "+" else a * b
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.args == (message,)


class Radd:
    def __radd__(self, other):
        return "radd"

    def __rmul__(self, other):
        return "rmul"


@pytest.mark.parametrize(
    "expr, symbol",
    [
        (lambda t: t + 1, "+"),
        (lambda t: 1 + t, "+"),
        (lambda t: t + 1.5, "+"),
        (lambda t: 2.0 * t, "*"),
        (lambda t: t * "a", None),
        (lambda t: t + None, "+"),
        (lambda t: [1.0] + t, None),
        (lambda t: t + qv.float32, "+"),
        (lambda t: t @ t, "@"),
        (lambda t: t - t, "-"),
        (lambda t: t / t, "/"),
        (lambda t: t ** t, "**"),
    ],
)
def test_unsupported_operands(expr, symbol):
    t = qv.ones([2])
    with pytest.raises(TypeError) as info:
        expr(t)
    assert type(info.value) is TypeError
    if symbol is not None:
        assert f"for {symbol}" in str(info.value)
    assert info.value.__context__ is None


@pytest.mark.parametrize("expr", [lambda t: -t, lambda t: abs(t), lambda t: ~t])
def test_no_unary_operators(expr):
    with pytest.raises(TypeError):
        expr(qv.ones([2]))


def test_reflected_operand_gets_its_turn():
    t = qv.ones([2])
    assert t + Radd() == "radd"
    assert t * Radd() == "rmul"


def test_inplace_operators_rebind():
    a, b = qv.tensor([1.0, 2.0], [2]), qv.tensor([10.0, 20.0], [2])
    original = a
    a += b
    assert a is not original
    assert a.data() == [11.0, 22.0]
    assert original.data() == [1.0, 2.0]
    a *= b
    assert a.data() == [110.0, 440.0]
    with pytest.raises(TypeError):
        a -= b


def test_same_object_twice():
    a = qv.tensor([1.0, 2.0, 3.0, 4.0], [2, 2])
    assert (a + a).data() == [2.0, 4.0, 6.0, 8.0]
    assert (a * a).data() == [1.0, 4.0, 9.0, 16.0]
    assert a.matmul(a).data() == [7.0, 10.0, 15.0, 22.0]


# --- sigmoid ----------------------------------------------------------------------------------------
# Its expf is chosen at run time to reproduce the process's own: the interpreter's libm here.


@pytest.mark.parametrize(
    "x, y",
    [(0.0, 0.5), (100.0, 1.0), (-100.0, 0.0), (17.0, 1.0), (-89.0, 0.0), (math.inf, 1.0), (-math.inf, 0.0), (-0.0, 0.5)],
)
def test_sigmoid_known_values(x, y):
    got = qv.tensor([x], [1]).sigmoid().item()
    assert got == y and math.copysign(1.0, got) == 1.0


def test_sigmoid_nan_and_subnormal():
    got = qv.tensor([float("nan"), -88.0], [2]).sigmoid().data()
    assert math.isnan(got[0])
    assert 0.0 < got[1] < 1.1754944e-38 and abs(got[1] - 6.05e-39) < 1e-40


def test_sigmoid_matches_libm_reference():
    rng = np.random.default_rng(7)
    x = np.concatenate([rng.uniform(-100, 100, 1500), rng.standard_normal(400), np.linspace(-95, -80, 100)]).astype(np.float32)
    assert f32bits(t32(x).sigmoid().data()) == f32bits(sigmoid_reference(x))


def _sigmoid_input(n, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-110, 30, n).astype(np.float32)
    x[:: 97] = np.float32(0.0)
    return x


def test_sigmoid_same_bits_sequential_and_parallel():
    x = _sigmoid_input(PARALLEL_START)
    sequential = t32(x[:SEQUENTIAL_LIMIT]).sigmoid().data()
    parallel = t32(x).sigmoid().data()
    assert len(parallel) == PARALLEL_START
    assert f32bits(parallel[:SEQUENTIAL_LIMIT]) == f32bits(sequential)
    # and the parallel path agrees with libm on a sample spread over all ranges
    picks = np.arange(0, PARALLEL_START, 257)
    assert f32bits(np.array(parallel)[picks]) == f32bits(sigmoid_reference(x[picks]))


def test_large_parallel_sigmoid_writes_every_index_in_place():
    n = 3 * PARALLEL_START + 11
    x = np.linspace(-20, 20, n).astype(np.float32)
    got = np.array(t32(x).sigmoid().data(), dtype=np.float32)
    # computed in pieces below the cut-off, each element must be identical
    pieces = [t32(x[i : i + SEQUENTIAL_LIMIT]).sigmoid().data() for i in range(0, n, SEQUENTIAL_LIMIT)]
    assert f32bits(got) == f32bits(np.concatenate([np.array(p, dtype=np.float32) for p in pieces]))
    assert np.all(np.diff(got) >= 0)


# --- sum --------------------------------------------------------------------------------------------
# Its order and roundings are checked in the core tests; here, inputs of every rank.


@pytest.mark.parametrize(
    "data, shape, expected",
    [
        ([], [2, 0], -0.0),
        ([3.5], [], 3.5),
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [2, 3], 21.0),
    ],
)
def test_sum_values(data, shape, expected):
    s = qv.tensor(data, shape).sum()
    assert s.shape == [1]
    got = s.data()
    assert len(got) == 1
    assert struct.pack("<d", got[0]) == struct.pack("<d", expected)


# --- matmul -----------------------------------------------------------------------------------------


# Random data, so that the product's roundings count; the core tests check exact small integers.
@pytest.mark.parametrize("m, k, n", [(2, 3, 4), (1, 1, 1), (5, 1, 7), (1, 64, 1), (33, 17, 9), (128, 96, 160), (3, 300, 2),
                                     (300, 200, 250)])
def test_matmul_matches_numpy(m, k, n):
    rng = np.random.default_rng(m * 1000 + k * 10 + n)
    a = rng.standard_normal((m, k)).astype(np.float32)
    b = rng.standard_normal((k, n)).astype(np.float32)
    c = t32(a).matmul(t32(b))
    assert c.shape == [m, n]
    assert c.dtype == "float32"
    want = a.astype(np.float64) @ b.astype(np.float64)
    np.testing.assert_allclose(np.array(c.data()).reshape(m, n), want, rtol=1e-5, atol=1e-5 * math.sqrt(k))


def test_matmul_special_values_propagate():
    a = qv.tensor([math.inf, 1.0], [1, 2])
    b = qv.tensor([0.0, 1.0], [2, 1])
    assert math.isnan(a.matmul(b).item())


@pytest.mark.parametrize(
    "a, b, message",
    [
        # the ranks, in a shape of their own
        (lambda: qv.ones([1, 1, 1]), lambda: qv.ones([1, 1]), SHAPE_MISMATCH.format([2, 2], [3, 2])),
        # dtype comparison comes before every shape check
        (lambda: qv.zeros([7], dtype=qv.float16), lambda: qv.ones([2, 2]), DTYPE_MISMATCH.format("float16", "float32")),
        (lambda: qv.zeros([2, 2], dtype=qv.int32), lambda: qv.zeros([2, 2], dtype=qv.bfloat16),
         DTYPE_MISMATCH.format("int32", "bfloat16")),
        # equal non-float32 dtypes pass the comparison and the shape checks, then fail on the elements
        (lambda: qv.zeros([0, 2], dtype=qv.int32), lambda: qv.zeros([2, 0], dtype=qv.int32), F32_MISMATCH),
        (lambda: qv.zeros([3], dtype=qv.int8), lambda: qv.zeros([2, 2], dtype=qv.int8), SHAPE_MISMATCH.format([2, 2], [1, 2])),
    ],
)
def test_matmul_errors(a, b, message):
    with pytest.raises(ValueError) as info:
        a().matmul(b())
    assert type(info.value) is ValueError
    assert str(info.value) == message


# --- common properties of results ---------------------------------------------------------------------


@pytest.mark.parametrize("name", OP_NAMES)
@pytest.mark.parametrize("dtype", NON_F32_DTYPES, ids=str)
def test_every_operation_refuses_other_dtypes(name, dtype):
    operands = [qv.zeros([2, 2], dtype=dtype) for _ in range(OPS_BY_NAME[name].arity)]
    with pytest.raises(ValueError) as info:
        OPS_BY_NAME[name].call(*operands)
    assert str(info.value) == F32_MISMATCH


@pytest.mark.parametrize("name", OP_NAMES)
def test_results_are_new_and_operands_unchanged(name):
    op = OPS_BY_NAME[name]
    a = qv.tensor([1.0, -2.0, 3.0, -4.0], [2, 2], requires_grad=True)
    b = qv.tensor([0.5, 0.25, -1.0, 2.0], [2, 2])
    operands = (a, b)[: op.arity]
    y = op.call(*operands)
    assert y is not a and y is not b
    assert y.shape == ([1] if name == "sum" else [2, 2])
    assert y.dtype == "float32" and y.device == "cpu"
    # each name reaches its own operation (exact values: even matmul's products and sums round nothing here)
    want = op.reference(*(np.array(t.data(), dtype=np.float32).reshape(2, 2) for t in operands))
    assert f32bits(y.data()) == f32bits(want)
    assert a.data() == [1.0, -2.0, 3.0, -4.0] and b.data() == [0.5, 0.25, -1.0, 2.0]
    assert a.shape == [2, 2] and a.requires_grad is True and b.requires_grad is False


@COUNTS_IDS
def test_every_result_draws_one_id():
    a, b = qv.ones([2, 2]), qv.ones([2, 2], requires_grad=True)
    start = next_id()
    for op in OPS:
        op.call(*(a, b)[: op.arity])
    assert next_id() == start + len(OPS) + 3


# One failing call of each operation (its operands of a dtype it refuses), and the other kinds of failure
# of the binary ones; the core tests go through every kind.
FAILING_CALLS = [
    *[(op.name, lambda arity=op.arity: [qv.zeros([2, 2], dtype=qv.int8, requires_grad=True)] * arity) for op in OPS],
    ("matmul", lambda: (qv.ones([2, 3], requires_grad=True), qv.ones([2, 3], requires_grad=True))),
    ("add", lambda: (qv.ones([2], requires_grad=True), qv.ones([3], requires_grad=True))),
    ("mul", lambda: (qv.ones([2], requires_grad=True), qv.zeros([2], dtype=qv.int8, requires_grad=True))),
]


@COUNTS_IDS
@pytest.mark.parametrize("name, make", FAILING_CALLS, ids=[f"{name}-{i}" for i, (name, _) in enumerate(FAILING_CALLS)])
def test_failed_operation_draws_no_id_and_records_nothing(name, make):
    operands = make()
    start = next_id()
    with pytest.raises(ValueError):
        OPS_BY_NAME[name].call(*operands)
    assert next_id() == start + 3
    assert tape_is_empty()
