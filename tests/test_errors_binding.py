"""Argument binding of the methods with parameters, argument conversion, and the access rules."""

import pytest

from conftest import float_conversion_error, index_conversion_error

import quvarin as qv


class Outer:
    class Inner:
        pass


class MyTypeError(TypeError):
    pass


class Interrupt(BaseException):
    pass


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


def tensors():
    return qv.ones([2, 2]), qv.ones([2, 2])


# (qualified name, parameter, bound method factory, valid argument)
METHODS = [
    ("Tensor.matmul", "other", lambda t, u: t.matmul, lambda t, u: u),
    ("Tensor.apply_sgd_step", "lr", lambda t, u: t.apply_sgd_step, lambda t, u: 0.5),
    ("Tensor.slice_rows", "index", lambda t, u: t.slice_rows, lambda t, u: 0),
    ("Tensor.from_numpy", "_array", lambda t, u: qv.Tensor.from_numpy, lambda t, u: None),
    ("Tensor.from_numpy", "_array", lambda t, u: t.from_numpy, lambda t, u: None),
    ("Tensor.__dlpack__", "_stream", lambda t, u: t.__dlpack__, lambda t, u: None),
]
METHOD_IDS = ["matmul", "apply_sgd_step", "slice_rows", "from_numpy-class", "from_numpy-instance", "__dlpack__"]

BINDING_CASES = [
    ("missing", lambda m, v, p: m(), "{q}() missing 1 required positional argument: '{p}'"),
    ("missing-with-unknown-kw-first", lambda m, v, p: m(bogus=1), "{q}() got an unexpected keyword argument 'bogus'"),
    ("two-positional", lambda m, v, p: m(v, v), "{q}() takes 1 positional arguments but 2 were given"),
    ("three-positional", lambda m, v, p: m(v, v, v), "{q}() takes 1 positional arguments but 3 were given"),
    ("surplus-before-keywords", lambda m, v, p: m(v, v, bogus=1), "{q}() takes 1 positional arguments but 2 were given"),
    ("unknown-keyword", lambda m, v, p: m(v, bogus=1), "{q}() got an unexpected keyword argument 'bogus'"),
    ("stripped-underscore", lambda m, v, p: m(**{p.lstrip("_"): v}) if p.startswith("_") else m(**{p.upper(): v}),
     "{q}() got an unexpected keyword argument '{k}'"),
    ("multiple-values", lambda m, v, p: m(v, **{p: v}), "{q}() got multiple values for argument '{p}'"),
]


