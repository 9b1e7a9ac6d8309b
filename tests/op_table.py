"""Every tensor operation once, for the tests that go over all of them: the dtype, error, stale-node,
recording, random-graph and fuzz tests take their operations from here, so an operation added to the
table reaches each of them (or fails them until they know how to check it)."""

import ctypes
from dataclasses import dataclass
from typing import Callable

import numpy as np

from conftest import GRADIENT_MISSING, GRADIENT_MISSING_FOR, GRADIENT_MISSING_FOR_ID, ErrorText

_expf = ctypes.CDLL("libm.so.6").expf
_expf.restype = ctypes.c_float
_expf.argtypes = [ctypes.c_float]


def sigmoid_reference(values):
    """1 / (1 + expf(-x)) in single precision, with the system libm's expf."""
    x = np.asarray(values, dtype=np.float32)
    e = np.array([_expf(float(-v)) for v in x.ravel()], dtype=np.float32).reshape(x.shape)
    with np.errstate(over="ignore"):
        return np.float32(1.0) / (np.float32(1.0) + e)


def sum_reference(a):
    """The sum in index order, each addition rounded to float32, from -0.0."""
    total = np.float32(-0.0)
    for value in np.asarray(a, dtype=np.float32).ravel():
        total = np.float32(total + value)
    return np.array([total], dtype=np.float32)


@dataclass(frozen=True)
class Op:
    name: str
    arity: int  # tensor operands, the receiver first
    call: Callable
    # NumPy's float32 result from the operands' values, with the library's bits (but a NaN's sign) where
    # exact; matmul's bits are OpenBLAS's, so its reference holds only where no rounding happens.
    reference: Callable
    exact: bool
    # What the next backward pass says when the node a call recorded (with an operand that requires
    # gradients) never received its result's gradient: most name the node, addition its result's id.
    missing_gradient: ErrorText
    matrices: bool = False  # the operands must be matrices of matching inner size


OPS = [
    Op("add", 2, lambda a, b: a + b, lambda a, b: a + b, True, GRADIENT_MISSING_FOR_ID),
    Op("mul", 2, lambda a, b: a * b, lambda a, b: a * b, True, GRADIENT_MISSING),
    Op("matmul", 2, lambda a, b: a.matmul(b), lambda a, b: a @ b, False,
       ErrorText(GRADIENT_MISSING_FOR.format("MatMul")), matrices=True),
    Op("relu", 1, lambda a: a.relu(), lambda a: np.where(a > 0, a, np.float32(0)), True,
       ErrorText(GRADIENT_MISSING_FOR.format("ReLU"))),
    Op("sigmoid", 1, lambda a: a.sigmoid(), sigmoid_reference, True,
       ErrorText(GRADIENT_MISSING_FOR.format("Sigmoid"))),
    Op("sum", 1, lambda a: a.sum(), sum_reference, True, ErrorText(GRADIENT_MISSING_FOR.format("Sum"))),
]
OPS_BY_NAME = {op.name: op for op in OPS}
OP_NAMES = [op.name for op in OPS]
