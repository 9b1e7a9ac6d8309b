"""Forward operations: matmul, relu, sigmoid, sum, + and *."""

import ctypes
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import F32_MISMATCH, backward_error, next_id, tape_is_empty

import quvarin as qv

_libm = ctypes.CDLL("libm.so.6")
_expf = _libm.expf
_expf.restype = ctypes.c_float
_expf.argtypes = [ctypes.c_float]

SEQUENTIAL_LIMIT = 131071  # the largest sigmoid input computed on the calling thread alone
PARALLEL_START = 131072


def f32bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


def t32(array, requires_grad=False):
    array = np.asarray(array, dtype=np.float32)
    return qv.tensor(array.ravel().tolist(), list(array.shape), requires_grad=requires_grad)


def sigmoid_reference(values):
    """1 / (1 + expf(-x)) in single precision, with the system libm's expf."""
    x = np.asarray(values, dtype=np.float32)
    e = np.array([_expf(float(-v)) for v in x], dtype=np.float32)
    with np.errstate(over="ignore"):
        return np.float32(1.0) / (np.float32(1.0) + e)


def sum_reference(values):
    acc = np.float32(-0.0)
    for v in np.asarray(values, dtype=np.float32):
        acc = np.float32(acc + v)
    return acc


# --- elementwise + and * ----------------------------------------------------------------------------


def test_add_and_mul_examples():
    a, b = qv.tensor([1.0, 2.0], [2]), qv.tensor([10.0, 20.0], [2])
    assert (a + b).data() == [11.0, 22.0]
    assert (a * b).data() == [10.0, 40.0]
    assert (a + b).shape == [2] and (a * b).shape == [2]


finite32 = st.floats(width=32, allow_nan=False)


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_elementwise_bit_exact(data):
    n = data.draw(st.integers(0, 30))
    xs = np.array(data.draw(st.lists(finite32, min_size=n, max_size=n)), dtype=np.float32)
    ys = np.array(data.draw(st.lists(finite32, min_size=n, max_size=n)), dtype=np.float32)
    a, b = t32(xs), t32(ys)
    with np.errstate(over="ignore", invalid="ignore"):
        assert f32bits((a + b).data()) == f32bits(xs + ys)
        assert f32bits((a * b).data()) == f32bits(xs * ys)


def test_elementwise_special_values():
    x = np.array([np.inf, -np.inf, np.nan, 0.0, -0.0, 1e-45, 3e38, -0.0], dtype=np.float32)
    y = np.array([-np.inf, 2.0, 1.0, -0.0, -0.0, 1e-45, 3e38, 0.0], dtype=np.float32)
    with np.errstate(all="ignore"):
        add, mul = x + y, x * y
    got_add, got_mul = (t32(x) + t32(y)).data(), (t32(x) * t32(y)).data()
    for got, want in ((got_add, add), (got_mul, mul)):
        assert [math.isnan(v) for v in got] == np.isnan(want).tolist()
        keep = ~np.isnan(want)
        assert f32bits(np.array(got)[keep]) == f32bits(want[keep])


@pytest.mark.parametrize("shape", [[], [0], [3, 0], [2, 3], [2, 1, 2]])
def test_elementwise_shapes(shape):
    n = math.prod(shape)
    a = qv.tensor([float(i) for i in range(n)], shape)
    b = qv.tensor([2.0] * n, shape)
    assert (a + b).shape == shape and (a * b).shape == shape
    assert (a * b).data() == [2.0 * i for i in range(n)]


