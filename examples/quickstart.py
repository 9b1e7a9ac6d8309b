"""A first look at quvarin: creating tensors, reading them, one training loop.

From the clone, after make build (or make demo), which installs quvarin into .venv:

    .venv/bin/python examples/quickstart.py
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

import quvarin


def show(name: str, t: quvarin.Tensor) -> None:
    print(f"{name:8s} shape={t.shape} dtype={t.dtype} device={t.device} requires_grad={t.requires_grad}")


def create_and_read() -> None:
    print("-- creating and reading tensors")
    show("zeros", quvarin.zeros([2, 3]))
    show("int8", quvarin.zeros([4], dtype=quvarin.int8))  # storable, but not computable
    # Data is always given flat, with the shape beside it.
    m = quvarin.tensor([1, 2, 3, 4, 5, 6], [2, 3])
    show("m", m)
    print("m.data()          ", m.data())
    print("m.slice_rows(1)   ", m.slice_rows(1).data())
    print("m.relu().sum()    ", m.relu().sum().item())
    print("m + m             ", (m + m).data())
    print("m * m             ", (m * m).data())
    print("m . m^T           ", m.matmul(quvarin.tensor([1, 4, 2, 5, 3, 6], [3, 2])).data())
    try:
        m + quvarin.ones([3, 2])
    except ValueError as error:  # shapes must match exactly: no broadcasting
        print("m + ones([3, 2])   ValueError:", error)


def train(steps: int, lr: float) -> list[float]:
    """Lowers the sum of sigmoid(x . w) by moving w; returns the loss of each step."""
    print("-- training")
    x = quvarin.tensor([0.5, -1.0, 2.0, 1.5, 0.0, -0.5, 1.0, 1.0, 1.0, -2.0, 0.5, 0.25], [4, 3])
    w = quvarin.tensor([0.1, -0.2, 0.3], [3, 1], requires_grad=True)
    losses: list[float] = []
    for step in range(steps):
        # The operations on w are recorded on this thread's tape ...
        loss = x.matmul(w).sigmoid().sum()
        # ... backward() replays them in reverse and keeps the gradients ...
        loss.backward()
        # ... and apply_sgd_step(lr) performs w <- w - lr * d(loss)/dw, so this
        # step descends: the loss, the sum of the four sigmoids, falls.
        w.apply_sgd_step(lr)
        losses.append(loss.item())
        print(f"step {step}  loss {losses[-1]:.4f}  w {[round(v, 4) for v in w.data()]}")
    return losses


def main(argv: Sequence[str] | None = None) -> list[float]:
    parser = argparse.ArgumentParser(description="A first look at quvarin.")
    parser.add_argument("--steps", type=int, default=5)
    parser.add_argument("--lr", type=float, default=0.5)
    args = parser.parse_args(argv)
    create_and_read()
    return train(args.steps, args.lr)


if __name__ == "__main__":
    main()
