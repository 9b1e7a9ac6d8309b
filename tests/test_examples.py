"""The examples run end to end at reduced size and do what they claim."""

import sys
from collections import Counter
from pathlib import Path

import pytest

from conftest import SHAPE_MISMATCH

import quvarin

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import data_loader  # noqa: E402
import linear_regression  # noqa: E402
import quickstart  # noqa: E402
import train_digits  # noqa: E402


def indexed_rows(rows: int, width: int = 3) -> quvarin.Tensor:
    """Row i holds i, i + 0.25, i + 0.5, ... so each row names itself."""
    return quvarin.tensor([i + 0.25 * j for i in range(rows) for j in range(width)], [rows, width])


def row_ids(batch: quvarin.Tensor) -> list[int]:
    width = batch.shape[1]
    return [int(v) for v in batch.data()[::width]]


class TestDataLoader:
    def test_every_row_once_per_epoch_in_a_new_shuffled_order(self):
        loader = data_loader.DataLoader([indexed_rows(50)], batch_size=8, seed=1)
        orders = []
        for _ in range(3):
            order = [i for (batch,) in loader for i in row_ids(batch)]
            assert sorted(order) == list(range(50))
            orders.append(order)
        assert orders[0] != list(range(50))
        assert len({tuple(o) for o in orders}) == 3

    def test_batch_shapes_and_short_last_batch(self):
        loader = data_loader.DataLoader([indexed_rows(10, width=4)], batch_size=4, seed=0)
        shapes = [batch.shape for (batch,) in loader]
        assert shapes == [[4, 4], [4, 4], [2, 4]]
        assert len(loader) == 3
        flat = data_loader.DataLoader([quvarin.tensor([0, 1, 2, 3, 4], [5])], batch_size=2)
        assert [batch.shape for (batch,) in flat] == [[2], [2], [1]]

    def test_rows_are_copied_whole_and_fields_stay_aligned(self):
        features = indexed_rows(12, width=3)
        targets = quvarin.tensor([-float(i) for i in range(12)], [12, 1])
        for batch_features, batch_targets in data_loader.DataLoader([features, targets], 5, seed=3):
            values = batch_features.data()
            ids = row_ids(batch_features)
            assert values == [i + 0.25 * j for i in ids for j in range(3)]
            assert batch_targets.data() == [-float(i) for i in ids]

    def test_same_seed_same_order(self):
        def first_epoch(seed):
            return [row_ids(b) for (b,) in data_loader.DataLoader([indexed_rows(20)], 6, seed=seed)]

        assert first_epoch(7) == first_epoch(7)
        assert first_epoch(7) != first_epoch(8)

    def test_batches_are_plain_data_even_from_a_parameter(self):
        source = quvarin.tensor([1.0, 2.0, 3.0, 4.0], [2, 2], requires_grad=True)
        (batch,) = next(iter(data_loader.DataLoader([source], 2)))
        assert not batch.requires_grad

    @pytest.mark.parametrize(
        "tensors, batch_size",
        [([], 2), ([indexed_rows(3), indexed_rows(4)], 2), ([indexed_rows(3)], 0)],
    )
    def test_rejects_bad_arguments(self, tensors, batch_size):
        with pytest.raises(ValueError):
            data_loader.DataLoader(tensors, batch_size)

    def test_main_prints_each_epoch(self, capsys):
        batches = data_loader.main(["--rows", "7", "--batch-size", "3", "--epochs", "2"])
        assert Counter(i for batch in batches for i in batch) == Counter(range(7))
        assert capsys.readouterr().out.count("epoch") == 2


def test_quickstart_loss_falls(capsys):
    losses = quickstart.main(["--steps", "4"])
    assert len(losses) == 4
    assert all(later < earlier for earlier, later in zip(losses, losses[1:]))
    out = capsys.readouterr().out
    assert "dtype=int8" in out
    assert SHAPE_MISMATCH.format([2, 3], [3, 2]) in out


def test_linear_regression_recovers_the_weights(capsys):
    fit = linear_regression.main(["--samples", "200", "--steps", "60"])
    assert fit.weights == pytest.approx(linear_regression.TRUE_WEIGHTS, abs=0.05)
    assert fit.bias == pytest.approx(linear_regression.TRUE_BIAS, abs=0.05)
    assert fit.losses[-1] < 0.05 < fit.losses[0]
    assert "learned" in capsys.readouterr().out


class TestTrainDigits:
    def test_short_run_learns(self, capsys):
        history = train_digits.main(["--epochs", "3", "--hidden", "16"])
        assert history.losses[-1] < history.losses[0]
        assert history.test_accuracy[-1] > 0.75
        assert capsys.readouterr().out.count("/3  loss") == 3

    def test_splits_are_disjoint_and_labelled(self):
        train, test = train_digits.load_splits(test_fraction=0.2, seed=0)
        assert train.features.shape == [1438, 65]
        assert test.features.shape == [359, 65]
        # The bias column is the constant 1, the pixels are scaled into [0, 1].
        first = test.features.slice_rows(0).data()
        assert first[-1] == 1.0 and all(0.0 <= v <= 1.0 for v in first)
        target = test.negated_targets.slice_rows(0).data()
        assert target.index(-1.0) == test.labels[0] and sum(target) == -1.0
        # The 1797 images are all distinct, so a shared row would be a leak.
        train_rows = {tuple(train.features.slice_rows(i).data()) for i in range(1438)}
        assert not any(tuple(test.features.slice_rows(i).data()) in train_rows for i in range(359))

    def test_evaluation_between_steps_leaves_training_intact(self):
        """Accuracy passes run on frozen copies, so they record nothing."""
        train, _ = train_digits.load_splits(test_fraction=0.2, seed=0)
        model = train_digits.Mlp.initialised(hidden=8, seed=0)
        train_digits.accuracy(model.frozen(), train)
        loss = train_digits.squared_error(model.forward(train.features), train.negated_targets)
        loss.backward()  # would fail on nodes left by the evaluation
        before = model.output_bias.data()
        model.output_bias.apply_sgd_step(0.01)
        assert model.output_bias.data() != before

    def test_plot_writes_a_png(self, tmp_path):
        path = tmp_path / "curves.png"
        train_digits.main(["--epochs", "1", "--hidden", "8", "--plot", str(path)])
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    @pytest.mark.parametrize("missing, argv, advice", [
        ("sklearn", [], "pip install scikit-learn"),
        ("matplotlib", ["--plot", "curves.png"], "--plot needs matplotlib: pip install matplotlib"),
    ])
    def test_a_missing_package_fails_before_training(self, monkeypatch, capsys, missing, argv, advice):
        monkeypatch.setitem(sys.modules, missing, None)  # what an import finds when it is not installed
        monkeypatch.setattr(train_digits, "train", lambda args: pytest.fail("trained before failing"))
        with pytest.raises(SystemExit):
            train_digits.main(argv)
        assert advice in capsys.readouterr().err
