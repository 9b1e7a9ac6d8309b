"""What each library runs when it is timed: the same float32 data, the same work.

A case is a JSON-friendly list naming the work: ["a+b", 1024], ["matmul", 256],
["matmul", [64, 784, 128]] (m, k, n), ["step", [784, 128, 10], 64], ["matmul_backward", 512, "both"],
["data_in", "float32", [64, 784]]. `timed(library, case)` returns a function that
performs the work `number` times and returns the seconds it took. NumPy has no
sigmoid or relu of its own: 1 / (1 + np.exp(-x)) and np.maximum(x, 0) stand in.
"""

from __future__ import annotations

import array
import functools
import math
import time
from collections.abc import Callable
from types import ModuleType
from typing import Any

import numpy as np

ELEMENTWISE = ("a+b", "a*b", "relu", "sigmoid", "sum")
LEARNING_RATE = 0.001

Timed = Callable[[int], float]


def timed(library: str, case: list) -> Timed:
    kind = case[0]
    if kind in ELEMENTWISE:
        return _loop(_elementwise(library, kind, case[1]))
    if kind == "matmul":
        return _loop(_matmul(library, case[1]))
    if kind == "step":
        return _loop(_training_step(library, tuple(case[1]), case[2]))
    if kind == "matmul_backward":
        return _backward_only(library, case[1], case[2])
    if kind in ("data_in", "data_in_from_array"):
        return _loop(_data_in(library, kind, case[1], tuple(case[2])))
    raise ValueError(f"unknown case {case}")


def may_start_worker_threads(case: list) -> bool:
    """False where no library computes on more than one thread: elementwise operations
    below 32768 elements (PyTorch's smallest parallel grain; quvarin's sigmoid starts at 2^17)."""
    return case[0] not in ELEMENTWISE or case[1] >= 32768


def _loop(call: Callable[[], object]) -> Timed:
    def run(number: int) -> float:
        start = time.perf_counter()
        for _ in range(number):
            call()
        return time.perf_counter() - start

    return run


@functools.cache
def module(library: str) -> ModuleType:
    if library == "quvarin":
        import quvarin

        return quvarin
    if library == "torch":
        import torch

        return torch
    return np


def as_library(library: str, array: np.ndarray, requires_grad: bool = False) -> Any:
    """The array as a tensor of the library (NumPy: the array itself)."""
    if library == "quvarin":
        return module(library).tensor(array.ravel().tolist(), list(array.shape), requires_grad=requires_grad)
    if library == "torch":
        return module(library).from_numpy(array).requires_grad_(requires_grad)
    return array


# One size's operands at a time: moving to the next size frees the last one's.
@functools.lru_cache(maxsize=1)
def _operands(library: str, size: int) -> tuple[Any, Any]:
    rng = np.random.default_rng(size)
    x, y = (rng.uniform(-4, 4, size).astype(np.float32) for _ in range(2))
    return as_library(library, x), as_library(library, y)


def release_operands() -> None:
    """Drops the operands kept for the last size."""
    _operands.cache_clear()


def _elementwise(library: str, operation: str, size: int) -> Callable[[], object]:
    x, y = _operands(library, size)
    if library == "numpy":
        return {
            "a+b": lambda: x + y,
            "a*b": lambda: x * y,
            "relu": lambda: np.maximum(x, np.float32(0)),
            "sigmoid": lambda: np.float32(1) / (np.float32(1) + np.exp(-x)),
            "sum": x.sum,
        }[operation]
    return {
        "a+b": lambda: x + y,
        "a*b": lambda: x * y,
        "relu": x.relu,
        "sigmoid": x.sigmoid,
        "sum": x.sum,
    }[operation]


