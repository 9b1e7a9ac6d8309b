"""quvarin's backward pass and training steps, against PyTorch autograd.

    python bench/autograd.py

Every library runs in a process of its own (bench/processes.py).
(a) The matrix-product backward at 512x512: its GFLOP/s per product, compared
    with the forward product on one OpenBLAS thread (the backward runs on the
    calling thread alone).
(b, c, d) One training step of sigmoid MLPs, 784-128-10 with batch 64, 4-8-1
    with batch 4 and 4096-2048-10 with batch 128: forward, backward and a plain
    SGD update of every parameter.
(e) Where the 784-128-10 and 4096-2048-10 steps' time goes (bench/step_breakdown.py).
(f) The forward products of the 784-128-10 step (64x784 by 784x128, and
    64x128 by 128x10) and 128x784 by 784x128, with OpenBLAS's threads and one.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

from processes import Worker, compare, format_seconds, started, torch_installed

MATMUL_SIDE = 512
FORWARD_SHAPES = [[64, 784, 128], [128, 784, 128], [64, 128, 10]]
STEP_MODELS = [((784, 128, 10), 64), ((4, 8, 1), 4), ((4096, 2048, 10), 128)]
BROKEN_DOWN = [STEP_MODELS[0], STEP_MODELS[2]]
# As bench/step_breakdown.py names them; the dW1 product is timed on its own, outside the step.
PHASES = ("forward products", "forward, the rest", "backward()", "backward: the dW1 product alone", "SGD update", "whole step")
ROUNDS = 5
MIN_LOOP_SECONDS = 0.2


def report_matmul_backward(quvarin: Worker, torch: Worker | None) -> None:
    side = MATMUL_SIDE
    flops = 2 * side**3
    with started(Worker("quvarin", "quvarin, 1 thread", dict(os.environ, OPENBLAS_NUM_THREADS="1"))) as (one_thread,):
        forward = flops / compare([one_thread], ["matmul", side], ROUNDS, MIN_LOOP_SECONDS)[one_thread.label] / 1e9
    print(f"(a) MatMulBackward, loss = A.matmul(B).sum() with A, B of {side}x{side}; {flops / 1e6:.0f} MFLOP per product")
    print(f"    forward matmul on 1 OpenBLAS thread: {forward:.1f} GFLOP/s")
    for label, which, products in (
        ("dA = g.B^T (only A requires grad)", "dA", 1),
        ("dB = A^T.g (only B requires grad)", "dB", 1),
        ("both", "both", 2),
    ):
        workers = [quvarin] + ([torch] if torch and which == "both" else [])
        seconds = compare(workers, ["matmul_backward", side, which], ROUNDS, MIN_LOOP_SECONDS)
        rate = products * flops / seconds["quvarin"] / 1e9
        print(f"    {label:36s} backward() {format_seconds(seconds['quvarin']):>9s}  {rate:6.2f} GFLOP/s  = {rate / forward:.3f} x forward")
        if "torch" in seconds:
            print(f"    torch, both{'':25s} backward() {format_seconds(seconds['torch']):>9s}  {2 * flops / seconds['torch'] / 1e9:6.2f} GFLOP/s")


def report_forward_products(quvarin: Worker, one_thread: Worker, torch: Worker | None) -> None:
    print("\n(f) forward products (m x k by k x n), each library on its own threads; ratios of time")
    workers = [quvarin, one_thread] + ([torch] if torch else [])
    for shape in FORWARD_SHAPES:
        seconds = compare(workers, ["matmul", shape], ROUNDS, MIN_LOOP_SECONDS)
        line = f"    {'x'.join(map(str, shape)):14s} quvarin {format_seconds(seconds['quvarin']):>9s}"
        line += f"  on 1 OpenBLAS thread {format_seconds(seconds[one_thread.label]):>9s}"
        if "torch" in seconds:
            line += f"  torch {format_seconds(seconds['torch']):>9s}  quvarin/torch {seconds['quvarin'] / seconds['torch']:.2f}"
        print(line, flush=True)


def report_training_steps(quvarin: Worker, torch: Worker | None) -> None:
    print("\n(b, c, d) one training step: forward, backward(), SGD update of every parameter")
    workers = [quvarin] + ([torch] if torch else [])
    for label, (layers, batch) in zip("bcd", STEP_MODELS):
        name = "-".join(map(str, layers)) + f" sigmoid MLP, batch {batch}"
        seconds = compare(workers, ["step", list(layers), batch], ROUNDS, MIN_LOOP_SECONDS)
        line = f"({label}) {name:36s} quvarin {format_seconds(seconds['quvarin']):>9s}"
        if "torch" in seconds:
            line += f"  torch {format_seconds(seconds['torch']):>9s}  quvarin/torch {seconds['quvarin'] / seconds['torch']:.2f}"
        print(line, flush=True)


def step_breakdown(library: str, layers: tuple[int, ...], batch: int) -> dict:
    script = Path(__file__).with_name("step_breakdown.py")
    output = subprocess.run(
        [sys.executable, str(script), library, *map(str, layers), "--batch", str(batch)],
        capture_output=True, text=True, check=True,
    ).stdout
    result: dict = json.loads(output)
    return result


def report_step_breakdown(libraries: list[str], layers: tuple[int, ...], batch: int) -> None:
    print(f"\n(e) where the {'-'.join(map(str, layers))} step's time goes (batch {batch}): best of 10 steps for each phase, each library in its own process")
    breakdowns = {library: step_breakdown(library, layers, batch) for library in libraries}
    print(f"    {'':34s}" + "".join(f"{library:>12s}" for library in libraries))
    for phase in PHASES:
        cells = [breakdowns[library]["seconds"].get(phase) for library in libraries]
        print(f"    {phase:34s}" + "".join(f"{format_seconds(c) if c is not None else '-':>12s}" for c in cells))
    print(f"    {'page faults per step':34s}" + "".join(f"{breakdowns[library]['page faults per step']:>12.0f}" for library in libraries))


def main() -> None:
    libraries = ["quvarin"] + (["torch"] if torch_installed() else [])
    if "torch" not in libraries:
        print("torch is not installed: quvarin's numbers only")
    with started(*(Worker(library) for library in libraries)) as workers:
        quvarin, torch = workers[0], (workers[1] if len(workers) > 1 else None)
        report_matmul_backward(quvarin, torch)
        report_training_steps(quvarin, torch)
        with started(Worker("quvarin", "quvarin, 1 thread", dict(os.environ, OPENBLAS_NUM_THREADS="1"))) as (one_thread,):
            report_forward_products(quvarin, one_thread, torch)
    for layers, batch in BROKEN_DOWN:
        report_step_breakdown(libraries, layers, batch)


if __name__ == "__main__":
    main()
