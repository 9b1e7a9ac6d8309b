"""Shuffled mini-batches built from row copies of quvarin tensors.

quvarin has no indexing and no gather operation: `slice_rows(i)` is the one way
to take a row out of a tensor. The loader keeps the dataset as it is (one
tensor per field, rows along the first dimension), draws a new row order every
epoch and assembles each batch from the copied rows. Nothing but those row
copies is made, so an epoch never holds a second copy of the dataset.

Run it to see the batches of a tiny dataset, from the clone after make build
(or make demo), which installs quvarin into .venv:

    .venv/bin/python examples/data_loader.py
"""

from __future__ import annotations

import argparse
import random
from collections.abc import Iterator, Sequence

import quvarin


class DataLoader:
    """Iterates over aligned tensors in shuffled batches of rows.

    Row i of every tensor belongs to sample i, so the tensors must share their
    first dimension. Each epoch (each `iter()`) yields every row exactly once;
    the last batch is smaller when the batch size does not divide the rows.
    """

    def __init__(self, tensors: Sequence[quvarin.Tensor], batch_size: int, seed: int = 0) -> None:
        if not tensors:
            raise ValueError("DataLoader needs at least one tensor")
        if batch_size < 1:
            raise ValueError(f"batch_size must be positive, got {batch_size}")
        rows = {t.shape[0] if t.shape else 0 for t in tensors}
        if len(rows) != 1 or 0 in rows:
            raise ValueError("tensors must have the same, non-zero number of rows")
        self._tensors = list(tensors)
        self._rows = rows.pop()
        self._batch_size = batch_size
        self._random = random.Random(seed)

    def __len__(self) -> int:
        return -(-self._rows // self._batch_size)

    def __iter__(self) -> Iterator[tuple[quvarin.Tensor, ...]]:
        order = list(range(self._rows))
        self._random.shuffle(order)
        for start in range(0, self._rows, self._batch_size):
            indices = order[start : start + self._batch_size]
            yield tuple(gather_rows(t, indices) for t in self._tensors)


def gather_rows(source: quvarin.Tensor, indices: Sequence[int]) -> quvarin.Tensor:
    """A new tensor of shape [len(indices), *row shape] holding the chosen rows.

    The batch is input data: it never requires gradients, whatever the source.
    """
    values: list[float] = []
    for index in indices:
        values.extend(source.slice_rows(index).data())
    return quvarin.tensor(values, [len(indices), *source.shape[1:]])


def main(argv: Sequence[str] | None = None) -> list[list[int]]:
    """Prints the batches of a dataset whose rows hold their own index.

    Returns the row indices of each batch of the last epoch.
    """
    parser = argparse.ArgumentParser(description="Show the shuffled batches of a tiny dataset.")
    parser.add_argument("--rows", type=int, default=10)
    parser.add_argument("--batch-size", type=int, default=4)
    parser.add_argument("--epochs", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    # Row i is [i, 10 * i], so each batch shows which rows it took.
    features = quvarin.tensor([v for i in range(args.rows) for v in (i, 10 * i)], [args.rows, 2])
    loader = DataLoader([features], batch_size=args.batch_size, seed=args.seed)
    batches: list[list[int]] = []
    for epoch in range(1, args.epochs + 1):
        batches = []
        for (batch,) in loader:
            batches.append([int(v) for v in batch.data()[::2]])
        print(f"epoch {epoch}: {len(loader)} batches, rows {batches}")
    return batches


if __name__ == "__main__":
    main()
