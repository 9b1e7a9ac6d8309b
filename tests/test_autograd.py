"""Backward passes, gradient formulas, gradient accumulation and the SGD step."""

import math

import numpy as np
import pytest

from conftest import (
    COUNTS_IDS, GRADIENT_MISSING_FOR, GRADIENT_MISSING_FOR_ID, NOT_F32_SEED, NOT_REQUIRES_GRAD, ON_A_NEW_THREAD,
    FloatLike, Index, GradProbe, backward_error, f32bits, next_id, run_in_thread, t32, tape_is_empty,
)

from op_table import OPS, OPS_BY_NAME

import quvarin as qv

F32 = np.float32
RELU_MISSING = GRADIENT_MISSING_FOR.format("ReLU")


def fresh_leaf():
    return qv.zeros([1], requires_grad=True)


# --- the pass itself ----------------------------------------------------------------------------------


def test_sum_backward_then_two_steps():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    loss = x.sum()
    assert loss.backward() is None
    assert x.apply_sgd_step(0.5) is None
    assert x.data() == [0.5, 1.5]
    x.apply_sgd_step(0.5)  # the same gradient again
    assert x.data() == [0.0, 1.0]
    assert x.shape == [2] and x.requires_grad is True


@ON_A_NEW_THREAD
def test_step_before_any_backward_on_the_thread_does_nothing():
    def body():
        x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
        result = x.apply_sgd_step(0.1)
        return result, x.data()

    assert run_in_thread(body) == ("ok", (None, [1.0, 2.0]))


@ON_A_NEW_THREAD
def test_lr_is_converted_even_when_there_is_nothing_to_do():
    def body():
        x = qv.ones([1], requires_grad=True)
        try:
            x.apply_sgd_step("0.1")
        except TypeError as exc:
            return str(exc)

    kind, message = run_in_thread(body)
    assert kind == "ok" and message.startswith("argument 'lr': ")


def test_empty_tensor_backward():
    x = qv.zeros([0], requires_grad=True)
    assert x.backward() is None
    x.apply_sgd_step(1.0)
    assert x.data() == [] and x.shape == [0]
    y = qv.zeros([3, 0], requires_grad=True)
    y.sum().backward()
    y.apply_sgd_step(1.0)
    assert y.data() == []


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: qv.ones([2]).sum(), NOT_REQUIRES_GRAD),
        (lambda: qv.zeros([2], dtype=qv.int8), NOT_REQUIRES_GRAD),  # requires_grad is tested first
        (lambda: qv.zeros([0], dtype=qv.float16, requires_grad=True), NOT_F32_SEED),
        (lambda: qv.zeros([], dtype=qv.bfloat16, requires_grad=True), NOT_F32_SEED),
        (lambda: qv.zeros([1], dtype=qv.int32, requires_grad=True), NOT_F32_SEED),
    ],
)
def test_precondition_failures_leave_the_tape(make, message):
    x = qv.ones([2], requires_grad=True)
    x.relu()  # a node that stays on the tape
    t = make()
    with pytest.raises(ValueError) as info:
        t.backward()
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert backward_error(fresh_leaf()) == RELU_MISSING
    assert tape_is_empty()


def test_failed_backward_keeps_previous_gradients():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()
    with pytest.raises(ValueError):
        qv.ones([2]).backward()
    x.apply_sgd_step(1.0)
    assert x.data() == [0.0, 1.0]
    # a pass that fails on a stale node also keeps them
    y = qv.ones([1], requires_grad=True)
    y.relu()
    unrelated = qv.ones([1], requires_grad=True).sum()
    assert backward_error(unrelated) == RELU_MISSING
    x.apply_sgd_step(1.0)
    assert x.data() == [-1.0, 0.0]


def test_new_pass_replaces_the_gradients():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()
    y = qv.tensor([5.0], [1], requires_grad=True)
    y.sum().backward()
    x.apply_sgd_step(1.0)
    y.apply_sgd_step(1.0)
    assert x.data() == [1.0, 2.0]
    assert y.data() == [4.0]


