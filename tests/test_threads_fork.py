"""Thread ownership of tensors, per-thread state, worker pools, and use after fork()."""

import os
import pickle
import select
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from conftest import DROPPED_ELSEWHERE, PY, UNSENDABLE, is_panic, quiet_gc, run_in_thread

import quvarin as qv


def t32(array, requires_grad=False):
    array = np.asarray(array, dtype=np.float32)
    return qv.tensor(array.ravel().tolist(), list(array.shape), requires_grad=requires_grad)


def _setitem(t):
    t[0] = 1.0


def _delitem(t):
    del t[0]


# every entry that has a receiver, used from a thread that did not create the tensor
FOREIGN_ENTRIES = [
    ("shape", lambda t, own: t.shape),
    ("dtype", lambda t, own: t.dtype),
    ("device", lambda t, own: t.device),
    ("requires_grad", lambda t, own: t.requires_grad),
    ("data", lambda t, own: t.data()),
    ("tolist", lambda t, own: t.tolist()),
    ("item", lambda t, own: t.item()),
    ("relu", lambda t, own: t.relu()),
    ("sigmoid", lambda t, own: t.sigmoid()),
    ("sum", lambda t, own: t.sum()),
    ("backward", lambda t, own: t.backward()),
    ("apply_sgd_step", lambda t, own: t.apply_sgd_step(0.1)),
    ("apply_sgd_step-bad-lr", lambda t, own: t.apply_sgd_step("x")),
    ("matmul-receiver", lambda t, own: t.matmul(own)),
    ("matmul-receiver-bad-other", lambda t, own: t.matmul(5)),
    ("matmul-other", lambda t, own: own.matmul(t)),
    ("add", lambda t, own: t + own),
    ("add-right", lambda t, own: own + t),
    ("add-int", lambda t, own: t + 1),
    ("mul", lambda t, own: t * own),
    ("mul-right", lambda t, own: own * t),
    ("slice_rows", lambda t, own: t.slice_rows(0)),
    ("slice_rows-bad-index", lambda t, own: t.slice_rows("x")),
    ("getitem", lambda t, own: t[0]),
    ("setitem", lambda t, own: _setitem(t)),
    ("numpy", lambda t, own: t.numpy()),
    ("dlpack", lambda t, own: t.__dlpack__(None)),
    ("dlpack_device", lambda t, own: t.__dlpack_device__()),
]


@pytest.mark.parametrize("name, action", FOREIGN_ENTRIES, ids=[e[0] for e in FOREIGN_ENTRIES])
def test_foreign_thread_use_panics(name, action):
    t = qv.ones([2, 2], requires_grad=True)

    def body():
        own = qv.ones([2, 2])
        return action(t, own)

    kind, exc = run_in_thread(body)
    assert kind == "raised"
    assert is_panic(exc), repr(exc)
    message = str(exc)
    lines = message.split("\n")
    assert lines[0] == UNSENDABLE
    assert len(lines) == 3 and lines[1].strip() and lines[2].strip() and lines[1] != lines[2]
    # no access was taken, so the owner can still read and write
    assert t.data() == [1.0] * 4
    t.apply_sgd_step(0.5)


FOREIGN_NON_PANICS = [
    ("from_numpy", lambda t: t.from_numpy(None), NotImplementedError, "Numpy interoperability is not yet implemented"),
    ("delitem", lambda t: _delitem(t), NotImplementedError, "can't delete item"),
    ("int-plus-tensor", lambda t: 1 + t, TypeError, None),  # the left operand is refused first
    ("matmul-missing", lambda t: t.matmul(), TypeError, "Tensor.matmul() missing 1 required positional argument: 'other'"),
    ("sgd-missing", lambda t: t.apply_sgd_step(), TypeError, "Tensor.apply_sgd_step() missing 1 required positional argument: 'lr'"),
    ("slice-missing", lambda t: t.slice_rows(), TypeError, "Tensor.slice_rows() missing 1 required positional argument: 'index'"),
    ("dlpack-missing", lambda t: t.__dlpack__(), TypeError, "Tensor.__dlpack__() missing 1 required positional argument: '_stream'"),
    ("repr", lambda t: repr(t), None, None),
    ("hash", lambda t: hash(t), None, None),
]


@pytest.mark.parametrize("name, action, exc_type, message", FOREIGN_NON_PANICS, ids=[e[0] for e in FOREIGN_NON_PANICS])
def test_foreign_thread_checks_that_come_later_or_never(name, action, exc_type, message):
    t = qv.ones([2, 2])
    kind, value = run_in_thread(action, t)
    if exc_type is None:
        assert kind == "ok"
    else:
        assert kind == "raised" and type(value) is exc_type, repr(value)
        if message is not None:
            assert str(value) == message