@pytest.mark.parametrize("qualname, param, method, valid", METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("case, call, template", BINDING_CASES, ids=[c[0] for c in BINDING_CASES])
def test_binding_errors(qualname, param, method, valid, case, call, template):
    t, u = tensors()
    m, v = method(t, u), valid(t, u)
    keyword = param.lstrip("_") if param.startswith("_") else param.upper()
    message = template.format(q=qualname, p=param, k=keyword)
    with pytest.raises(TypeError) as info:
        call(m, v, param)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert t.data() == [1.0] * 4


@pytest.mark.parametrize("qualname, param, method, valid", METHODS, ids=METHOD_IDS)
def test_argument_by_keyword_equals_by_position(qualname, param, method, valid):
    t, u = tensors()
    m, v = method(t, u), valid(t, u)
    outcomes = []
    for call in (lambda: m(v), lambda: m(**{param: v})):
        try:
            result = call()
            outcomes.append(("ok", None if result is None else (result.shape, result.data())))
        except Exception as exc:
            outcomes.append((type(exc), str(exc)))
    assert outcomes[0] == outcomes[1]


def test_unbound_methods_bind_the_receiver_first():
    t, u = tensors()
    assert qv.Tensor.matmul(t, u).data() == [2.0] * 4
    assert qv.Tensor.matmul(t, other=u).data() == [2.0] * 4
    with pytest.raises(TypeError) as info:
        qv.Tensor.matmul(t)
    assert str(info.value) == "Tensor.matmul() missing 1 required positional argument: 'other'"


# --- conversions --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "other, message",
    [
        (5, "argument 'other': 'int' object is not an instance of 'Tensor'"),
        (None, "argument 'other': 'None' is not an instance of 'Tensor'"),
        (2.5, "argument 'other': 'float' object is not an instance of 'Tensor'"),
        ([[1.0]], "argument 'other': 'list' object is not an instance of 'Tensor'"),
        (qv.Device("cpu"), "argument 'other': 'Device' object is not an instance of 'Tensor'"),
        (qv.float32, "argument 'other': 'DType' object is not an instance of 'Tensor'"),
        (qv.Tensor, "argument 'other': 'type' object is not an instance of 'Tensor'"),
        (Outer.Inner(), "argument 'other': 'Outer.Inner' object is not an instance of 'Tensor'"),
    ],
)
def test_matmul_other_must_be_a_tensor(other, message):
    t = qv.ones([2, 2])
    for call in (lambda: t.matmul(other), lambda: t.matmul(other=other)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == message
        assert info.value.__cause__ is None


LR_TYPE_ERRORS = ["0.1", None, [0.1], 1j, b"1", qv.ones([1]), object()]


@pytest.mark.parametrize("lr", LR_TYPE_ERRORS, ids=lambda v: type(v).__name__)
def test_lr_type_errors_are_prefixed(lr):
    t = qv.ones([2])
    with pytest.raises(TypeError) as info:
        t.apply_sgd_step(lr)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'lr': {float_conversion_error(lr)}"
    assert t.data() == [1.0, 1.0]
    t.apply_sgd_step(0.5)  # the write access was released


INDEX_TYPE_ERRORS = [1.0, "1", None, slice(0, 1), (0,), [0], 2j, qv.ones([1])]


@pytest.mark.parametrize("index", INDEX_TYPE_ERRORS, ids=lambda v: type(v).__name__)
def test_index_type_errors_are_prefixed(index):
    t = qv.ones([3, 2])
    with pytest.raises(TypeError) as info:
        t.slice_rows(index)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'index': {index_conversion_error(index)}"
    assert t.slice_rows(0).data() == [1.0, 1.0]


@pytest.mark.parametrize("param", ["lr", "index"])
def test_conversion_type_error_keeps_cause_and_drops_context(param):
    cause = LookupError("root")
    t = qv.ones([2, 2])

    class Bad:
        def __float__(self):
            raise TypeError("nope") from cause

        def __index__(self):
            raise TypeError("nope") from cause

    with pytest.raises(TypeError) as info:
        if param == "lr":
            t.apply_sgd_step(Bad())
        else:
            t.slice_rows(Bad())
    assert str(info.value) == f"argument '{param}': nope"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("param", ["lr", "index"])
@pytest.mark.parametrize(
    "exc",
    [MyTypeError("sub"), ValueError("v"), OverflowError("o"), ZeroDivisionError("z"), KeyError("k"), Interrupt("i")],
    ids=lambda e: type(e).__name__,
)
def test_other_conversion_exceptions_pass_unchanged(param, exc):
    t = qv.ones([2, 2])
    with pytest.raises(type(exc)) as info:
        if param == "lr":
            t.apply_sgd_step(Raising(exc))
        else:
            t.slice_rows(Raising(exc))
    assert info.value is exc
    t.apply_sgd_step(0.5)  # nothing is left held


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.slice_rows(2**63),
        lambda t: t.slice_rows(-(2**63) - 1),
        lambda t: t.slice_rows(2**70),
        lambda t: t.slice_rows(-(2**70)),
        lambda t: t.apply_sgd_step(10**400),
    ],
)
def test_overflow_passes_unchanged(call):
    t = qv.ones([3, 2])
    with pytest.raises(OverflowError) as info:
        call(t)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name, args", [("matmul", (None,)), ("apply_sgd_step", (0.1,)), ("slice_rows", (0,)),
                                        ("__dlpack__", (None,))])
def test_unbound_methods_with_foreign_receiver(name, args):
    # the interpreter's descriptor check answers; no "argument '...'" prefix
    with pytest.raises(TypeError) as info:
        getattr(qv.Tensor, name)(5, *args)
    assert not str(info.value).startswith("argument '")


# --- access rules ---------------------------------------------------------------------------------------

READ_REFUSED = (RuntimeError, "Already mutably borrowed")
WRITE_REFUSED = (RuntimeError, "Already borrowed")


def _setitem(t):
    t[0] = 1.0


def _delitem(t):
    del t[0]