@pytest.mark.parametrize(
    "left, right, message",
    [
        (lambda: qv.ones([2, 3]), lambda: qv.ones([3, 2]), "ShapeMismatch: Operation expected shape [2, 3], but got [3, 2]"),
        (lambda: qv.ones([3]), lambda: qv.ones([1]), "ShapeMismatch: Operation expected shape [3], but got [1]"),
        (lambda: qv.ones([6]), lambda: qv.ones([2, 3]), "ShapeMismatch: Operation expected shape [6], but got [2, 3]"),
        (lambda: qv.ones([2, 2]), lambda: qv.ones([1, 2]), "ShapeMismatch: Operation expected shape [2, 2], but got [1, 2]"),
        (lambda: qv.ones([]), lambda: qv.ones([1]), "ShapeMismatch: Operation expected shape [], but got [1]"),
        (lambda: qv.ones([1]), lambda: qv.ones([]), "ShapeMismatch: Operation expected shape [1], but got []"),
        (lambda: qv.ones([0]), lambda: qv.ones([0, 0]), "ShapeMismatch: Operation expected shape [0], but got [0, 0]"),
        # shapes are compared before dtypes
        (lambda: qv.ones([2]), lambda: qv.zeros([3], dtype=qv.int8), "ShapeMismatch: Operation expected shape [2], but got [3]"),
        (lambda: qv.ones([2]), lambda: qv.zeros([2], dtype=qv.int8), "DTypeMismatch: Operation expected dtype 'float32', but found 'int8'"),
        (lambda: qv.zeros([2], dtype=qv.bfloat16), lambda: qv.ones([2]), "DTypeMismatch: Operation expected dtype 'bfloat16', but found 'float32'"),
        (lambda: qv.zeros([2], dtype=qv.int32), lambda: qv.zeros([2], dtype=qv.float16), "DTypeMismatch: Operation expected dtype 'int32', but found 'float16'"),
        (lambda: qv.zeros([2], dtype=qv.int8), lambda: qv.zeros([2], dtype=qv.int8), F32_MISMATCH),
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


# --- relu -------------------------------------------------------------------------------------------


def test_relu_edge_values():
    got = qv.tensor([-1.0, 0.0, -0.0, 2.5, float("nan"), float("inf"), float("-inf"), 1e-45, -1e-45], [9]).relu().data()
    assert got == [0.0, 0.0, 0.0, 2.5, 0.0, math.inf, 0.0, float(np.float32(1e-45)), 0.0]
    assert all(math.copysign(1.0, v) == 1.0 for v in got)


@settings(max_examples=40, deadline=None)
@given(st.lists(finite32, max_size=50))
def test_relu_bit_exact(values):
    x = np.array(values, dtype=np.float32)
    want = np.where(x > 0, x, np.float32(0.0)).astype(np.float32)
    assert f32bits(t32(x).relu().data()) == f32bits(want)


# --- sigmoid ----------------------------------------------------------------------------------------


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
    pieces = [t32(x[i : i + 100000]).sigmoid().data() for i in range(0, n, 100000)]
    assert f32bits(got) == f32bits(np.concatenate([np.array(p, dtype=np.float32) for p in pieces]))
    assert np.all(np.diff(got) >= 0)


# --- sum --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, shape, expected",
    [
        ([1.0, 2.0, 3.0], [3], 6.0),
        ([], [0], -0.0),
        ([], [2, 0], -0.0),
        ([-0.0], [1], -0.0),
        ([-0.0, -0.0], [2], -0.0),
        ([0.0], [1], 0.0),
        ([-0.0, 0.0], [2], 0.0),
        ([1e8, 1.0, -1e8], [3], 0.0),
        ([1e8, -1e8, 1.0], [3], 1.0),
        ([3.5], [], 3.5),
        ([3e38, 3e38, -3e38], [3], math.inf),
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [2, 3], 21.0),
    ],
)
def test_sum_values(data, shape, expected):
    s = qv.tensor(data, shape).sum()
    assert s.shape == [1]
    got = s.data()
    assert len(got) == 1
    assert struct.pack("<d", got[0]) == struct.pack("<d", expected)


def test_sum_of_infinities_is_nan():
    assert math.isnan(qv.tensor([math.inf, -math.inf], [2]).sum().item())


def test_sum_saturates_at_2_pow_24():
    assert qv.ones([2**24 + 1]).sum().item() == 2.0**24
    assert qv.ones([2**24 + 1]).sum().sum().item() == 2.0**24


@settings(max_examples=40, deadline=None)
@given(st.lists(st.floats(width=32, min_value=-1e6, max_value=1e6), max_size=200))
def test_sum_is_left_to_right_float32(values):
    assert f32bits([qv.tensor(values, [len(values)]).sum().item()]) == f32bits([sum_reference(values)])


def test_sum_order_on_random_data():
    x = np.random.default_rng(5).standard_normal(20000).astype(np.float32) * np.float32(1000)
    assert f32bits([t32(x).sum().item()]) == f32bits([np.add.accumulate(x, dtype=np.float32)[-1]])


# --- matmul -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("m, k, n", [(2, 3, 4), (1, 1, 1), (5, 1, 7), (1, 64, 1), (33, 17, 9), (128, 96, 160), (3, 300, 2)])
def test_matmul_matches_numpy(m, k, n):
    rng = np.random.default_rng(m * 1000 + k * 10 + n)
    a = rng.standard_normal((m, k)).astype(np.float32)
    b = rng.standard_normal((k, n)).astype(np.float32)
    c = t32(a).matmul(t32(b))
    assert c.shape == [m, n]
    assert c.dtype == "float32"
    want = a.astype(np.float64) @ b.astype(np.float64)
    np.testing.assert_allclose(np.array(c.data()).reshape(m, n), want, rtol=1e-5, atol=1e-5 * math.sqrt(k))


def test_matmul_exact_for_small_integers():
    rng = np.random.default_rng(11)
    a = rng.integers(-8, 9, (20, 30)).astype(np.float32)
    b = rng.integers(-8, 9, (30, 10)).astype(np.float32)
    assert t32(a).matmul(t32(b)).data() == (a @ b).ravel().tolist()