def _square_matrices(side: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(side)
    a, b = (rng.uniform(-1, 1, (side, side)).astype(np.float32) for _ in range(2))
    return a, b


def _matrices(m: int, k: int, n: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(m * k * n)
    return rng.uniform(-1, 1, (m, k)).astype(np.float32), rng.uniform(-1, 1, (k, n)).astype(np.float32)


def _matmul(library: str, shape: int | list[int]) -> Callable[[], object]:
    matrices = _square_matrices(shape) if isinstance(shape, int) else _matrices(*shape)
    a, b = (as_library(library, m) for m in matrices)
    if library == "quvarin":
        return functools.partial(a.matmul, b)
    return functools.partial(module(library).matmul, a, b)


def _backward_only(library: str, side: int, which: str) -> Timed:
    """Seconds spent in backward() alone, for loss = A.matmul(B).sum()."""
    a_grad, b_grad = which in ("dA", "both"), which in ("dB", "both")
    a, b = (as_library(library, m, g) for m, g in zip(_square_matrices(side), (a_grad, b_grad)))

    def run(number: int) -> float:
        spent = 0.0
        for _ in range(number):
            loss = (a.matmul(b) if library == "quvarin" else a @ b).sum()
            start = time.perf_counter()
            loss.backward()
            spent += time.perf_counter() - start
            if library == "torch":
                a.grad = b.grad = None
        return spent

    return run


# What a tensor is built from, each holding the same values; the arrays are flat.
DATA_SOURCES = ("list", "tuple", "array.array", "float32", "float64", "int64")


def data_source(source: str, size: int) -> Any:
    values = np.random.default_rng(size).uniform(-1000, 1000, size)
    if source == "list":
        return values.astype(np.float32).tolist()
    if source == "tuple":
        return tuple(values.astype(np.float32).tolist())
    if source == "array.array":
        return array.array("f", values.astype(np.float32).tobytes())
    return values.astype(source)


def _data_in(library: str, kind: str, source: str, shape: tuple[int, ...]) -> Callable[[], object]:
    """A float32 tensor of `shape` from the flat `source`: quvarin's tensor(), NumPy's
    np.array(x, dtype=float32), PyTorch's torch.tensor(x, dtype=float32). Kind
    data_in_from_array copies an array instead: NumPy's a.copy() (same element type),
    PyTorch's torch.from_numpy(a).to(float32, copy=True), a clone() for float32."""
    data = data_source(source, math.prod(shape))
    if library == "quvarin":
        return functools.partial(module(library).tensor, data, list(shape))
    if library == "numpy":
        return data.copy if kind == "data_in_from_array" else functools.partial(np.array, data, dtype=np.float32)
    torch = module(library)
    if kind == "data_in_from_array":
        return lambda: torch.from_numpy(data).to(torch.float32, copy=True)
    return functools.partial(torch.tensor, data, dtype=torch.float32)


def initial_parameters(layers: tuple[int, ...], seed: int = 0) -> list[tuple[np.ndarray, np.ndarray]]:
    rng = np.random.default_rng(seed)
    return [
        (rng.normal(0, 1 / np.sqrt(fan_in), (fan_in, fan_out)).astype(np.float32), np.zeros((1, fan_out), np.float32))
        for fan_in, fan_out in zip(layers, layers[1:])
    ]


def batch_data(layers: tuple[int, ...], batch: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(1)
    inputs = rng.uniform(0, 1, (batch, layers[0])).astype(np.float32)
    targets = np.eye(layers[-1], dtype=np.float32)[rng.integers(0, layers[-1], batch)]
    return inputs, targets


def _training_step(library: str, layers: tuple[int, ...], batch: int) -> Callable[[], None]:
    """One step of a sigmoid MLP with a squared-error loss: forward, backward, SGD on every parameter."""
    if library == "quvarin":
        return quvarin_step(layers, batch)
    if library == "torch":
        return _torch_step(layers, batch)
    raise ValueError("NumPy has no automatic differentiation")


def model(library: str, layers: tuple[int, ...], batch: int) -> tuple[Any, Any, list[tuple[Any, Any]]]:
    """The batch's inputs, its targets and the (weights, bias) pairs, as the library's tensors.

    quvarin gets the targets negated (it adds them) and each bias as a [1, out] row.
    """
    inputs, targets = batch_data(layers, batch)
    parameters = [tuple(as_library(library, m, True) for m in pair) for pair in initial_parameters(layers)]
    if library == "quvarin":
        targets = -targets
    return as_library(library, inputs), as_library(library, targets), parameters


def quvarin_step(layers: tuple[int, ...], batch: int) -> Callable[[], None]:
    """Biases spread over the batch by ones[batch, 1] . b[1, out]; the error as h + (-targets)."""
    x, negated_targets, parameters = model("quvarin", layers, batch)
    ones_column = module("quvarin").ones([batch, 1])

    def step() -> None:
        h = x
        for weights, bias in parameters:
            h = (h.matmul(weights) + ones_column.matmul(bias)).sigmoid()
        error = h + negated_targets
        (error * error).sum().backward()
        for pair in parameters:
            for parameter in pair:
                parameter.apply_sgd_step(LEARNING_RATE)

    return step


def _torch_step(layers: tuple[int, ...], batch: int) -> Callable[[], None]:
    torch = module("torch")
    inputs, targets, parameters = model("torch", layers, batch)

    def step() -> None:
        h = inputs
        for weights, bias in parameters:
            h = torch.sigmoid(h @ weights + bias)
        ((h - targets) ** 2).sum().backward()
        with torch.no_grad():
            for pair in parameters:
                for parameter in pair:
                    parameter -= LEARNING_RATE * parameter.grad
                    parameter.grad = None

    return step
