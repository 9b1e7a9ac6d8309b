"""Allocation failures, size limits, exact reference counts, and memory that must come back: failed
allocations leave everything usable, every entry returns exactly the references it took, and nothing
accumulates over many calls, succeeding or failing."""

import gc
import resource
import sys
import time

import numpy as np
import pytest

from conftest import (
    CAPACITY_OVERFLOW, FloatLike, Index, LyingLength, drain_tape, is_panic, next_id, rss_bytes, run_in_thread,
    tape_is_empty,
)
from reliability_support import needs_real_allocator, run_script

import quvarin as qv

pytestmark = pytest.mark.thread_unsafe(reason="measures the whole process: its allocated blocks, objects and resident memory")

MiB = 1 << 20
BIG = 10_000_000  # 40 MB of float32: above the allocator's mmap threshold, so freeing shows in RSS


def usable():
    a = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    (a * a).sum().backward()
    a.apply_sgd_step(0.25)
    return a.data() == [0.5, 1.0] and qv.ones([3]).sum().item() == 3.0


def free_and_intact(*tensors):
    """Each tensor can still be written (its access was released) and read."""
    for t in tensors:
        assert t.apply_sgd_step(0.1) is None
        t.shape  # noqa: B018
    return True


# --- allocations that cannot succeed -------------------------------------------------------------------

OUT_OF_MEMORY = [
    ("zeros", lambda: qv.zeros([2**40])),
    ("zeros-2d", lambda: qv.zeros([2**20, 2**20])),
    ("zeros-int8", lambda: qv.zeros([2**40], dtype=qv.int8)),
    ("zeros-float16", lambda: qv.zeros([2**39], dtype=qv.float16)),
    ("zeros-bfloat16-2**61", lambda: qv.zeros([2**61], dtype=qv.bfloat16)),  # 2**62 bytes
    ("zeros-int8-2**62", lambda: qv.zeros([2**62], dtype=qv.int8)),
    ("zeros-int8-largest", lambda: qv.zeros([2**63 - 1], dtype=qv.int8)),  # exactly the largest byte size
    ("zeros-float32-largest", lambda: qv.zeros([2**61 - 1])),
    ("matmul-2**60", lambda: qv.zeros([2**30, 0], requires_grad=True).matmul(qv.zeros([0, 2**30]))),
]


@needs_real_allocator
@pytest.mark.parametrize("name, call", OUT_OF_MEMORY, ids=[c[0] for c in OUT_OF_MEMORY])
def test_out_of_memory_is_a_memory_error(name, call):
    with pytest.raises(MemoryError):
        call()
    assert usable()


IMPOSSIBLE_BYTE_SIZES = [
    ("zeros-2**62", lambda: qv.zeros([2**62])),
    ("zeros-2**61", lambda: qv.zeros([2**61])),  # 2**63 bytes
    ("ones-2**62", lambda: qv.ones([2**62])),
    ("ones-2-by-2**61", lambda: qv.ones([2, 2**61])),
    ("zeros-int32", lambda: qv.zeros([2**61], dtype=qv.int32)),
    ("zeros-float16", lambda: qv.zeros([2**62], dtype=qv.float16)),
    ("zeros-int8-max", lambda: qv.zeros([2**64 - 1], dtype=qv.int8)),
    ("matmul-2**61", lambda: qv.zeros([2**30, 0]).matmul(qv.zeros([0, 2**31]))),
]


@pytest.mark.parametrize("name, call", IMPOSSIBLE_BYTE_SIZES, ids=[c[0] for c in IMPOSSIBLE_BYTE_SIZES])
def test_impossible_byte_size_is_a_capacity_overflow_panic(name, call):
    with pytest.raises(BaseException) as info:
        call()
    assert is_panic(info.value), repr(info.value)
    assert str(info.value) == CAPACITY_OVERFLOW
    assert usable()


