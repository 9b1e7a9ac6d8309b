"""Helpers shared by the reliability tests (fuzzing, threads, fork, memory).

QUVARIN_SANITIZED=1 (set by `make test-asan`): AddressSanitizer's operator new aborts the process
when an allocation fails instead of throwing, and its quarantine keeps freed memory resident, so
tests that provoke a failing allocation or measure resident memory skip there. Import
`needs_real_allocator` and mark such tests with it.

QUVARIN_FUZZ_EXAMPLES: how many examples each fuzz test runs (`make fuzz-properties` sets it high).

QUVARIN_EMULATED=1 (set by `make test-aarch64-wheel`): the interpreter runs under qemu-user, whose
own memory and threads show in the process; tests that cannot hold there skip, each saying why.
"""

import os
import select
import signal
import subprocess
import sys
import time

import pytest

SANITIZED = os.environ.get("QUVARIN_SANITIZED") == "1"

needs_real_allocator = pytest.mark.skipif(
    SANITIZED, reason="under AddressSanitizer a failing allocation aborts and freed memory stays resident"
)

EMULATED = os.environ.get("QUVARIN_EMULATED") == "1"


def not_emulated(reason):
    """Skips a test under qemu-user, for the given reason."""
    return pytest.mark.skipif(EMULATED, reason=f"under qemu-user {reason}")


FUZZ_EXAMPLES = int(os.environ.get("QUVARIN_FUZZ_EXAMPLES", "0")) or None
"""None: each fuzz test uses its own small default."""

LONG_FUZZ = FUZZ_EXAMPLES is not None


def fuzz_examples(default):
    return FUZZ_EXAMPLES if FUZZ_EXAMPLES is not None else default


def wait_for_children(pids, timeout):
    """Waits for every pid; kills all of them and fails when any is still running at the deadline.

    Returns {pid: exit status} for children that exited normally; an abnormal end (signal) fails.
    """
    deadline = time.monotonic() + timeout
    statuses = {}
    try:
        while len(statuses) < len(pids):
            for pid in pids:
                if pid in statuses:
                    continue
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    statuses[pid] = status
            if len(statuses) == len(pids):
                break
            if time.monotonic() > deadline:
                raise AssertionError(f"children {sorted(set(pids) - set(statuses))} did not finish in {timeout} s")
            time.sleep(0.01)
    except BaseException:
        for pid in pids:
            if pid not in statuses:
                try:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                except (ProcessLookupError, ChildProcessError):
                    pass
        raise
    for pid, status in statuses.items():
        assert os.WIFEXITED(status), f"child {pid} ended abnormally (status {status})"
    return {pid: os.WEXITSTATUS(status) for pid, status in statuses.items()}


def read_all(fd, timeout):
    """Reads fd until end of file, failing after timeout seconds."""
    chunks, deadline = [], time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise AssertionError("no end of output in time")
        ready, _, _ = select.select([fd], [], [], remaining)
        if ready:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def run_script(code, timeout, env=None):
    """Runs code in a new interpreter (in its own process group, so that every process it forks is
    killed on timeout), with env added to the environment; returns (exit status, stdout, stderr)."""
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True, env={**os.environ, **(env or {})})
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise AssertionError(f"the script did not finish in {timeout} s") from None
    return process.returncode, stdout, stderr
