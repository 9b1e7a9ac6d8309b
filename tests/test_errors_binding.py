"""Argument binding of the methods with parameters, argument conversion, and the access rules."""

import pytest

from conftest import (
    ALREADY_BORROWED, ALREADY_MUTABLY_BORROWED, NO_ARGUMENT_METHODS, NO_DELETE, NO_NUMPY, TENSOR_METHODS,
    TENSOR_STATIC_METHODS, TENSOR_USES, Interrupt, MyTypeError, Outer, Raises, float_conversion_error,
    index_conversion_error, missing_argument, plausible_arguments,
)

import quvarin as qv


def tensors():
    return qv.ones([2, 2]), qv.ones([2, 2])


# The methods with a parameter: (qualified name, parameter, bound method factory, valid argument); a
# static method both through the class and through an instance.
WITH_PARAMETER = {name: parameters[0] for name, parameters in {**TENSOR_METHODS, **TENSOR_STATIC_METHODS}.items()
                  if parameters}
METHODS = [
    (f"Tensor.{name}", parameter, lambda t, u, name=name: getattr(t, name),
     lambda t, u, parameter=parameter: plausible_arguments([parameter], u)[0])
    for name, parameter in WITH_PARAMETER.items()
] + [
    (f"Tensor.{name}", parameter, lambda t, u, name=name: getattr(qv.Tensor, name),
     lambda t, u, parameter=parameter: plausible_arguments([parameter], u)[0])
    for name, parameter in WITH_PARAMETER.items() if name in TENSOR_STATIC_METHODS
]
METHOD_IDS = list(WITH_PARAMETER) + [f"{name}-class" for name in WITH_PARAMETER if name in TENSOR_STATIC_METHODS]

BINDING_CASES = [
    ("missing", lambda m, v, p: m(), missing_argument("{q}", "{p}")),
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
    assert str(info.value) == missing_argument("Tensor.matmul", "other")


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


# Each parameter converted from a Python number, by a call that converts it; t is a 2x2 tensor.
CONVERTED = {
    "data": lambda t, value: qv.tensor([value], [1]),
    "shape": lambda t, value: qv.zeros([value]),
    "lr": lambda t, value: t.apply_sgd_step(value),
    "index": lambda t, value: t.slice_rows(value),
}


@pytest.mark.parametrize("param", CONVERTED)
def test_conversion_type_error_keeps_its_cause(param):
    cause = LookupError("root")
    error = TypeError("nope")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        CONVERTED[param](qv.ones([2, 2]), Raises(error))
    assert str(info.value) == f"argument '{param}': nope"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("param", CONVERTED)
@pytest.mark.parametrize(
    "exc",
    [MyTypeError("sub"), ValueError("v"), OverflowError("o"), ZeroDivisionError("z"), KeyError("k"), RuntimeError("r"),
     Interrupt("i")],
    ids=lambda e: type(e).__name__,
)
def test_other_conversion_exceptions_pass_unchanged(param, exc):
    t = qv.ones([2, 2])
    with pytest.raises(type(exc)) as info:
        CONVERTED[param](t, Raises(exc))
    assert info.value is exc
    t.apply_sgd_step(0.5)  # nothing is left held
    assert qv.ones([1]).data() == [1.0]


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


@pytest.mark.parametrize("name", [*TENSOR_METHODS])
def test_unbound_methods_with_foreign_receiver(name):
    # the interpreter's descriptor check answers before the method runs: no "argument '...'" prefix
    with pytest.raises(TypeError) as info:
        getattr(qv.Tensor, name)(5, *plausible_arguments(TENSOR_METHODS[name], None))
    assert not str(info.value).startswith("argument '")


@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})])
def test_no_argument_methods_reject_arguments(name, args, kwargs):
    t = qv.ones([1])
    with pytest.raises(TypeError):
        getattr(t, name)(*args, **kwargs)
    assert t.data() == [1.0]


# --- access rules ---------------------------------------------------------------------------------------

READ_REFUSED = (RuntimeError, ALREADY_MUTABLY_BORROWED)
WRITE_REFUSED = (RuntimeError, ALREADY_BORROWED)
UNSUPPORTED_ADD = (TypeError, "unsupported operand type(s) for +: 'quvarin.Tensor' and 'quvarin.Tensor'")
UNSUPPORTED_MUL = (TypeError, "unsupported operand type(s) for *: 'quvarin.Tensor' and 'quvarin.Tensor'")

# Every use of a tensor t run while apply_sgd_step holds it for writing (u is another tensor), and
# the outcome where it is not READ_REFUSED.
WHILE_WRITING = {
    **TENSOR_USES,
    # other tensors stay usable
    "other-data": lambda t, u: u.data(),
    "other-sum": lambda t, u: u.sum().data(),
    "other-bad-matmul": lambda t, u: u.matmul(5),
}
WHILE_WRITING_OUTCOMES = {
    "apply_sgd_step": WRITE_REFUSED,
    "apply_sgd_step-bad-lr": WRITE_REFUSED,
    "delitem": (NotImplementedError, NO_DELETE),
    "from_numpy": (NotImplementedError, NO_NUMPY),
    # a refused operand makes way for the other operand's reflected method
    "add": UNSUPPORTED_ADD,
    "add-right": UNSUPPORTED_ADD,
    "add-self": UNSUPPORTED_ADD,
    "add-int": (TypeError, "unsupported operand type(s) for +: 'quvarin.Tensor' and 'int'"),
    "int-add": (TypeError, "unsupported operand type(s) for +: 'int' and 'quvarin.Tensor'"),
    "mul": UNSUPPORTED_MUL,
    "mul-right": UNSUPPORTED_MUL,
    "repr": ("ok", repr),
    "hash": ("ok", hash),
    # argument binding comes before the access
    **{f"{name}-missing": (TypeError, missing_argument(f"Tensor.{name}", parameters[0]))
       for name, parameters in TENSOR_METHODS.items() if parameters},
    "other-data": ("ok", [1.0] * 4),
    "other-sum": ("ok", [4.0]),
    "other-bad-matmul": (TypeError, "argument 'other': 'int' object is not an instance of 'Tensor'"),
}


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


@pytest.mark.parametrize("name", WHILE_WRITING)
def test_access_while_held_for_writing(name):
    t, u = qv.ones([2, 2]), qv.ones([2, 2])
    lr = Reentrant(lambda: WHILE_WRITING[name](t, u))
    assert t.apply_sgd_step(lr) is None
    expected = WHILE_WRITING_OUTCOMES.get(name, READ_REFUSED)
    if expected[0] == "ok" and callable(expected[1]):  # repr and hash of the tensor itself
        expected = ("ok", expected[1](t))
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

    class SteppingIndex:
        def __index__(self):
            t.apply_sgd_step(0.1)
            return 0

    with pytest.raises(RuntimeError) as info:
        t.slice_rows(SteppingIndex())
    assert type(info.value) is RuntimeError
    assert str(info.value) == ALREADY_BORROWED
    assert t.slice_rows(1).data() == [4.0]