@COUNTS_IDS
def test_backward_and_step_draw_no_ids():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    loss = x.sum()
    start = next_id()
    loss.backward()
    x.apply_sgd_step(0.1)
    loss.apply_sgd_step(0.1)
    assert next_id() == start + 3


# --- stale nodes ----------------------------------------------------------------------------------------

# Which operands require gradients: all, or (for a binary operation) only one of them.
STALE = [(op.name, needs) for op in OPS for needs in ["all", "lhs-only", "rhs-only"][: 1 if op.arity == 1 else 3]]


@pytest.mark.parametrize("name, needs", STALE, ids=[f"{name}-{needs}" for name, needs in STALE])
def test_stale_node_fails_the_next_pass(name, needs):
    op = OPS_BY_NAME[name]
    x, y = (qv.ones([2, 2], requires_grad=needs != side) for side in ("rhs-only", "lhs-only"))
    op.call(*(x, y)[: op.arity])
    got = backward_error(fresh_leaf())
    assert op.missing_gradient.regex.fullmatch(got), got
    assert tape_is_empty()  # drained although the pass failed


@COUNTS_IDS
def test_add_missing_message_names_the_result_id():
    x = qv.ones([1], requires_grad=True)
    start = next_id()
    x + x
    assert backward_error(fresh_leaf()) == GRADIENT_MISSING_FOR_ID.format(start)


def test_unused_extra_result_fails_then_loss_alone():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.relu()  # computed but not part of the loss, and recorded before it
    loss = x.sum()
    assert backward_error(loss) == RELU_MISSING
    assert loss.backward() is None  # empty tape: only the loss's own seed
    x.apply_sgd_step(1.0)
    assert x.data() == [1.0, 2.0]
    loss.apply_sgd_step(1.0)
    assert loss.data() == [2.0]


# --- gradient formulas, bit for bit ---------------------------------------------------------------


def _matmul_grads_reference(g, a, b):
    """The node's plain loops: sums in increasing index order, products rounded first."""
    m, k = a.shape
    n = b.shape[1]
    ga = np.zeros((m, k), dtype=F32)
    for l in range(n):
        ga = (ga + g[:, l : l + 1] * b[:, l][None, :]).astype(F32)
    gb = np.zeros((k, n), dtype=F32)
    for r in range(m):
        gb = (gb + a[r, :][:, None] * g[r, :][None, :]).astype(F32)
    return ga, gb


@pytest.mark.parametrize("m, k, n", [(3, 4, 5), (1, 7, 2), (6, 1, 1), (4, 33, 17)])
def test_matmul_gradient_bit_exact(m, k, n):
    rng = np.random.default_rng(m * 100 + k * 10 + n)
    av = rng.standard_normal((m, k)).astype(F32)
    bv = rng.standard_normal((k, n)).astype(F32)
    wv = rng.standard_normal((m, n)).astype(F32)
    pa, pb = GradProbe([m, k]), GradProbe([k, n])
    c = pa.attach(t32(av)).matmul(pb.attach(t32(bv)))
    (c * t32(wv)).sum().backward()
    ga, gb = _matmul_grads_reference(wv, av, bv)
    assert f32bits(pa.read()) == f32bits(ga.ravel())
    assert f32bits(pb.read()) == f32bits(gb.ravel())


def test_square_matmul_with_itself():
    a = qv.tensor([1.0, 2.0, 3.0, 4.0], [2, 2], requires_grad=True)
    a.matmul(a).sum().backward()
    a.apply_sgd_step(1.0)
    # left contribution ones @ a.T = [[3, 7], [3, 7]]; right contribution a.T @ ones = [[4, 4], [6, 6]]
    assert a.data() == [1.0 - (3 + 4), 2.0 - (7 + 4), 3.0 - (3 + 6), 4.0 - (7 + 6)]