def test_matmul_large_is_accurate():
    rng = np.random.default_rng(12)
    a = rng.standard_normal((300, 200)).astype(np.float32)
    b = rng.standard_normal((200, 250)).astype(np.float32)
    got = np.array(t32(a).matmul(t32(b)).data()).reshape(300, 250)
    np.testing.assert_allclose(got, a.astype(np.float64) @ b.astype(np.float64), rtol=1e-4, atol=1e-3)


@pytest.mark.parametrize(
    "a_shape, b_shape, out_shape",
    [([2, 0], [0, 3], [2, 3]), ([0, 3], [3, 2], [0, 2]), ([2, 3], [3, 0], [2, 0]), ([0, 0], [0, 0], [0, 0])],
)
def test_matmul_empty_dimensions(a_shape, b_shape, out_shape):
    c = qv.zeros(a_shape).matmul(qv.ones(b_shape))
    assert c.shape == out_shape
    assert c.data() == [0.0] * math.prod(out_shape)
    assert all(math.copysign(1.0, v) == 1.0 for v in c.data())


def test_matmul_special_values_propagate():
    a = qv.tensor([math.inf, 1.0], [1, 2])
    b = qv.tensor([0.0, 1.0], [2, 1])
    assert math.isnan(a.matmul(b).item())


@pytest.mark.parametrize(
    "a, b, message",
    [
        (lambda: qv.ones([3]), lambda: qv.ones([3, 2]), "ShapeMismatch: Operation expected shape [2, 2], but got [1, 2]"),
        (lambda: qv.ones([2, 3]), lambda: qv.ones([3]), "ShapeMismatch: Operation expected shape [2, 2], but got [2, 1]"),
        (lambda: qv.ones([]), lambda: qv.ones([2, 3, 4]), "ShapeMismatch: Operation expected shape [2, 2], but got [0, 3]"),
        (lambda: qv.ones([1, 1, 1]), lambda: qv.ones([1, 1]), "ShapeMismatch: Operation expected shape [2, 2], but got [3, 2]"),
        # dtype comparison comes before every shape check
        (lambda: qv.ones([2, 3]), lambda: qv.zeros([5], dtype=qv.int8), "DTypeMismatch: Operation expected dtype 'float32', but found 'int8'"),
        (lambda: qv.zeros([7], dtype=qv.float16), lambda: qv.ones([2, 2]), "DTypeMismatch: Operation expected dtype 'float16', but found 'float32'"),
        (lambda: qv.zeros([2, 2], dtype=qv.int32), lambda: qv.zeros([2, 2], dtype=qv.bfloat16), "DTypeMismatch: Operation expected dtype 'int32', but found 'bfloat16'"),
        # equal non-float32 dtypes pass the comparison and the shape checks, then fail on the elements
        (lambda: qv.zeros([2, 2], dtype=qv.int8), lambda: qv.zeros([2, 2], dtype=qv.int8), F32_MISMATCH),
        (lambda: qv.zeros([0, 2], dtype=qv.int32), lambda: qv.zeros([2, 0], dtype=qv.int32), F32_MISMATCH),
        (lambda: qv.zeros([3], dtype=qv.int8), lambda: qv.zeros([2, 2], dtype=qv.int8), "ShapeMismatch: Operation expected shape [2, 2], but got [1, 2]"),
    ],
)
def test_matmul_errors(a, b, message):
    with pytest.raises(ValueError) as info:
        a().matmul(b())
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "a_shape, b_shape, dtype",
    [([2, 3], [2, 3], qv.float32), ([2, 3], [4, 5], qv.float32), ([1, 0], [1, 1], qv.float32), ([2, 3], [2, 2], qv.int8)],
)
def test_matmul_inner_dimension_mismatch(a_shape, b_shape, dtype):
    with pytest.raises(ValueError) as info:
        qv.zeros(a_shape, dtype=dtype).matmul(qv.zeros(b_shape, dtype=dtype))
    prefix = f"ShapeMismatch: Operation expected shape [{a_shape[0]}, {a_shape[1]}], but got ["
    message = str(info.value)
    assert message.startswith(prefix), message
    rest = message[len(prefix) :]
    assert rest.endswith("]") and len(rest[:-1].split(", ")) == 2
    assert all(part.isdigit() for part in rest[:-1].split(", "))


# --- common properties of results ---------------------------------------------------------------------

UNARY = {"relu": lambda t: t.relu(), "sigmoid": lambda t: t.sigmoid(), "sum": lambda t: t.sum()}


