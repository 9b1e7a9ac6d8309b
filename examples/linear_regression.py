"""Fits y = X.w + b by gradient descent on generated data.

The data comes from known weights plus a little noise, so the learned weights
can be compared with the true ones.

From the clone, after make build (or make demo), which installs quvarin into .venv:

    .venv/bin/python examples/linear_regression.py
"""

from __future__ import annotations

import argparse
import random
from collections.abc import Sequence
from dataclasses import dataclass

import quvarin

TRUE_WEIGHTS = [2.0, -3.0, 0.5]
TRUE_BIAS = 1.0


@dataclass
class Fit:
    weights: list[float]
    bias: float
    losses: list[float]  # mean squared error before each step


def generate(samples: int, noise: float, seed: int) -> tuple[quvarin.Tensor, quvarin.Tensor]:
    """Features [samples, 3] and the negated targets -y [samples, 1]."""
    rng = random.Random(seed)
    features: list[float] = []
    negated_targets: list[float] = []
    for _ in range(samples):
        x = [rng.gauss(0.0, 1.0) for _ in TRUE_WEIGHTS]
        y = sum(w * v for w, v in zip(TRUE_WEIGHTS, x)) + TRUE_BIAS + rng.gauss(0.0, noise)
        features.extend(x)
        # Negated once here: with no subtraction, the residual
        # prediction - y is computed as prediction + (-y).
        negated_targets.append(-y)
    return (
        quvarin.tensor(features, [samples, len(TRUE_WEIGHTS)]),
        quvarin.tensor(negated_targets, [samples, 1]),
    )


def fit(features: quvarin.Tensor, negated_targets: quvarin.Tensor, steps: int, lr: float) -> Fit:
    samples = features.shape[0]
    weights = quvarin.zeros([len(TRUE_WEIGHTS), 1], requires_grad=True)
    bias = quvarin.zeros([1, 1], requires_grad=True)
    # Without broadcasting, the bias is spread over the rows by a matrix
    # product: ones [samples, 1] . bias [1, 1] is a column of copies of b.
    ones_column = quvarin.ones([samples, 1])
    losses: list[float] = []
    for _ in range(steps):
        residual = features.matmul(weights) + ones_column.matmul(bias) + negated_targets
        loss = (residual * residual).sum()
        loss.backward()
        # The loss sums over the samples; dividing by their number keeps the
        # step size independent of how many there are.
        weights.apply_sgd_step(lr / samples)
        bias.apply_sgd_step(lr / samples)
        losses.append(loss.item() / samples)
    return Fit(weights.data(), bias.item(), losses)


def main(argv: Sequence[str] | None = None) -> Fit:
    parser = argparse.ArgumentParser(description="Fit a linear model with quvarin.")
    parser.add_argument("--samples", type=int, default=500)
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--lr", type=float, default=0.1)
    parser.add_argument("--noise", type=float, default=0.1)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    features, negated_targets = generate(args.samples, args.noise, args.seed)
    result = fit(features, negated_targets, args.steps, args.lr)
    for step in range(0, args.steps, max(1, args.steps // 5)):
        print(f"step {step:4d}  mean squared error {result.losses[step]:.5f}")
    print("weight    learned      true")
    for i, (learned, true) in enumerate(zip(result.weights, TRUE_WEIGHTS)):
        print(f"{f'w{i}':6s} {learned:10.4f} {true:9.4f}")
    print(f"{'b':6s} {result.bias:10.4f} {TRUE_BIAS:9.4f}")
    return result


if __name__ == "__main__":
    main()