# (name, operands factory, call on the operands, expected outcome: "memory" or "capacity").
# A failing size is at least 2**48 bytes, beyond any address space, so that it fails at once even
# where the kernel overcommits memory without limit.
HUGE = [
    ("matmul-2**46-result", lambda: (qv.zeros([2**23, 0]), qv.zeros([0, 2**23], requires_grad=True)),
     lambda a, b: a.matmul(b), "memory"),
    ("matmul-2**62-result", lambda: (qv.zeros([2**31, 0], requires_grad=True), qv.zeros([0, 2**31])),
     lambda a, b: a.matmul(b), "capacity"),
    ("matmul-2**64-1-result", lambda: (qv.zeros([2**64 - 1, 0]), qv.zeros([0, 1])),
     lambda a, b: a.matmul(b), "capacity"),
    # The operands are empty, but the product's element count does not fit in 64 bits.
    ("matmul-same-operand", lambda: (qv.zeros([2**40, 0]), None), lambda a, b: a.matmul(qv.zeros([0, 2**40])),
     "capacity"),
    ("ones-2**46", lambda: (qv.ones([1]), None), lambda a, b: qv.ones([2**46], requires_grad=True), "memory"),
    ("zeros-int32-2**46", lambda: (qv.ones([1]), None), lambda a, b: qv.zeros([2**46], dtype=qv.int32), "memory"),
    ("zeros-int8-2**63", lambda: (qv.ones([1]), None), lambda a, b: qv.zeros([2**63], dtype=qv.int8), "capacity"),
    ("ones-shape-with-huge-len", lambda: (qv.ones([1]), None),
     lambda a, b: qv.ones(LyingLength([2**61, 4], sys.maxsize)), "capacity"),
]


def _run_huge(make, call, outcome):
    a, b = make()
    drain_tape()
    operands = [t for t in (a, b) if t is not None]
    if outcome == "memory":
        with pytest.raises(MemoryError):
            call(a, b)
    else:
        with pytest.raises(BaseException) as info:
            call(a, b)
        assert is_panic(info.value) and str(info.value) == CAPACITY_OVERFLOW, repr(info.value)
    assert tape_is_empty()  # the failed operation recorded nothing
    assert free_and_intact(*operands)
    assert usable()


@needs_real_allocator
@pytest.mark.parametrize("name, make, call, outcome", [h for h in HUGE if h[3] == "memory"],
                         ids=[h[0] for h in HUGE if h[3] == "memory"])
def test_failed_allocation_is_a_memory_error(name, make, call, outcome):
    _run_huge(make, call, outcome)


@pytest.mark.parametrize("name, make, call, outcome", [h for h in HUGE if h[3] == "capacity"],
                         ids=[h[0] for h in HUGE if h[3] == "capacity"])
def test_impossible_size_is_a_capacity_overflow(name, make, call, outcome):
    _run_huge(make, call, outcome)


@needs_real_allocator
def test_failed_allocations_draw_no_id_and_record_nothing():
    a = qv.zeros([2**30, 0], requires_grad=True)
    b = qv.zeros([0, 2**31], requires_grad=True)
    start = next_id()
    for call in (lambda: qv.zeros([2**40]), lambda: qv.ones([2**40], requires_grad=True)):
        with pytest.raises(MemoryError):
            call()
    for call in (lambda: qv.zeros([2**62]), lambda: a.matmul(b)):
        with pytest.raises(BaseException) as info:
            call()
        assert is_panic(info.value)
    assert next_id() == start + 3
    assert tape_is_empty()


# --- every entry: exact reference counts, nothing accumulating -----------------------------------------


class Fails:
    """Every conversion hook raises."""

    def __float__(self):
        raise ZeroDivisionError("hook")

    __index__ = __float__

    def __len__(self):
        raise ZeroDivisionError("hook")

    def __getitem__(self, i):
        raise ZeroDivisionError("hook")


def _tensors():
    return {
        "a": qv.tensor([1.0, -2.0, 3.0, 4.0, 0.5, -1.0], [2, 3], requires_grad=True),
        "b": qv.tensor([0.5, 1.5, -1.0, 2.0, 1.0, 0.0], [3, 2]),
        "c": qv.tensor([2.0, 1.0, 0.0, -3.0, 1.0, 1.0], [2, 3]),
        "i8": qv.zeros([2, 3], dtype=qv.int8),
    }


def _set(t, k, v):
    t[k] = v


def _del(t, k):
    del t[k]


def _fresh_args():
    """Objects created anew, so that only the call under test can change their reference counts."""
    return {
        "lr": float("0.125"), "big": int("123456789012345678901234567890"), "shape": [2, 3], "data": [1.5] * 6,
        "tuple": (2, 3), "key": [0], "index": Index(1), "bad_index": Index(10**30), "lr_obj": FloatLike(0.5),
        "fails": Fails(), "np_bool": np.bool_(True), "np_float": np.float32(0.5), "device": qv.Device("cpu"),
        "str": "".join(["cp", "u"]), "huge_len": LyingLength([2.0], sys.maxsize), "none_like": object(),
    }