@pytest.mark.parametrize("name", sorted(UNARY))
@pytest.mark.parametrize("dtype", [qv.int8, qv.int32, qv.float16, qv.bfloat16], ids=str)
def test_unary_on_non_float32(name, dtype):
    with pytest.raises(ValueError) as info:
        UNARY[name](qv.zeros([2], dtype=dtype))
    assert str(info.value) == F32_MISMATCH


@pytest.mark.parametrize("name", sorted(UNARY))
def test_unary_results(name):
    x = qv.tensor([-1.0, 0.5, 2.0, -3.0, 4.0, 0.0], [2, 3])
    before = x.data()
    y = UNARY[name](x)
    assert y is not x
    assert y.shape == ([1] if name == "sum" else [2, 3])
    assert y.dtype == "float32" and y.device == "cpu"
    assert x.data() == before


@pytest.mark.parametrize("name", ["relu", "sigmoid"])
def test_unary_on_empty(name):
    y = UNARY[name](qv.zeros([0]))
    assert y.shape == [0] and y.data() == []


BINARY = {
    "add": lambda a, b: a + b,
    "mul": lambda a, b: a * b,
    "matmul": lambda a, b: a.matmul(b),
}


@pytest.mark.parametrize("name", sorted(BINARY))
@pytest.mark.parametrize("left, right", [(False, False), (True, False), (False, True), (True, True)])
def test_binary_requires_grad_is_or(name, left, right):
    a, b = qv.ones([2, 2], requires_grad=left), qv.ones([2, 2], requires_grad=right)
    c = BINARY[name](a, b)
    assert c.requires_grad is (left or right)
    if not (left or right):
        assert tape_is_empty()


@pytest.mark.parametrize("name", sorted(UNARY))
@pytest.mark.parametrize("flag", [False, True])
def test_unary_requires_grad_is_copied(name, flag):
    y = UNARY[name](qv.ones([3], requires_grad=flag))
    assert y.requires_grad is flag
    if not flag:
        assert tape_is_empty()


@pytest.mark.parametrize("name", sorted(UNARY) + sorted(BINARY))
def test_operands_are_unchanged(name):
    a = qv.tensor([1.0, -2.0, 3.0, -4.0], [2, 2], requires_grad=True)
    b = qv.tensor([0.5, 0.25, -1.0, 2.0], [2, 2])
    if name in UNARY:
        UNARY[name](a)
    else:
        BINARY[name](a, b)
    assert a.data() == [1.0, -2.0, 3.0, -4.0] and b.data() == [0.5, 0.25, -1.0, 2.0]
    assert a.shape == [2, 2] and a.requires_grad is True and b.requires_grad is False


def test_every_result_draws_one_id():
    a, b = qv.ones([2, 2]), qv.ones([2, 2], requires_grad=True)
    start = next_id()
    a + b, a * b, a.matmul(b), a.relu(), b.sigmoid(), a.sum()
    assert next_id() == start + 6 + 3


FAILING_OPS = [
    # (operands, operation)
    (lambda: (qv.ones([2, 3], requires_grad=True), qv.ones([2, 3], requires_grad=True)), lambda a, b: a.matmul(b)),
    (lambda: (qv.ones([2], requires_grad=True), qv.ones([2, 2], requires_grad=True)), lambda a, b: a.matmul(b)),
    (lambda: (qv.ones([2, 2], requires_grad=True), qv.zeros([2, 2], dtype=qv.int8)), lambda a, b: a.matmul(b)),
    (lambda: (qv.ones([2], requires_grad=True), qv.ones([3], requires_grad=True)), lambda a, b: a + b),
    (lambda: (qv.ones([2], requires_grad=True), qv.zeros([2], dtype=qv.int8, requires_grad=True)), lambda a, b: a * b),
    (lambda: (qv.zeros([2], dtype=qv.int8, requires_grad=True),), lambda a: a.relu()),
    (lambda: (qv.zeros([2], dtype=qv.int8, requires_grad=True),), lambda a: a.sigmoid()),
    (lambda: (qv.zeros([2], dtype=qv.int8, requires_grad=True),), lambda a: a.sum()),
    (lambda: (qv.zeros([2, 2], dtype=qv.int8, requires_grad=True), qv.zeros([2, 2], dtype=qv.int8)), lambda a, b: a.matmul(b)),
]


@pytest.mark.parametrize("index", range(len(FAILING_OPS)))
def test_failed_operation_draws_no_id_and_records_nothing(index):
    make, op = FAILING_OPS[index]
    operands = make()
    start = next_id()
    with pytest.raises(ValueError):
        op(*operands)
    assert next_id() == start + 3
    assert tape_is_empty()


def test_operations_record_for_a_later_pass():
    x = qv.ones([2], requires_grad=True)
    x.relu()
    assert backward_error(qv.zeros([1], requires_grad=True)) == "AutogradError: Gradient missing for ReLU Output"
    assert tape_is_empty()