def test_dtype_device_and_creation_work_on_any_thread():
    dev = qv.Device("cpu")

    def body():
        t = qv.zeros([2], dtype=qv.int8, device=dev, requires_grad=True)
        u = qv.ones([2], dtype=qv.float32)
        return str(qv.bfloat16), str(dev), t.dtype, u.data(), (u + u).data()

    assert run_in_thread(body) == ("ok", ("bfloat16", "cpu", "int8", [1.0, 1.0], [2.0, 2.0]))


def test_tensor_created_on_a_thread_belongs_to_it():
    box = {}

    def body():
        box["t"] = qv.tensor([1.0, 2.0], [2])
        return box["t"].data()

    assert run_in_thread(body) == ("ok", [1.0, 2.0])
    t = box.pop("t")
    with pytest.raises(BaseException) as info:
        t.data()
    assert is_panic(info.value)
    # dropping it here, on the wrong thread, is reported and survived
    hook_calls = []
    old = sys.unraisablehook
    sys.unraisablehook = hook_calls.append
    try:
        del t
    finally:
        sys.unraisablehook = old
    assert [(u.exc_type, str(u.exc_value)) for u in hook_calls] == [(RuntimeError, DROPPED_ELSEWHERE)]


def test_drop_on_another_thread_is_reported():
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value)))
    try:
        box = [qv.zeros([3], requires_grad=True)]
        kind, _ = run_in_thread(lambda: box.pop() and None)
    finally:
        sys.unraisablehook = old
    assert kind == "ok"
    assert seen == [(RuntimeError, DROPPED_ELSEWHERE)]
    assert qv.ones([1]).data() == [1.0]


def test_threads_training_their_own_models_agree():
    rng = np.random.default_rng(9)
    x = rng.standard_normal((32, 4)).astype(np.float32)
    y = (x[:, :1] * x[:, 1:2] > 0).astype(np.float32)
    w1_init = (rng.standard_normal((4, 8)) * 0.5).astype(np.float32)
    w2_init = (rng.standard_normal((8, 1)) * 0.5).astype(np.float32)

    def train():
        w1, w2 = t32(w1_init, True), t32(w2_init, True)
        xt, neg_y = t32(x), t32(-y)
        losses = []
        for _ in range(80):
            diff = xt.matmul(w1).relu().matmul(w2).sigmoid() + neg_y
            loss = (diff * diff).sum()
            loss.backward()
            w1.apply_sgd_step(0.1)
            w2.apply_sgd_step(0.1)
            losses.append(loss.item())
            time.sleep(0)  # let the other threads interleave
        return losses, w1.data(), w2.data()

    results = [None] * 4
    errors = []

    def worker(i):
        try:
            results[i] = train()
        except BaseException as exc:
            errors.append(exc)

    with quiet_gc():
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(3)]
        for th in threads:
            th.start()
        results[3] = train()
        for th in threads:
            th.join()
    assert errors == []
    assert all(r == results[0] for r in results)
    assert results[0][0][-1] < results[0][0][0]


# --- worker pools ------------------------------------------------------------------------------------


def _run(code, env=None, timeout=120):
    full_env = dict(os.environ)
    full_env.update(env or {})
    out = subprocess.run([PY, "-c", code], capture_output=True, text=True, timeout=timeout, env=full_env)
    assert out.returncode == 0, out.stderr
    return out.stdout


THREAD_COUNT_CODE = (
    "import os\n"
    "count = lambda: len(os.listdir('/proc/self/task'))\n"
    "base = count()\n"
    "import quvarin as qv\n"
    "after_import = count()\n"
    "qv.ones([131071]).sigmoid()\n"
    "after_small = count()\n"
    "qv.ones([131072]).sigmoid()\n"
    "after_large = count()\n"
    "print(base, after_import, after_small, after_large)\n"
)
POOL_ENV = {"RAYON_NUM_THREADS": "2", "OMP_NUM_THREADS": "2"}


def test_import_starts_no_threads():
    base, after_import, _, _ = map(int, _run(THREAD_COUNT_CODE, POOL_ENV).split())
    assert after_import == base


def test_only_a_large_sigmoid_starts_the_shared_pool():
    _, after_import, after_small, after_large = map(int, _run(THREAD_COUNT_CODE, POOL_ENV).split())
    assert after_small == after_import
    assert after_large > after_small


