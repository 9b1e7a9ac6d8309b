"""The curves of bench/run.py as one PNG: ns per element of each forward operation, matmul GFLOP/s."""

from __future__ import annotations

import math
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

from machine import Cpu  # noqa: E402

COLOURS = {"quvarin": "tab:red", "numpy": "tab:blue", "torch": "tab:orange"}
SMALLEST_PLOTTED = 2**10  # below this a call's fixed cost, not the elements, sets the time


def draw_curves(
    elementwise: dict[str, dict[int, dict[str, float]]], matmul: dict[int, dict[str, float]], cpu: Cpu, path: Path
) -> None:
    figure, axes = plt.subplots(2, 3, figsize=(15, 8.5), layout="constrained")
    for axis, (operation, by_size) in zip(axes.flat, elementwise.items()):
        sizes = [size for size in by_size if size >= SMALLEST_PLOTTED]
        for label in by_size[sizes[0]]:
            axis.plot(sizes, [by_size[s][label] / s * 1e9 for s in sizes], marker="o", markersize=3, label=label, **_style(label))
        axis.set(xscale="log", yscale="log", title=operation, xlabel="elements", ylabel="ns per element (lower is better)")
        axis.set_xscale("log", base=2)
    axis = axes.flat[len(elementwise)]
    sides = list(matmul)
    for label in matmul[sides[0]]:
        axis.plot(sides, [2 * s**3 / matmul[s][label] / 1e9 for s in sides], marker="o", markersize=3, label=label, **_style(label))
    if cpu.peak_gflops:
        axis.axhline(cpu.peak_gflops, color="grey", linestyle=":", label="measured FMA peak")
    axis.set(xscale="log", yscale="log", title="matmul (n x n)", xlabel="n", ylabel="GFLOP/s (higher is better)")
    axis.set_xscale("log", base=2)
    plain = FuncFormatter(_one_two_five)
    for axis in axes.flat:
        axis.yaxis.set_major_formatter(plain)
        axis.yaxis.set_minor_formatter(plain)
        axis.grid(True, which="major", alpha=0.3)
        axis.legend(fontsize=8)
    figure.suptitle(f"quvarin, NumPy and PyTorch, each in its own process: {cpu.model}, {cpu.cores} cores")
    figure.savefig(path, dpi=90)


def _one_two_five(value: float, _position: object) -> str:
    """Plain numbers on a log axis, at 1, 2 and 5 times a power of ten only."""
    mantissa = value / 10 ** math.floor(math.log10(value))
    return f"{value:g}" if round(mantissa, 6) in (1, 2, 5) else ""


def _style(label: str) -> dict[str, object]:
    library = label.split()[0]
    return {"color": COLOURS.get(library, "grey"), "linestyle": "--" if library != label else "-"}
