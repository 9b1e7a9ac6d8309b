"""quvarin's backward pass and training step, against PyTorch autograd.

    python bench/autograd.py

(a) The matrix-product backward at 512x512: its GFLOP/s per product, compared
    with the forward product on one OpenBLAS thread (the backward runs on the
    calling thread alone).
(b) One training step of a 784-128-10 sigmoid MLP, batch 64, and (c) of a
    4-8-1 model, batch 4: forward, backward and a plain SGD update of every
    parameter, in quvarin and in PyTorch in the same process.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import numpy as np

import quvarin
from timing import format_seconds, interleaved_seconds_per_call

MATMUL_SIDE = 512
STEP_MODELS = [((784, 128, 10), 64), ((4, 8, 1), 4)]
LEARNING_RATE = 0.001


def import_torch() -> ModuleType | None:
    try:
        import torch
    except ImportError:
        return None
    return torch


def matmul_backward_seconds(a: np.ndarray, b: np.ndarray, a_grad: bool, b_grad: bool) -> float:
    """Best of five times of loss.backward() for loss = A.matmul(B).sum()."""
    shape = list(a.shape)
    lhs = quvarin.tensor(a.ravel().tolist(), shape, requires_grad=a_grad)
    rhs = quvarin.tensor(b.ravel().tolist(), shape, requires_grad=b_grad)
    best = float("inf")
    for _ in range(5):
        loss = lhs.matmul(rhs).sum()
        start = time.perf_counter()
        loss.backward()
        best = min(best, time.perf_counter() - start)
    return best


def single_thread_forward_gflops(side: int) -> float:
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    script = Path(__file__).with_name("gemm_rate.py")
    output = subprocess.run(
        [sys.executable, str(script), "quvarin", str(side)], env=environment, capture_output=True, text=True, check=True
    ).stdout
    rate: float = json.loads(output)["gflops"][str(side)]
    return rate


def torch_matmul_backward_seconds(torch: ModuleType, a: np.ndarray, b: np.ndarray) -> float:
    lhs, rhs = (torch.from_numpy(m).requires_grad_() for m in (a, b))
    best = float("inf")
    for _ in range(5):
        loss = (lhs @ rhs).sum()
        start = time.perf_counter()
        loss.backward()
        best = min(best, time.perf_counter() - start)
        lhs.grad = rhs.grad = None
    return best


def report_matmul_backward(torch: ModuleType | None) -> None:
    side = MATMUL_SIDE
    rng = np.random.default_rng(0)
    a, b = (rng.uniform(-1, 1, (side, side)).astype(np.float32) for _ in range(2))
    flops = 2 * side**3
    forward = single_thread_forward_gflops(side)
    print(f"(a) MatMulBackward, loss = A.matmul(B).sum() with A, B of {side}x{side}; {flops / 1e6:.0f} MFLOP per product")
    print(f"    forward matmul on 1 OpenBLAS thread (separate process): {forward:.1f} GFLOP/s")
    for label, a_grad, b_grad, products in (
        ("dA = g.B^T (only A requires grad)", True, False, 1),
        ("dB = A^T.g (only B requires grad)", False, True, 1),
        ("both", True, True, 2),
    ):
        seconds = matmul_backward_seconds(a, b, a_grad, b_grad)
        rate = products * flops / seconds / 1e9
        print(f"    {label:36s} backward() {format_seconds(seconds):>9s}  {rate:6.2f} GFLOP/s  = {rate / forward:.3f} x forward")
    if torch is not None:
        seconds = torch_matmul_backward_seconds(torch, a, b)
        print(f"    torch, both, {torch.get_num_threads()} threads{'':15s} backward() {format_seconds(seconds):>9s}  {2 * flops / seconds / 1e9:6.2f} GFLOP/s")


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


def quvarin_step(layers: tuple[int, ...], batch: int) -> Callable[[], None]:
    """Sigmoid layers; biases spread over the batch by ones[batch, 1] . b[1, out]."""
    inputs, targets = batch_data(layers, batch)
    x = quvarin.tensor(inputs.ravel().tolist(), list(inputs.shape))
    negated_targets = quvarin.tensor((-targets).ravel().tolist(), list(targets.shape))
    ones_column = quvarin.ones([batch, 1])
    parameters = [
        tuple(quvarin.tensor(m.ravel().tolist(), list(m.shape), requires_grad=True) for m in pair)
        for pair in initial_parameters(layers)
    ]

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


def torch_step(torch: ModuleType, layers: tuple[int, ...], batch: int) -> Callable[[], None]:
    inputs, targets = (torch.from_numpy(m) for m in batch_data(layers, batch))
    parameters = [tuple(torch.from_numpy(m).requires_grad_() for m in pair) for pair in initial_parameters(layers)]

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


def report_training_steps(torch: ModuleType | None) -> None:
    print("\n(b, c) one training step: forward, backward(), SGD update of every parameter")
    for label, (layers, batch) in zip("bc", STEP_MODELS):
        name = "-".join(map(str, layers)) + f" sigmoid MLP, batch {batch}"
        steps = {"quvarin": quvarin_step(layers, batch)}
        if torch is not None:
            steps["torch"] = torch_step(torch, layers, batch)
        seconds = interleaved_seconds_per_call(steps, repeats=9, min_repeat_seconds=0.2)
        line = f"({label}) {name:32s} quvarin {format_seconds(seconds['quvarin']):>9s}"
        if torch is not None:
            ratio = seconds["quvarin"] / seconds["torch"]
            line += f"  torch {format_seconds(seconds['torch']):>9s}  quvarin/torch {ratio:.2f}"
        print(line, flush=True)


def main() -> None:
    torch = import_torch()
    if torch is None:
        print("torch is not installed: quvarin's numbers only")
    report_matmul_backward(torch)
    report_training_steps(torch)


if __name__ == "__main__":
    main()
