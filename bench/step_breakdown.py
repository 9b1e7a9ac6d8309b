"""Where one training step's time goes, in a process of one library's own.

    python bench/step_breakdown.py quvarin|torch 4096 2048 10 --batch 128

Runs the step of bench/workloads.py with a clock around each phase and prints
one JSON object: the best time of each phase over the steps, in seconds, and
the page faults per step (getrusage's minor faults: each one maps and zeroes
a page). For quvarin it also times the backward of x.matmul(W1).sum(), which
is the first layer's weight-gradient product and next to nothing else.
"""

from __future__ import annotations

import argparse
import json
import resource
import time
from collections.abc import Callable

import workloads

STEPS = 10


def faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


# When the step started, its seconds in forward products, when backward() and the update started, when it ended.
Stamps = tuple[float, float, float, float, float]


def quvarin_step(layers: tuple[int, ...], batch: int) -> tuple[Callable[[], Stamps], Callable[[], float]]:
    """The step, and the backward of x.matmul(W1).sum() alone."""
    x, negated_targets, parameters = workloads.model("quvarin", layers, batch)
    ones_column = workloads.module("quvarin").ones([batch, 1])

    def step() -> Stamps:
        start = time.perf_counter()
        products = 0.0
        h = x
        for weights, bias in parameters:
            before = time.perf_counter()
            product, spread_bias = h.matmul(weights), ones_column.matmul(bias)
            products += time.perf_counter() - before
            h = (product + spread_bias).sigmoid()
        error = h + negated_targets
        loss = (error * error).sum()
        backward_start = time.perf_counter()
        loss.backward()
        update_start = time.perf_counter()
        for pair in parameters:
            for parameter in pair:
                parameter.apply_sgd_step(workloads.LEARNING_RATE)
        return start, products, backward_start, update_start, time.perf_counter()

    def first_weight_gradient() -> float:
        loss = x.matmul(parameters[0][0]).sum()
        start = time.perf_counter()
        loss.backward()
        return time.perf_counter() - start

    return step, first_weight_gradient


def torch_step(layers: tuple[int, ...], batch: int) -> Callable[[], Stamps]:
    torch = workloads.module("torch")
    inputs, targets, parameters = workloads.model("torch", layers, batch)

    def step() -> Stamps:
        start = time.perf_counter()
        products = 0.0
        h = inputs
        for weights, bias in parameters:
            before = time.perf_counter()
            product = h @ weights
            products += time.perf_counter() - before
            h = torch.sigmoid(product + bias)
        loss = ((h - targets) ** 2).sum()
        backward_start = time.perf_counter()
        loss.backward()
        update_start = time.perf_counter()
        with torch.no_grad():
            for pair in parameters:
                for parameter in pair:
                    parameter -= workloads.LEARNING_RATE * parameter.grad
                    parameter.grad = None
        return start, products, backward_start, update_start, time.perf_counter()

    return step


def phases(step: Callable[[], Stamps]) -> tuple[dict[str, float], int]:
    """Seconds of each phase of one step, and the step's page faults."""
    faults_before = faults()
    start, products, backward_start, update_start, end = step()
    spent = {
        "forward products": products,
        "forward, the rest": backward_start - start - products,
        "backward()": update_start - backward_start,
        "SGD update": end - update_start,
        "whole step": end - start,
    }
    return spent, faults() - faults_before


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("library", choices=["quvarin", "torch"])
    parser.add_argument("layers", type=int, nargs="+")
    parser.add_argument("--batch", type=int, required=True)
    args = parser.parse_args()
    layers = tuple(args.layers)
    first_weight_gradient = None
    if args.library == "quvarin":
        step, first_weight_gradient = quvarin_step(layers, args.batch)
    else:
        step = torch_step(layers, args.batch)
    step()  # the first step starts the pools and picks the kernels
    best: dict[str, float] = {}
    page_faults = 0
    for _ in range(STEPS):
        spent, step_faults = phases(step)
        page_faults += step_faults
        if first_weight_gradient is not None:
            spent["backward: the dW1 product alone"] = first_weight_gradient()
        for phase, seconds in spent.items():
            best[phase] = min(best.get(phase, seconds), seconds)
    print(json.dumps({"seconds": best, "page faults per step": page_faults / STEPS}))

if __name__ == "__main__":
    main()