POOL_CODE = (
    "import numpy as np, quvarin as qv\n"
    "rng = np.random.default_rng(0)\n"
    "a = rng.standard_normal((150, 120)).astype(np.float32)\n"
    "b = rng.standard_normal((120, 90)).astype(np.float32)\n"
    "x = rng.uniform(-100, 100, 200000).astype(np.float32)\n"
    "ta = qv.tensor(a.ravel().tolist(), [150, 120]); tb = qv.tensor(b.ravel().tolist(), [120, 90])\n"
    "c = np.array(ta.matmul(tb).data()).reshape(150, 90)\n"
    "assert np.allclose(c, a.astype(np.float64) @ b.astype(np.float64), rtol=1e-4, atol=1e-3)\n"
    "s = np.array(qv.tensor(x.tolist(), [200000]).sigmoid().data(), dtype=np.float32)\n"
    "small = np.concatenate([np.array(qv.tensor(x[i:i + 100000].tolist(), [len(x[i:i + 100000])]).sigmoid().data(),\n"
    "                        dtype=np.float32) for i in range(0, 200000, 100000)])\n"
    "assert (s.view(np.uint32) == small.view(np.uint32)).all()\n"
    "print(s.view(np.uint32).sum(dtype=np.uint64))\n"
)
POOL_VARIABLES = ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "MATMUL_NUM_THREADS", "OPENBLAS_NUM_THREADS")


@pytest.fixture(scope="module")
def single_thread_digest():
    return _run(POOL_CODE, {name: "1" for name in POOL_VARIABLES}).strip()


@pytest.mark.parametrize("threads", ["2", "3"])
def test_results_do_not_depend_on_pool_sizes(threads, single_thread_digest):
    assert _run(POOL_CODE, {name: threads for name in POOL_VARIABLES}).strip() == single_thread_digest


# --- fork ----------------------------------------------------------------------------------------------


def _fork_and_collect(child_body, timeout=60.0):
    """Runs child_body in a forked child; returns what it sends back or fails on crash/timeout."""
    read_fd, write_fd = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() in a multi-threaded process
        pid = os.fork()
    if pid == 0:  # child
        os.close(read_fd)
        status = 0
        try:
            payload = pickle.dumps(("ok", child_body()))
        except BaseException as exc:
            payload = pickle.dumps(("raised", repr(exc)))
            status = 1
        try:
            with os.fdopen(write_fd, "wb") as out:
                out.write(payload)
        finally:
            os._exit(status)
    os.close(write_fd)
    chunks, deadline = [], time.monotonic() + timeout
    try:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError("forked child did not finish in time")
            ready, _, _ = select.select([read_fd], [], [], remaining)
            if ready:
                chunk = os.read(read_fd, 1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                raise AssertionError("forked child did not exit in time")
            time.sleep(0.01)
    except BaseException:
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        raise
    finally:
        os.close(read_fd)
    assert os.WIFEXITED(status), f"child ended abnormally (status {status})"
    assert chunks, "child sent nothing"
    return pickle.loads(b"".join(chunks)), os.WEXITSTATUS(status)


def test_forked_child_uses_parent_tensors_after_pools_ran():
    rng = np.random.default_rng(13)
    a = rng.standard_normal((256, 256)).astype(np.float32)
    b = rng.standard_normal((256, 256)).astype(np.float32)
    x = rng.uniform(-30, 30, 300000).astype(np.float32)
    ta, tb, tx = t32(a), t32(b), t32(x)
    parent_mm = ta.matmul(tb).data()  # starts the GEMM routine's workers
    parent_sig = tx.sigmoid().data()  # starts the shared pool

    def child():
        mm = ta.matmul(tb).data()
        sig = tx.sigmoid().data()
        w = qv.tensor([1.0, 2.0], [2], requires_grad=True)
        w.sum().backward()
        w.apply_sgd_step(0.5)
        return mm == parent_mm, sig == parent_sig, w.data()

    (kind, value), status = _fork_and_collect(child)
    assert (kind, status) == ("ok", 0), value
    assert value == (True, True, [0.5, 1.5])
    # the parent is unaffected
    assert ta.matmul(tb).data() == parent_mm


def test_forked_child_keeps_its_parent_gradients():
    w = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    w.sum().backward()

    def child():
        w.apply_sgd_step(1.0)
        return w.data()

    (kind, value), status = _fork_and_collect(child)
    assert (kind, value, status) == ("ok", [0.0, 1.0], 0)
    assert w.data() == [1.0, 2.0]