# actions run while the receiver t of apply_sgd_step is held for writing; u is another tensor
WHILE_WRITING = [
    ("data", lambda t, u: t.data(), READ_REFUSED),
    ("tolist", lambda t, u: t.tolist(), READ_REFUSED),
    ("item", lambda t, u: t.item(), READ_REFUSED),
    ("shape", lambda t, u: t.shape, READ_REFUSED),
    ("dtype", lambda t, u: t.dtype, READ_REFUSED),
    ("device", lambda t, u: t.device, READ_REFUSED),
    ("requires_grad", lambda t, u: t.requires_grad, READ_REFUSED),
    ("relu", lambda t, u: t.relu(), READ_REFUSED),
    ("sigmoid", lambda t, u: t.sigmoid(), READ_REFUSED),
    ("sum", lambda t, u: t.sum(), READ_REFUSED),
    ("backward", lambda t, u: t.backward(), READ_REFUSED),
    ("matmul-receiver", lambda t, u: t.matmul(u), READ_REFUSED),
    ("matmul-receiver-bad-other", lambda t, u: t.matmul(5), READ_REFUSED),
    ("matmul-other", lambda t, u: u.matmul(t), READ_REFUSED),
    ("matmul-self", lambda t, u: t.matmul(t), READ_REFUSED),
    ("slice_rows", lambda t, u: t.slice_rows(0), READ_REFUSED),
    ("slice_rows-bad-index", lambda t, u: t.slice_rows("x"), READ_REFUSED),
    ("getitem", lambda t, u: t[0], READ_REFUSED),
    ("setitem", lambda t, u: _setitem(t), READ_REFUSED),
    ("numpy", lambda t, u: t.numpy(), READ_REFUSED),
    ("dlpack", lambda t, u: t.__dlpack__(None), READ_REFUSED),
    ("dlpack_device", lambda t, u: t.__dlpack_device__(), READ_REFUSED),
    ("apply_sgd_step", lambda t, u: t.apply_sgd_step(0.1), WRITE_REFUSED),
    ("apply_sgd_step-bad-lr", lambda t, u: t.apply_sgd_step("x"), WRITE_REFUSED),
    ("delitem", lambda t, u: _delitem(t), (NotImplementedError, "can't delete item")),
    ("from_numpy", lambda t, u: t.from_numpy(None), (NotImplementedError, "Numpy interoperability is not yet implemented")),
    ("add", lambda t, u: t + u, (TypeError, "unsupported operand type(s) for +: 'quvarin.Tensor' and 'quvarin.Tensor'")),
    ("add-right", lambda t, u: u + t, (TypeError, "unsupported operand type(s) for +: 'quvarin.Tensor' and 'quvarin.Tensor'")),
    ("add-self", lambda t, u: t + t, (TypeError, "unsupported operand type(s) for +: 'quvarin.Tensor' and 'quvarin.Tensor'")),
    ("mul", lambda t, u: t * u, (TypeError, "unsupported operand type(s) for *: 'quvarin.Tensor' and 'quvarin.Tensor'")),
    ("mul-right", lambda t, u: u * t, (TypeError, "unsupported operand type(s) for *: 'quvarin.Tensor' and 'quvarin.Tensor'")),
    # argument binding comes before the access
    ("matmul-missing", lambda t, u: t.matmul(), (TypeError, "Tensor.matmul() missing 1 required positional argument: 'other'")),
    ("slice_rows-missing", lambda t, u: t.slice_rows(), (TypeError, "Tensor.slice_rows() missing 1 required positional argument: 'index'")),
    ("sgd-missing", lambda t, u: t.apply_sgd_step(), (TypeError, "Tensor.apply_sgd_step() missing 1 required positional argument: 'lr'")),
    ("dlpack-missing", lambda t, u: t.__dlpack__(), (TypeError, "Tensor.__dlpack__() missing 1 required positional argument: '_stream'")),
    # other tensors stay usable
    ("other-data", lambda t, u: u.data(), ("ok", [1.0] * 4)),
    ("other-sum", lambda t, u: u.sum().data(), ("ok", [4.0])),
    ("other-bad-matmul", lambda t, u: u.matmul(5), (TypeError, "argument 'other': 'int' object is not an instance of 'Tensor'")),
]


class Reentrant:
    """An lr whose float conversion runs Python code against the tensor being updated."""

    def __init__(self, action):
        self.action = action
        self.outcome = None
        self.context = None

    def __float__(self):
        try:
            self.outcome = ("ok", self.action())
        except BaseException as exc:
            self.outcome = (type(exc), str(exc))
            self.context = exc.__context__
        return 0.5


@pytest.mark.parametrize("name, action, expected", WHILE_WRITING, ids=[w[0] for w in WHILE_WRITING])
def test_access_while_held_for_writing(name, action, expected):
    t, u = qv.ones([2, 2]), qv.ones([2, 2])
    lr = Reentrant(lambda: action(t, u))
    assert t.apply_sgd_step(lr) is None
    assert lr.outcome == expected
    if expected[0] is TypeError and "unsupported operand" in expected[1]:
        assert lr.context is None  # the refused access never became the current exception
    # everything is released afterwards
    assert t.data() == [1.0] * 4
    assert (t + u).data() == [2.0] * 4
    t.apply_sgd_step(0.5)


class ReentrantIndex:
    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __index__(self):
        try:
            self.outcome = ("ok", self.action())
        except BaseException as exc:
            self.outcome = (type(exc), str(exc))
        return 1


@pytest.mark.parametrize(
    "action, expected",
    [
        (lambda t: t.data(), ("ok", [3.0, 4.0, 5.0, 6.0])),
        (lambda t: t.slice_rows(0).data(), ("ok", [3.0, 4.0])),
        (lambda t: (t + t).shape, ("ok", [2, 2])),
        (lambda t: t.apply_sgd_step(0.1), WRITE_REFUSED),
    ],
    ids=["data", "nested-slice", "add", "apply_sgd_step"],
)
def test_access_while_held_for_reading(action, expected):
    t = qv.tensor([3.0, 4.0, 5.0, 6.0], [2, 2])
    index = ReentrantIndex(lambda: action(t))
    row = t.slice_rows(index)
    assert index.outcome == expected
    assert row.data() == [5.0, 6.0]
    t.apply_sgd_step(0.5)  # released


def test_write_refusal_propagates_from_index_conversion():
    t = qv.tensor([3.0, 4.0], [2])

    class Index:
        def __index__(self):
            t.apply_sgd_step(0.1)
            return 0

    with pytest.raises(RuntimeError) as info:
        t.slice_rows(Index())
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already borrowed"
    assert t.slice_rows(1).data() == [4.0]