def test_shared_gradient_buffers_are_copied_before_adding():
    a = qv.tensor([1.0, 1.0], [2], requires_grad=True)
    b = qv.tensor([1.0, 1.0], [2], requires_grad=True)
    y = a + b
    w = y + a
    w.sum().backward()
    for t in (a, b, y, w):
        t.apply_sgd_step(1.0)
    assert a.data() == [-1.0, -1.0]  # two contributions
    assert b.data() == [0.0, 0.0]
    assert y.data() == [1.0, 1.0]
    assert w.data() == [2.0, 2.0]


def test_contributions_accumulate_in_reverse_recording_order():
    a = np.array([1e8, 1.0], dtype=F32)
    b = np.array([-1e8, 1e8], dtype=F32)
    c = np.array([1.0, -1e8], dtype=F32)
    p = GradProbe([2])
    x = p.attach(qv.ones([2]))
    y1, y2, y3 = x * t32(a), x * t32(b), x * t32(c)
    ((y1 + y2) + y3).sum().backward()
    # the last use runs first: a + (b + c)
    assert p.read() == [float(a[0] + (b[0] + c[0])), float(a[1] + (b[1] + c[1]))] == [0.0, 1.0]


def test_only_operands_that_require_grad_get_gradients():
    c = qv.tensor([1.0], [1])
    d = qv.tensor([4.0], [1], requires_grad=True)
    (c + d).backward()
    c.apply_sgd_step(1.0)
    d.apply_sgd_step(1.0)
    assert c.data() == [1.0] and d.data() == [3.0]


def test_mlp_gradients_bit_exact():
    rng = np.random.default_rng(3)
    xv = rng.standard_normal((4, 3)).astype(F32)
    w1v = rng.standard_normal((3, 5)).astype(F32)
    w2v = rng.standard_normal((5, 2)).astype(F32)
    cv = rng.standard_normal((4, 2)).astype(F32)
    p1, p2 = GradProbe([3, 5]), GradProbe([5, 2])
    x = t32(xv)
    h = x.matmul(p1.attach(t32(w1v)))
    a = h.relu()
    o = a.matmul(p2.attach(t32(w2v)))
    s = o.sigmoid()
    (s * t32(cv)).sum().backward()
    hv = np.array(h.data(), dtype=F32).reshape(4, 5)
    av = np.array(a.data(), dtype=F32).reshape(4, 5)
    sv = np.array(s.data(), dtype=F32).reshape(4, 2)
    g_o = ((sv * cv) * (F32(1) - sv)).astype(F32)
    g_a, g_w2 = _matmul_grads_reference(g_o, av, w2v)
    g_h = np.where(hv > 0, g_a, F32(0)).astype(F32)
    _, g_w1 = _matmul_grads_reference(g_h, xv, w1v)
    assert f32bits(p2.read()) == f32bits(g_w2.ravel())
    assert f32bits(p1.read()) == f32bits(g_w1.ravel())


# --- the SGD step ---------------------------------------------------------------------------------------


def _step(p_values, g_values, lr):
    x = t32(p_values, requires_grad=True)
    (x * t32(g_values)).sum().backward()
    x.apply_sgd_step(lr)
    return np.array(x.data(), dtype=F32)


def test_lr_is_rounded_to_float32_and_product_rounded_before_subtracting():
    rng = np.random.default_rng(8)
    p = rng.standard_normal(2000).astype(F32)
    g = rng.standard_normal(2000).astype(F32)
    lr = 0.1
    want = (p - (F32(lr) * g).astype(F32)).astype(F32)
    got = _step(p, g, lr)
    assert f32bits(got) == f32bits(want)
    # other roundings would be told apart by this data
    double_lr = (p.astype(np.float64) - lr * g.astype(np.float64)).astype(F32)
    fused = (p.astype(np.float64) - np.float64(F32(lr)) * g.astype(np.float64)).astype(F32)
    assert f32bits(double_lr) != f32bits(want) and f32bits(fused) != f32bits(want)