# (name, call(tensors, args)); each is run many times, succeeding or failing as it does
ENTRIES = [
    ("zeros", lambda t, a: qv.zeros(a["shape"], qv.float16, a["device"], a["np_bool"])),
    ("zeros-fails", lambda t, a: qv.zeros(a["fails"])),
    ("zeros-bad-dim", lambda t, a: qv.zeros([2, a["big"]])),
    ("ones", lambda t, a: qv.ones(a["tuple"], requires_grad=True)),
    ("ones-bad-kw", lambda t, a: qv.ones(a["shape"], size=a["lr"])),
    ("tensor", lambda t, a: qv.tensor(a["data"], a["shape"])),
    ("tensor-length-mismatch", lambda t, a: qv.tensor(a["data"], a["tuple"][:1])),
    ("tensor-item-fails", lambda t, a: qv.tensor([1.0, a["fails"]], [2])),
    ("tensor-huge-len", lambda t, a: qv.tensor(a["huge_len"], [1])),
    ("tensor-dtype", lambda t, a: qv.tensor(a["data"], a["shape"], dtype=qv.int8)),
    ("Device", lambda t, a: qv.Device(a["str"])),
    ("Device-bad", lambda t, a: qv.Device(a["none_like"])),
    ("properties", lambda t, a: (t["a"].shape, t["a"].dtype, t["a"].device, t["a"].requires_grad)),
    ("data", lambda t, a: (t["a"].data(), t["b"].tolist(), t["c"].item())),
    ("data-int8", lambda t, a: t["i8"].data()),
    ("matmul", lambda t, a: t["a"].matmul(other=t["b"])),
    ("matmul-shape-error", lambda t, a: t["a"].matmul(t["c"])),
    ("matmul-not-a-tensor", lambda t, a: t["a"].matmul(a["data"])),
    ("unary", lambda t, a: (t["a"].relu(), t["a"].sigmoid(), t["a"].sum())),
    ("add-mul", lambda t, a: (t["a"] + t["c"], t["a"] * t["c"])),
    ("add-mismatch", lambda t, a: t["a"] + t["b"]),
    ("add-not-a-tensor", lambda t, a: t["a"] + a["lr"]),
    ("backward", lambda t, a: (t["a"] * t["c"]).sum().backward()),
    ("backward-fails", lambda t, a: t["b"].backward()),
    ("sgd", lambda t, a: t["a"].apply_sgd_step(a["lr"])),
    ("sgd-object", lambda t, a: t["a"].apply_sgd_step(lr=a["lr_obj"])),
    ("sgd-fails", lambda t, a: t["a"].apply_sgd_step(a["fails"])),
    ("sgd-numpy", lambda t, a: t["a"].apply_sgd_step(a["np_float"])),
    ("slice_rows", lambda t, a: t["a"].slice_rows(a["index"])),
    ("slice_rows-overflow", lambda t, a: t["a"].slice_rows(a["bad_index"])),
    ("slice_rows-out-of-range", lambda t, a: t["a"].slice_rows(a["big"] // 10**20)),
    ("subscript", lambda t, a: t["a"][a["key"]]),
    ("subscript-set", lambda t, a: _set(t["a"], a["key"], a["lr"])),
    ("subscript-del", lambda t, a: _del(t["a"], a["index"])),
    ("stubs", lambda t, a: t["a"].__dlpack__(a["lr"])),
    ("from_numpy", lambda t, a: qv.Tensor.from_numpy(_array=a["data"])),
    ("Tensor()", lambda t, a: qv.Tensor()),
    ("Tensor(x)", lambda t, a: qv.Tensor(a["lr"])),
]


def _call(entry, tensors, args):
    try:
        entry(tensors, args)
    except BaseException as exc:  # PanicException derives from BaseException
        if not isinstance(exc, Exception) and not is_panic(exc):
            raise


def _counts(objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("name, entry", ENTRIES, ids=[e[0] for e in ENTRIES])
def test_reference_counts_are_exact(name, entry):
    tensors, args = _tensors(), _fresh_args()
    objects = list(tensors.values()) + list(args.values()) + list(args["shape"]) + list(args["data"])
    _call(entry, tensors, args)  # first use: lazily created caches
    drain_tape()
    gc.collect()
    gc.disable()
    try:
        before = _counts(objects)
        for _ in range(5):
            _call(entry, tensors, args)
        after = _counts(objects)
    finally:
        gc.enable()
    changed = [(repr(o), b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert changed == []
    assert free_and_intact(*tensors.values())


@pytest.mark.parametrize("name, entry", ENTRIES, ids=[e[0] for e in ENTRIES])
def test_nothing_accumulates_over_many_calls(name, entry):
    tensors, args = _tensors(), _fresh_args()

    def churn(n):
        for _ in range(n):
            _call(entry, tensors, args)
        drain_tape()

    # Long enough for the interpreter's own free lists and caches to fill, which takes a free-threaded
    # build more calls (its allocated blocks count those too): what grows after that, the calls left.
    churn(1000)
    gc.collect()
    blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
    churn(2000)
    gc.collect()
    # a leaked reference keeps at least one object per call alive: 2000 blocks or more
    assert sys.getallocatedblocks() - blocks < 200
    assert len(gc.get_objects()) - objects < 50
    assert free_and_intact(*tensors.values())


# --- resident memory stays flat -----------------------------------------------------------------------


def _growth(loop, warmup):
    warmup()
    before = rss_bytes()
    loop()
    return rss_bytes() - before


@needs_real_allocator
def test_million_tensors_do_not_accumulate():
    def churn(n):
        zeros = qv.zeros
        for _ in range(n):
            zeros([4])

    assert _growth(lambda: churn(1_000_000), lambda: churn(50_000)) < 8 * MiB


@needs_real_allocator
def test_operations_do_not_accumulate():
    a = qv.tensor([1.0, -2.0, 3.0, -4.0], [2, 2])
    b = qv.tensor([0.5, 0.5, 0.5, 0.5], [2, 2])

    def churn(n):
        for _ in range(n):
            (a + b).relu().matmul(b).sigmoid().sum().data()
            (a * b).shape
            a.slice_rows(1).tolist()

    assert _growth(lambda: churn(100_000), lambda: churn(5_000)) < 8 * MiB


@needs_real_allocator
def test_failing_calls_do_not_accumulate():
    a, b = qv.ones([2, 3]), qv.ones([3, 2])

    def churn(n):
        for _ in range(n):
            for call in (lambda: a + b, lambda: a.matmul(a), lambda: qv.tensor([1.0], [2]),
                         lambda: qv.zeros("x"), lambda: a.slice_rows(5), lambda: a[0], lambda: qv.zeros([0]).item(),
                         lambda: qv.ones([1]).backward()):
                try:
                    call()
                except Exception:
                    pass
            try:
                qv.Tensor()
            except BaseException:
                pass

    assert _growth(lambda: churn(30_000), lambda: churn(2_000)) < 8 * MiB


@needs_real_allocator
def test_memory_errors_do_not_accumulate():
    def churn(n):
        for _ in range(n):
            try:
                qv.zeros([2**40])
            except MemoryError:
                pass

    assert _growth(lambda: churn(2_000), lambda: churn(100)) < 8 * MiB


@needs_real_allocator
def test_training_loop_memory_is_flat():
    rng = np.random.default_rng(2)
    x = qv.tensor(rng.standard_normal(64 * 5).tolist(), [64, 5])
    neg_y = qv.tensor((-(rng.random(64) > 0.5).astype(float)).tolist(), [64, 1])
    w1 = qv.tensor((rng.standard_normal(5 * 16) * 0.3).tolist(), [5, 16], requires_grad=True)
    w2 = qv.tensor((rng.standard_normal(16) * 0.3).tolist(), [16, 1], requires_grad=True)

    def train(steps):
        for _ in range(steps):
            diff = x.matmul(w1).relu().matmul(w2).sigmoid() + neg_y
            (diff * diff).sum().backward()
            w1.apply_sgd_step(0.01)
            w2.apply_sgd_step(0.01)

    assert _growth(lambda: train(3000), lambda: train(200)) < 8 * MiB


@needs_real_allocator
def test_large_results_reuse_freed_blocks():
    """A fresh 32 MiB block costs 8192 page faults (16 with huge pages); a reused one none."""
    a, b = qv.ones([1 << 23]), qv.ones([1 << 23])
    for _ in range(3):
        a + b
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(10):
        a + b
    assert resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before < 16


def _settles_below(limit, timeout=5.0):
    deadline = time.monotonic() + timeout
    while rss_bytes() > limit and time.monotonic() < deadline:
        time.sleep(0.05)
    return rss_bytes() <= limit


@needs_real_allocator
def test_failed_pass_releases_the_saved_storages():
    base = rss_bytes()
    x = qv.ones([BIG], requires_grad=True)
    y = x
    for _ in range(3):
        y = y.relu()  # each node keeps its input's buffer: x and the first two results stay
    del y
    peak = rss_bytes()
    assert peak - base > 60 * MiB  # allocator reuse of earlier tests can hide one buffer
    drain_tape()  # the pass fails on the last relu and destroys every node
    del x
    assert _settles_below(base + 30 * MiB)


@needs_real_allocator
def test_replaced_gradients_are_released():
    base = rss_bytes()
    x = qv.ones([BIG], requires_grad=True)
    x.relu().sum().backward()  # the map now holds two gradients of BIG elements
    del x
    assert rss_bytes() - base > 60 * MiB
    qv.zeros([1], requires_grad=True).backward()  # replaces the map
    assert _settles_below(base + 30 * MiB)


@needs_real_allocator
def test_thread_exit_releases_its_tape():
    base = rss_bytes()

    def body():
        x = qv.ones([BIG], requires_grad=True)
        for _ in range(4):
            x = x.relu()
        return rss_bytes()

    kind, peak = run_in_thread(body)
    assert kind == "ok"
    assert peak - base > 150 * MiB
    assert _settles_below(base + 30 * MiB)


# --- unbounded re-entry: the stack runs out cleanly ----------------------------------------------------


def _chain(kind, tensors):
    """A hook object whose conversion calls the library again on the next tensor, without end."""

    class Hook:
        def __init__(self, i):
            self.i = i

        def __float__(self):  # apply_sgd_step(lr) converts lr under write access
            tensors[self.i + 1].apply_sgd_step(Hook(self.i + 1))
            return 0.5

        def __index__(self):  # slice_rows(index) converts index under read access
            tensors[self.i + 1].slice_rows(Hook(self.i + 1))
            return 0

    start = {
        "lr": lambda: tensors[0].apply_sgd_step(Hook(0)),
        "index": lambda: tensors[0].slice_rows(Hook(0)),
        "data": lambda: qv.tensor([1.0, Hook(0)], [2]),  # each level converts a new data list
    }[kind]
    if kind == "data":
        Hook.__float__ = lambda self: qv.tensor([Hook(self.i + 1)], [1]).item()
    return start


@pytest.mark.parametrize("kind", ["lr", "index", "data"])
def test_unbounded_reentry_ends_in_recursion_error_with_every_access_released(kind):
    tensors = [qv.ones([2, 2], requires_grad=True) for _ in range(sys.getrecursionlimit() + 50)]
    with pytest.raises(RecursionError):
        _chain(kind, tensors)()
    assert free_and_intact(*tensors)
    assert usable()


# --- a Tensor object the library did not make ----------------------------------------------------------

UNINITIALISED = r"""
import sys
import quvarin as qv

reports = []
sys.unraisablehook = lambda u: reports.append(str(u.exc_value))
try:
    qv.Tensor.__new__ = staticmethod(lambda cls: object.__new__(cls))
except TypeError:  # the class refuses the replacement: nothing to check
    print("refused")
    raise SystemExit(0)

ghost, real = qv.Tensor(), qv.ones([2, 2])
uses = {
    "data": lambda: ghost.data(), "shape": lambda: ghost.shape, "sgd": lambda: ghost.apply_sgd_step(0.1),
    "backward": lambda: ghost.backward(), "slice": lambda: ghost.slice_rows(0), "item": lambda: ghost.item(),
    "matmul": lambda: ghost.matmul(real), "matmul-other": lambda: real.matmul(ghost),
    "add": lambda: ghost + real, "mul-right": lambda: real * ghost, "getitem": lambda: ghost[0],
}
for name, use in uses.items():
    try:
        use()
    except TypeError:
        pass
    else:
        raise AssertionError(name + " accepted an uninitialised tensor")
del ghost
assert reports == [], reports  # nothing was dropped on another thread
assert real.data() == [1.0] * 4
print("checked")
"""


def test_an_uninitialised_tensor_object_is_refused_and_freed_quietly():
    """With Tensor.__new__ replaced, object.__new__ yields a Tensor object with no record in it.
    Either the class refuses the replacement, or every entry refuses that object with TypeError
    (not a bogus wrong-thread panic) and dropping it reports nothing."""
    status, stdout, stderr = run_script(UNINITIALISED, 60)
    assert status == 0 and stdout in ("refused\n", "checked\n"), stderr
