"""quvarin's backward products against their ceiling: every build, on one core.

The backward products round each product before adding it, so their ceiling is
the rate of separately rounded multiplies and adds that bench/machine.py
measures, not the FMA peak: the same on Zen 4, whose add pipes are separate,
and half of it on a core whose two FMA pipes do both.
"""

from __future__ import annotations

import subprocess
from pathlib import Path

from machine import one_core_unfused_gflops


def backward_rate_lines(program: Path | None, picked: str | None) -> list[str]:
    """Lines from quvarin_backward_rates (built with the C++ tests), each rate with its fraction of the ceiling.

    The ceiling is measured on one core just before and after the products
    (the best of the two), since neighbours' work moves both.
    """
    if program is None or not program.exists():
        return ["Backward products: not measured (build quvarin_backward_rates, as make bench does)"]
    before = one_core_unfused_gflops()
    output = subprocess.run([str(program)], capture_output=True, text=True, check=True).stdout
    after = one_core_unfused_gflops()
    rates: dict[str, dict[str, float]] = {}
    for line in output.splitlines():
        build, shape, gflops = line.split("\t")
        rates.setdefault(shape, {})[build] = float(gflops)
    ceiling = max(before, after) if before and after else None
    builds = list(next(iter(rates.values())))
    header = "Backward products on one core, GFLOP/s"
    header += (
        f" (fraction of the ceiling, {ceiling:.1f} GFLOP/s of separately rounded multiplies and adds on one core)"
        if ceiling
        else " (no ceiling measured)"
    )
    lines = [header + (f"; * the build a process picks here" if picked else "") + ":"]
    width = max(len(build) for build in builds) + 14
    lines.append(f"  {'':56s}" + "".join(f"{build + (' *' if build == picked else ''):>{width}s}" for build in builds))
    for shape, by_build in rates.items():
        cells = [f"{rate:6.1f} ({rate / ceiling:4.2f})" if ceiling else f"{rate:6.1f}" for rate in by_build.values()]
        lines.append(f"  {shape:56s}" + "".join(f"{cell:>{width}s}" for cell in cells))
    return lines