@pytest.mark.parametrize(
    "lr, expected",
    [
        (1, [0.0, 1.0]),
        (True, [0.0, 1.0]),
        (np.float64(0.5), [0.5, 1.5]),
        (np.float32(0.25), [0.75, 1.75]),
        (-1.0, [2.0, 3.0]),
        (0, [1.0, 2.0]),
    ],
    ids=["int", "bool", "np.float64", "np.float32", "negative", "zero"],
)
def test_lr_conversions(lr, expected):
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()
    x.apply_sgd_step(lr)
    assert x.data() == expected


@pytest.mark.parametrize("lr, expected", [(FloatLike(0.5), [0.5, 1.5]), (Index(1), [0.0, 1.0])])
def test_lr_objects_with_conversions(lr, expected):
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()
    x.apply_sgd_step(lr)
    assert x.data() == expected


def test_lr_beyond_float32_range_becomes_infinite():
    got = _step([1.0, 1.0], [0.0, 1.0], 1e39)
    assert math.isnan(got[0])  # inf * 0
    assert got[1] == -math.inf


def test_nan_lr():
    assert all(math.isnan(v) for v in _step([1.0, 2.0], [1.0, 0.0], float("nan")))


def test_step_on_tensor_outside_the_pass_does_nothing():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    other = qv.tensor([3.0], [1], requires_grad=True)
    x.sum().backward()
    assert other.apply_sgd_step(0.5) is None
    assert other.data() == [3.0]
    odd = qv.zeros([2], dtype=qv.int8, requires_grad=True)
    assert odd.apply_sgd_step(0.5) is None
    assert odd.dtype == "int8"


def test_non_leaf_result_is_updated():
    x = qv.tensor([1.0, -2.0], [2], requires_grad=True)
    y = x.relu()
    y.sum().backward()
    y.apply_sgd_step(1.0)
    assert y.data() == [0.0, -1.0]


def test_earlier_results_and_saved_values_keep_old_data():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    c = qv.tensor([3.0, 4.0], [2], requires_grad=True)
    y = x.relu()
    y.sum().backward()  # gradient of x: ones
    loss = (x * c).sum()  # the node saves x's current values for c's gradient
    x.apply_sgd_step(10.0)
    assert x.data() == [-9.0, -8.0]
    assert y.data() == [1.0, 2.0]
    loss.backward()
    c.apply_sgd_step(1.0)
    assert c.data() == [2.0, 2.0]  # c minus the old x


def test_step_keeps_identity_for_the_next_pass():
    x = qv.tensor([4.0], [1], requires_grad=True)
    for expected in ([3.0], [2.0], [1.0]):
        x.sum().backward()
        x.apply_sgd_step(1.0)
        assert x.data() == expected
    assert x.shape == [1] and x.requires_grad is True and x.dtype == "float32"


@ON_A_NEW_THREAD
def test_gradients_and_tapes_are_per_thread():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()

    def other_thread():
        y = qv.tensor([1.0, 2.0], [2], requires_grad=True)
        y.relu()  # recorded on this thread's tape only
        before = y.apply_sgd_step(1.0), y.data()
        return before, backward_error(y.sum())

    assert run_in_thread(other_thread) == ("ok", ((None, [1.0, 2.0]), RELU_MISSING))
    assert tape_is_empty()

    x2 = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x2.relu()  # left on the main thread's tape

    def clean_thread():
        z = qv.ones([1], requires_grad=True)
        return backward_error(z)

    assert run_in_thread(clean_thread) == ("ok", None)
    assert backward_error(fresh_leaf()) == RELU_MISSING


@ON_A_NEW_THREAD
def test_main_thread_gradients_survive_other_threads():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()

    def other():
        y = qv.tensor([5.0], [1], requires_grad=True)
        y.sum().backward()
        y.apply_sgd_step(1.0)
        return y.data()

    assert run_in_thread(other) == ("ok", [4.0])
    x.apply_sgd_step(1.0)
    assert x.data() == [0.0, 1.0]


