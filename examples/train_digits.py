"""Trains a small neural network to read handwritten digits, with quvarin alone.

The data is scikit-learn's bundled `load_digits()` (1797 images of 8x8 pixels,
no download). The network is a multilayer perceptron

    64 pixels + 1 -> hidden units (ReLU) -> 10 outputs (sigmoid)

trained by mini-batch gradient descent on a squared-error, one-vs-rest loss:
output c should be 1 for images of digit c and 0 otherwise, and the predicted
digit is the output with the largest value.

quvarin is deliberately small: no subtraction, no broadcasting, no softmax, no
indexing. The comments below show how a model is written within those limits.

From the clone, after make build (or make demo), which installs quvarin into .venv:

    .venv/bin/python examples/train_digits.py                 # about 30 epochs
    .venv/bin/python examples/train_digits.py --plot digits.png

It needs scikit-learn, and --plot needs matplotlib; make build installs both
into .venv.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import random
import time
from collections.abc import Sequence
from dataclasses import dataclass, field

import quvarin
from data_loader import DataLoader

PIXELS = 64
CLASSES = 10


@dataclass
class Split:
    """One part of the dataset, each field holding one row per image."""

    # [rows, 65]: the 64 pixels scaled to [0, 1], then a constant 1. Through the
    # constant, the last row of the first weight matrix acts as the bias of the
    # hidden layer: x . W + b needs no broadcasting when x ends in a 1.
    features: quvarin.Tensor
    # [rows, 10]: -1 at the image's digit, 0 elsewhere. There is no
    # subtraction, so the error output - target is computed as
    # output + (-target); the targets are negated once, here. (A tensor that
    # is itself computed would be negated as t * minus_ones.)
    negated_targets: quvarin.Tensor
    labels: list[int]


def load_splits(test_fraction: float, seed: int) -> tuple[Split, Split]:
    """The training and the held-out test split, drawn with a fixed seed."""
    from sklearn.datasets import load_digits  # type: ignore[import-untyped]

    digits = load_digits()
    images: list[list[float]] = digits.data.tolist()
    labels: list[int] = digits.target.tolist()
    order = list(range(len(labels)))
    random.Random(seed).shuffle(order)
    test_rows = round(len(order) * test_fraction)
    return make_split(images, labels, order[test_rows:]), make_split(images, labels, order[:test_rows])


def make_split(images: list[list[float]], labels: list[int], rows: list[int]) -> Split:
    features: list[float] = []
    negated_targets: list[float] = []
    for row in rows:
        features.extend(pixel / 16.0 for pixel in images[row])
        features.append(1.0)
        negated_targets.extend(-1.0 if digit == labels[row] else 0.0 for digit in range(CLASSES))
    return Split(
        features=quvarin.tensor(features, [len(rows), PIXELS + 1]),
        negated_targets=quvarin.tensor(negated_targets, [len(rows), CLASSES]),
        labels=[labels[row] for row in rows],
    )


@dataclass
class Mlp:
    hidden_weights: quvarin.Tensor  # [65, hidden]; the last row is the hidden bias
    output_weights: quvarin.Tensor  # [hidden, 10]
    output_bias: quvarin.Tensor  # [1, 10]

    @classmethod
    def initialised(cls, hidden: int, seed: int) -> Mlp:
        rng = random.Random(seed)

        def gaussian(rows: int, columns: int, std: float) -> quvarin.Tensor:
            values = [rng.gauss(0.0, std) for _ in range(rows * columns)]
            return quvarin.tensor(values, [rows, columns], requires_grad=True)

        return cls(
            hidden_weights=gaussian(PIXELS + 1, hidden, math.sqrt(2.0 / (PIXELS + 1))),
            output_weights=gaussian(hidden, CLASSES, math.sqrt(1.0 / hidden)),
            output_bias=quvarin.zeros([1, CLASSES], requires_grad=True),
        )

    def parameters(self) -> list[quvarin.Tensor]:
        return [self.hidden_weights, self.output_weights, self.output_bias]

    def frozen(self) -> Mlp:
        """A copy whose parameters do not require gradients, for evaluation.

        Every operation on a tensor that requires gradients is recorded on the
        thread's tape, and the next backward() runs every recorded node: one
        whose result does not lead to that loss makes backward() fail. A
        forward pass through these copies records nothing, so evaluating
        between training steps leaves the tape to the training steps alone.
        """
        return Mlp(*(quvarin.tensor(p.data(), p.shape) for p in self.parameters()))

    def forward(self, features: quvarin.Tensor) -> quvarin.Tensor:
        """Outputs in (0, 1), shape [rows, 10]."""
        hidden = features.matmul(self.hidden_weights).relu()
        # The hidden activations are computed, so no column of ones can be
        # appended to them. The bias row is broadcast over the rows by a
        # matrix product instead: ones [rows, 1] . bias [1, 10] repeats it.
        ones_column = quvarin.ones([features.shape[0], 1])
        return (hidden.matmul(self.output_weights) + ones_column.matmul(self.output_bias)).sigmoid()


def squared_error(outputs: quvarin.Tensor, negated_targets: quvarin.Tensor) -> quvarin.Tensor:
    """Sum over the batch of the squared output errors, shape [1]."""
    error = outputs + negated_targets
    return (error * error).sum()


def accuracy(model: Mlp, split: Split) -> float:
    outputs = model.forward(split.features).data()
    correct = 0
    for row, label in enumerate(split.labels):
        scores = outputs[row * CLASSES : (row + 1) * CLASSES]
        if scores.index(max(scores)) == label:
            correct += 1
    return correct / len(split.labels)


@dataclass
class History:
    losses: list[float] = field(default_factory=list)  # mean loss per image, per epoch
    train_accuracy: list[float] = field(default_factory=list)
    test_accuracy: list[float] = field(default_factory=list)
    seconds: float = 0.0


def train(args: argparse.Namespace) -> History:
    train_split, test_split = load_splits(args.test_fraction, args.seed)
    model = Mlp.initialised(args.hidden, args.seed)
    loader = DataLoader([train_split.features, train_split.negated_targets], args.batch_size, args.seed)
    rows = len(train_split.labels)
    # The loss adds up the errors of a batch, so its gradient grows with the
    # batch; dividing the rate by the batch size keeps --lr per image.
    step = args.lr / args.batch_size
    history = History()
    start = time.perf_counter()
    for epoch in range(1, args.epochs + 1):
        total = 0.0
        for features, negated_targets in loader:
            loss = squared_error(model.forward(features), negated_targets)
            loss.backward()  # consumes everything this step recorded
            for parameter in model.parameters():
                parameter.apply_sgd_step(step)
            total += loss.item()
        evaluated = model.frozen()
        history.losses.append(total / rows)
        history.train_accuracy.append(accuracy(evaluated, train_split))
        history.test_accuracy.append(accuracy(evaluated, test_split))
        history.seconds = time.perf_counter() - start
        print(
            f"epoch {epoch:3d}/{args.epochs}  loss {history.losses[-1]:.4f}  "
            f"train {history.train_accuracy[-1]:7.2%}  test {history.test_accuracy[-1]:7.2%}  "
            f"{history.seconds:6.2f}s",
            flush=True,
        )
    return history


def plot_history(history: History, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = range(1, len(history.losses) + 1)
    figure, (loss_axes, accuracy_axes) = plt.subplots(1, 2, figsize=(10, 4))
    loss_axes.plot(epochs, history.losses)
    loss_axes.set(title="training loss", xlabel="epoch", ylabel="squared error per image")
    accuracy_axes.plot(epochs, history.train_accuracy, label="train")
    accuracy_axes.plot(epochs, history.test_accuracy, label="test")
    accuracy_axes.set(title="accuracy", xlabel="epoch", ylim=(0.0, 1.0))
    accuracy_axes.legend()
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def main(argv: Sequence[str] | None = None) -> History:
    parser = argparse.ArgumentParser(description="Train a digit classifier with quvarin.")
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--hidden", type=int, default=64, help="hidden units")
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--lr", type=float, default=1.0, help="learning rate per image")
    parser.add_argument("--test-fraction", type=float, default=0.2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", metavar="FILE.png", help="write loss and accuracy curves")
    args = parser.parse_args(argv)
    # Found out now rather than after the whole training run.
    if importlib.util.find_spec("sklearn") is None:
        parser.error("the digits data set comes with scikit-learn: pip install scikit-learn")
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        parser.error("--plot needs matplotlib: pip install matplotlib")

    history = train(args)
    print(f"test accuracy {history.test_accuracy[-1]:.2%} after {args.epochs} epochs in {history.seconds:.1f}s")
    if args.plot:
        plot_history(history, args.plot)
        print(f"curves written to {args.plot}")
    return history


if __name__ == "__main__":
    main()
