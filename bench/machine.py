"""What this CPU can do at best, for judging the measured rates."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

# AMD Zen 4 has two 256-bit FMA pipes and runs a 512-bit FMA as two halves,
# so per core and cycle: 2 pipes x 8 floats x 2 flops (multiply and add).
FLOPS_PER_CYCLE = 2 * 8 * 2
PEAK_ASSUMPTION = "2 FMA pipes x 8 float32 lanes x 2 flops per cycle and core (Zen 4)"
# A single-precision add on Zen 4 takes 3 cycles before its result can be
# added to again. Timing a chain of such adds therefore gives the clock the
# core really runs at, which a virtual machine's /proc/cpuinfo does not.
ADD_LATENCY_CYCLES = 3
ADD_CHAIN_SOURCE = Path(__file__).with_name("add_chain.c")


@dataclass
class Cpu:
    model: str
    cores: int
    nominal_ghz: float  # as /proc/cpuinfo reports it
    add_ns: float | None  # measured latency of one dependent float add

    @property
    def ghz(self) -> float:
        return ADD_LATENCY_CYCLES / self.add_ns if self.add_ns else self.nominal_ghz

    @property
    def peak_gflops(self) -> float:
        return self.cores * self.ghz * FLOPS_PER_CYCLE

    def describe(self) -> str:
        if self.add_ns:
            clock = (
                f"{self.ghz:.2f} GHz, from a dependent float add of {self.add_ns:.3f} ns "
                f"(bench/add_chain.c) taken as {ADD_LATENCY_CYCLES} cycles; /proc/cpuinfo says {self.nominal_ghz:.2f} GHz"
            )
        else:
            clock = f"{self.ghz:.2f} GHz as /proc/cpuinfo says (no C compiler to measure it)"
        return (
            f"{self.model}, {self.cores} cores\n  clock {clock}\n"
            f"  single-precision peak {self.peak_gflops:.0f} GFLOP/s = cores x GHz x {PEAK_ASSUMPTION}"
        )


def measure_add_ns() -> float | None:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    with tempfile.TemporaryDirectory() as directory:
        program = Path(directory) / "add_chain"
        subprocess.run([compiler, "-O2", "-o", str(program), str(ADD_CHAIN_SOURCE)], check=True)
        output = subprocess.run([str(program)], capture_output=True, text=True, check=True).stdout
    return float(output.split()[0])


def this_cpu() -> Cpu:
    fields: dict[str, str] = {}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    return Cpu(
        model=f"{fields.get('model name', '?')} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})",
        cores=len(os.sched_getaffinity(0)),
        nominal_ghz=float(fields.get("cpu MHz", "nan")) / 1000,
        add_ns=measure_add_ns(),
    )