# --- against independent references --------------------------------------------------------------


class Ref:
    """A small float64 reverse-mode reference over the same five operations."""

    def __init__(self):
        self.tape = []

    def leaf(self, value):
        return {"v": np.asarray(value, dtype=np.float64), "g": None}

    def _node(self, value, back):
        node = {"v": value, "g": None}
        self.tape.append((node, back))
        return node

    @staticmethod
    def _acc(node, grad):
        node["g"] = grad if node["g"] is None else node["g"] + grad

    def add(self, a, b):
        def back(g):
            self._acc(a, g)
            self._acc(b, g)

        return self._node(a["v"] + b["v"], back)

    def mul(self, a, b):
        def back(g):
            self._acc(a, g * b["v"])
            self._acc(b, g * a["v"])

        return self._node(a["v"] * b["v"], back)

    def matmul(self, a, b):
        def back(g):
            self._acc(a, g @ b["v"].T)
            self._acc(b, a["v"].T @ g)

        return self._node(a["v"] @ b["v"], back)

    def relu(self, a, mask):
        def back(g):
            self._acc(a, np.where(mask, g, 0.0))

        return self._node(np.where(mask, a["v"], 0.0), back)

    def sigmoid(self, a):
        s = 1.0 / (1.0 + np.exp(-a["v"]))

        def back(g):
            self._acc(a, g * s * (1.0 - s))

        return self._node(s, back)

    def sum(self, a):
        def back(g):
            self._acc(a, np.full(a["v"].shape, g.item()))

        return self._node(np.array([a["v"].sum()]), back)

    def backward(self, out):
        out["g"] = np.ones_like(out["v"])
        for node, back in reversed(self.tape):
            if node["g"] is not None:
                back(node["g"])


# Every operation but sum, which makes the loss; the reference has a method of each one's name.
GRAPH_OPS = [op.name for op in OPS if op.name != "sum"]


def build_random_graph(seed):
    """The same random graph in quvarin and in the float64 reference; returns probes and leaves."""
    rng = np.random.default_rng(seed)
    r, c = int(rng.integers(1, 5)), int(rng.integers(1, 5))
    ref = Ref()
    leaves, pool, mats = [], [], []
    for shape, target in (([r, c], pool), ([r, c], pool), ([r, c], pool), ([c, c], mats), ([c, c], mats)):
        value = rng.uniform(-2, 2, shape).astype(F32)
        probe = GradProbe(shape)
        q = probe.attach(t32(value))
        node = ref.leaf(value.astype(np.float64))
        leaves.append((probe, node))
        target.append((q, node))
    produced = list(pool) + list(mats)  # every probe's addition must reach the loss too
    for _ in range(int(rng.integers(4, 9))):
        op = OPS_BY_NAME[rng.choice(GRAPH_OPS)]
        q1, n1 = pool[int(rng.integers(len(pool)))]
        operands, nodes = [q1], [n1]
        if op.arity == 2:  # a square matrix on the right keeps the shape
            q2, n2 = (mats if op.matrices else pool)[int(rng.integers(len(mats if op.matrices else pool)))]
            operands.append(q2)
            nodes.append(n2)
        if op.name == "relu":  # the mask from quvarin's own values, whose signs decide
            nodes.append(np.array(q1.data(), dtype=F32).reshape(r, c) > 0)
        out = (op.call(*operands), getattr(ref, op.name)(*nodes))
        pool.append(out)
        produced.append(out)
    # every value feeds the loss, so no node is left without a gradient
    loss_q, loss_n = None, None
    for q, n in produced:
        sq, sn = q.sum(), ref.sum(n)
        if loss_q is None:
            loss_q, loss_n = sq, sn
        else:
            loss_q, loss_n = loss_q + sq, ref.add(loss_n, sn)
    return ref, leaves, loss_q, loss_n


