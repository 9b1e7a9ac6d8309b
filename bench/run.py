"""quvarin's forward operations against NumPy and PyTorch, over sizes.

    python bench/run.py                    # the full curves, about five minutes
    python bench/run.py --quick            # up to 2^17 elements and 256x256
    python bench/run.py --plot curves.png  # also draw them
    python bench/run.py --kernel-report build/core-tests/quvarin-core/tests/quvarin_kernel_report \
        --backward-rates build/core-tests/quvarin-core/tests/quvarin_backward_rates

Time per element of +, *, relu, sigmoid and sum from 4 to 2^25 elements, and
matmul GFLOP/s from 8x8 to 4096x4096. Each library runs in a process of its
own (bench/processes.py) on the same float32 data; a ratio is quvarin's time
divided by the peer's: above 1 quvarin is slower, below 1 it is faster.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from backward_rates import backward_rate_lines
from blas_report import kernel_picks, kernel_report_lines
from machine import Cpu, this_cpu
from processes import (
    OPENBLAS_CORE_VARIABLES,
    Worker,
    compare,
    environment_without,
    format_seconds,
    openblas_core_is_set,
    started,
    torch_installed,
)
from workloads import ELEMENTWISE

ELEMENT_SIZES = [4] + [2**power for power in range(10, 26)]
MATMUL_SIDES = [2**power for power in range(3, 13)]
PEERS = ("numpy", "torch")
ROUNDS = 3
MIN_LOOP_SECONDS = 0.05
UNSET = " (core unset)"

Results = dict[str, dict[int, dict[str, float]]]  # operation -> size -> library label -> seconds per call


def measure_elementwise(workers: list[Worker], sizes: list[int]) -> Results:
    results: Results = {operation: {} for operation in ELEMENTWISE}
    quvarin = next(w for w in workers if w.library == "quvarin")
    before = quvarin.ask(rss=True)["bytes"]
    for size in sizes:  # size by size: the operations of one size share its operands
        print(f"  {size} elements ...", file=sys.stderr, flush=True)
        for operation in ELEMENTWISE:
            results[operation][size] = compare(workers, [operation, size], ROUNDS, MIN_LOOP_SECONDS)
    after = quvarin.ask(rss=True)["bytes"]
    print(
        f"quvarin's process: {before / 2**20:.0f} MiB resident before the first case, "
        f"{after / 2**20:.0f} MiB once the {sizes[-1]}-element operands and results were dropped\n"
    )
    return results


def measure_matmul(workers: list[Worker], sides: list[int]) -> dict[int, dict[str, float]]:
    results = {}
    for side in sides:
        print(f"  matmul {side}x{side} ...", file=sys.stderr, flush=True)
        results[side] = compare(workers, ["matmul", side], ROUNDS, MIN_LOOP_SECONDS)
    return results


def ratio(seconds: dict[str, float], peer: str) -> str:
    return f"{seconds['quvarin'] / seconds[peer]:.2f}" if peer in seconds else "-"


def print_elementwise(results: Results) -> None:
    print("Forward operations: ns per element (per call for quvarin too); /numpy and /torch are quvarin's time")
    print("divided by the peer's (below 1: quvarin is faster)")
    print(f"{'operation':9s} {'elements':>9s} {'per call':>10s} {'quvarin':>9s} {'numpy':>9s} {'torch':>9s} {'/numpy':>7s} {'/torch':>7s}")
    for operation, by_size in results.items():
        for size, seconds in by_size.items():
            per_element = [f"{seconds[lib] / size * 1e9:.3f}" if lib in seconds else "-" for lib in ("quvarin", *PEERS)]
            print(
                f"{operation:9s} {size:>9d} {format_seconds(seconds['quvarin']):>10s} "
                f"{per_element[0]:>9s} {per_element[1]:>9s} {per_element[2]:>9s} {ratio(seconds, 'numpy'):>7s} {ratio(seconds, 'torch'):>7s}"
            )


def print_matmul(results: dict[int, dict[str, float]], cpu: Cpu) -> None:
    labels = list(next(iter(results.values())))
    peak = cpu.peak_gflops
    print(f"\nmatmul GFLOP/s (2*n^3 flops per call){', percent of the measured peak' if peak else ''}; ratios of time as above")
    print(f"{'side':>10s} " + " ".join(f"{label:>20s}" for label in labels) + f" {'/numpy':>7s} {'/torch':>7s}")
    for side, seconds in results.items():
        cells = []
        for label in labels:
            rate = 2 * side**3 / seconds[label] / 1e9
            cells.append(f"{rate:7.1f} ({rate / peak:5.1%})" if peak else f"{rate:7.1f}")
        print(f"{f'{side}x{side}':>10s} " + " ".join(f"{cell:>20s}" for cell in cells)
              + f" {ratio(seconds, 'numpy'):>7s} {ratio(seconds, 'torch'):>7s}")
    if any(label.endswith(UNSET) for label in labels):
        print(f"  '{UNSET.strip()}': a process with {' and '.join(OPENBLAS_CORE_VARIABLES)} removed from its environment")


def print_sum_floor(results: Results, cpu: Cpu) -> None:
    if cpu.add_ns is None:
        return
    largest = max(results["sum"])
    per_element = results["sum"][largest]["quvarin"] / largest * 1e9
    print(
        f"\nsum adds its elements in order: {per_element:.3f} ns per element at {largest} elements, "
        f"where one add that waits for the previous takes {cpu.add_ns:.3f} ns = {cpu.add_ns * cpu.ghz:.1f} cycles at {cpu.ghz:.2f} GHz"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="only sizes up to 2^17 elements and 256x256")
    parser.add_argument("--plot", type=Path, help="draw the curves into this PNG file")
    parser.add_argument("--kernel-report", type=Path, help="the quvarin_kernel_report program, to print quvarin's kernel builds")
    parser.add_argument("--backward-rates", type=Path, help="the quvarin_backward_rates program, to time the backward products")
    args = parser.parse_args()
    sizes = [s for s in ELEMENT_SIZES if not args.quick or s <= 2**17]
    sides = [s for s in MATMUL_SIDES if not args.quick or s <= 256]

    cpu = this_cpu()  # before any worker starts, on idle cores
    picks = kernel_picks(args.kernel_report)
    backward = backward_rate_lines(args.backward_rates, picks["backward products"][0] if picks else None)
    libraries = ["quvarin", "numpy"] + (["torch"] if torch_installed() else [])
    workers = [Worker(library) for library in libraries]
    if openblas_core_is_set():
        unset = environment_without(OPENBLAS_CORE_VARIABLES)
        workers += [Worker(library, library + UNSET, unset) for library in ("quvarin", "numpy")]
    with started(*workers):
        print("Libraries, each timed in a process of its own:")
        for worker in workers:
            lines = worker.ask(describe=True)["lines"]
            if worker.label == worker.library:
                print("\n".join(f"  {line}" for line in lines))
            else:  # the same library in another environment: only its BLAS line differs
                print(f"  {worker.label}: {lines[0].removeprefix(worker.library + ': ')}")
        if "torch" not in libraries:
            print("  torch: not installed")
        print("\n".join(kernel_report_lines(picks)))
        print("Environment: " + "  ".join(f"{n}={os.environ.get(n, '(unset)')}" for n in (*OPENBLAS_CORE_VARIABLES, "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")))
        print(f"Load average over the last minute: {os.getloadavg()[0]:.2f} (other work on the CPUs skews the times)")
        print(f"\nCPU: {cpu.describe()}\n")
        print("\n".join(backward) + "\n", flush=True)

        plain = [w for w in workers if w.label == w.library]
        elementwise = measure_elementwise(plain, sizes)
        matmul = measure_matmul(workers, sides)
    print_elementwise(elementwise)
    print_matmul(matmul, cpu)
    print_sum_floor(elementwise, cpu)
    if args.plot:
        from plot import draw_curves

        draw_curves(elementwise, matmul, cpu, args.plot)
        print(f"\nCurves drawn in {args.plot}")


if __name__ == "__main__":
    main()