@pytest.mark.parametrize("seed", range(12))
def test_random_graph_gradients_match_float64_reference(seed):
    ref, leaves, loss_q, loss_n = build_random_graph(seed)
    loss_q.backward()
    ref.backward(loss_n)
    scale = max(1.0, max(abs(float(n["v"].max(initial=0))) + abs(float(n["v"].min(initial=0))) for n, _ in ref.tape))
    np.testing.assert_allclose(loss_q.item(), loss_n["v"][0], rtol=1e-4, atol=1e-5 * scale)
    for probe, node in leaves:
        want = np.zeros(node["v"].shape) if node["g"] is None else node["g"]
        tol = 1e-5 * max(1.0, float(np.abs(want).max(initial=0)), scale)
        np.testing.assert_allclose(np.array(probe.read()).reshape(want.shape), want, rtol=1e-4, atol=tol)


@pytest.mark.torch
@pytest.mark.parametrize("seed", range(6))
def test_random_graph_gradients_match_torch(seed):
    import torch  # installed by `make test-torch`, which alone selects this test
    rng = np.random.default_rng(1000 + seed)
    n, d, h = 6, 4, 5
    xv = rng.standard_normal((n, d)).astype(F32)
    w1v = rng.standard_normal((d, h)).astype(F32)
    w2v = rng.standard_normal((h, 1)).astype(F32)
    cv = rng.standard_normal((n, h)).astype(F32)
    w1, w2 = t32(w1v, True), t32(w2v, True)
    c = t32(cv, True)
    hid = t32(xv).matmul(w1)
    mixed = hid.relu() * c + hid.sigmoid()
    mixed.matmul(w2).sigmoid().sum().backward()
    tw1 = torch.tensor(w1v, requires_grad=True)
    tw2 = torch.tensor(w2v, requires_grad=True)
    tc = torch.tensor(cv, requires_grad=True)
    th = torch.tensor(xv) @ tw1
    tm = torch.relu(th) * tc + torch.sigmoid(th)
    torch.sigmoid(tm @ tw2).sum().backward()
    for ours, theirs in ((w1, tw1), (w2, tw2), (c, tc)):
        before = np.array(ours.data())
        ours.apply_sgd_step(1.0)
        grad = before - np.array(ours.data())
        np.testing.assert_allclose(grad, theirs.grad.numpy().ravel(), rtol=1e-4, atol=1e-5)


# --- training ---------------------------------------------------------------------------------------------


def separable_data(seed, n=64, d=3):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d)).astype(F32)
    w_true = rng.standard_normal(d)
    y = (x @ w_true > 0).astype(F32)
    x = np.hstack([x, np.ones((n, 1), dtype=F32)])  # bias column
    return x, y.reshape(n, 1)


def train_logistic(x, y, steps, lr):
    w = qv.zeros([x.shape[1], 1], requires_grad=True)
    xt, neg_y = t32(x), t32(-y)
    losses = []
    for _ in range(steps):
        diff = xt.matmul(w).sigmoid() + neg_y
        loss = (diff * diff).sum()
        loss.backward()
        w.apply_sgd_step(lr)
        losses.append(loss.item())
    return w, losses


def numpy_logistic(x, y, steps, lr):
    x, y = x.astype(np.float64), y.astype(np.float64)
    w = np.zeros((x.shape[1], 1))
    losses = []
    for _ in range(steps):
        p = 1 / (1 + np.exp(-(x @ w)))
        diff = p - y
        losses.append(float((diff * diff).sum()))
        w -= lr * (x.T @ (2 * diff * p * (1 - p)))
    return w, losses


def test_logistic_regression_learns():
    x, y = separable_data(0)
    w, losses = train_logistic(x, y, 300, 0.05)
    assert losses[-1] < 0.15 * losses[0]
    assert all(b <= a + 1e-4 for a, b in zip(losses, losses[1:]))
    pred = np.array(t32(x).matmul(w).data()) > 0
    assert (pred == (y.ravel() > 0.5)).mean() >= 0.95
    _, ref_losses = numpy_logistic(x, y, 300, 0.05)
    np.testing.assert_allclose(losses, ref_losses, rtol=2e-3, atol=1e-3)


def circles(seed, n=80):
    rng = np.random.default_rng(seed)
    angle = rng.uniform(0, 2 * np.pi, n)
    radius = np.where(np.arange(n) % 2 == 0, 0.5, 1.5) + rng.uniform(-0.2, 0.2, n)
    x = np.stack([radius * np.cos(angle), radius * np.sin(angle), np.ones(n)], axis=1).astype(F32)
    y = (np.arange(n) % 2 == 0).astype(F32).reshape(n, 1)
    return x, y


def train_mlp(x, y, steps, lr, seed=1, hidden=16):
    rng = np.random.default_rng(seed)
    w1 = t32(rng.standard_normal((x.shape[1], hidden)) * 0.8, True)
    w2 = t32(rng.standard_normal((hidden, 1)) * 0.5, True)
    xt, neg_y = t32(x), t32(-y)
    losses = []
    for _ in range(steps):
        out = xt.matmul(w1).relu().matmul(w2).sigmoid()
        diff = out + neg_y
        loss = (diff * diff).sum()
        loss.backward()
        w1.apply_sgd_step(lr)
        w2.apply_sgd_step(lr)
        losses.append(loss.item())
    return (w1, w2), losses


def test_two_layer_network_learns_nonlinear_boundary():
    x, y = circles(4)
    (w1, w2), losses = train_mlp(x, y, 400, 0.05)
    assert losses[-1] < 0.25 * losses[0]
    out = np.array(t32(x).matmul(w1).relu().matmul(w2).sigmoid().data())
    assert ((out > 0.5) == (y.ravel() > 0.5)).mean() >= 0.9


def test_training_is_deterministic():
    x, y = circles(5, n=40)
    (a1, a2), la = train_mlp(x, y, 60, 0.05)
    (b1, b2), lb = train_mlp(x, y, 60, 0.05)
    assert la == lb
    assert a1.data() == b1.data() and a2.data() == b2.data()


def test_lr_conversion_runs_before_the_gradients_are_looked_up():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    x.sum().backward()

    class Lr:
        def __float__(self):
            other = qv.tensor([1.0], [1], requires_grad=True)
            other.sum().backward()  # replaces this thread's gradients
            return 1.0

    assert x.apply_sgd_step(Lr()) is None
    assert x.data() == [1.0, 2.0]


def test_one_gradient_buffer_shared_by_several_tensors():
    x = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    y = qv.tensor([3.0, 4.0], [2], requires_grad=True)
    z = x + y
    z.backward()  # x, y and z receive the same seed
    for t in (x, y, z, x):
        t.apply_sgd_step(1.0)
    assert x.data() == [-1.0, 0.0]
    assert y.data() == [2.0, 3.0]
    assert z.data() == [3.0, 5.0]


def test_very_long_chain():
    n = 200_000
    x = qv.tensor([0.5], [1], requires_grad=True)
    y = x
    for _ in range(n):
        y = y.relu()
    y.sum().backward()
    x.apply_sgd_step(1.0)
    assert x.data() == [-0.5]


@ON_A_NEW_THREAD
def test_very_long_tape_dropped_at_thread_exit():
    def body():
        y = qv.tensor([0.5], [1], requires_grad=True)
        for _ in range(200_000):
            y = y.relu()
        return y.data()

    assert run_in_thread(body) == ("ok", [0.5])
    assert tape_is_empty()


def test_very_long_stale_tape_fails_cleanly():
    y = qv.tensor([0.5], [1], requires_grad=True)
    for _ in range(200_000):
        y = y.relu()
    del y
    assert backward_error(fresh_leaf()) == RELU_MISSING
    assert tape_is_empty()
