"""fork() after both worker pools ran: children, several at once and a grandchild, still compute
matrix products and the parallel sigmoid correctly, and in time."""

import hashlib
import multiprocessing
import os
import pickle
import threading
import warnings

import numpy as np
import pytest

from reliability_support import read_all, run_script, wait_for_children

import quvarin as qv

TIMEOUT = 60.0
PARALLEL_SIGMOID = 131072
CHILDREN = 4


def t32(array):
    array = np.asarray(array, dtype=np.float32)
    return qv.tensor(array.ravel().tolist(), list(array.shape))


def digest(values):
    return hashlib.sha256(np.asarray(values, dtype=np.float32).tobytes()).hexdigest()


@pytest.fixture(scope="module")
def arrays():
    rng = np.random.default_rng(5)
    a = rng.standard_normal((512, 512)).astype(np.float32)
    b = rng.standard_normal((512, 512)).astype(np.float32)
    x = rng.uniform(-20, 20, PARALLEL_SIGMOID + 1000).astype(np.float32)
    return a, b, x


@pytest.fixture(scope="module")
def workload(arrays):
    """Operands, and the parent's results, computed with both pools (which also starts them)."""
    a, b, x = arrays
    ta, tb, tx = t32(a), t32(b), t32(x)
    mm = ta.matmul(tb).data()
    sig = tx.sigmoid().data()
    reference = a.astype(np.float64) @ b.astype(np.float64)
    assert np.allclose(np.asarray(mm).reshape(512, 512), reference, rtol=1e-4, atol=1e-3)
    return ta, tb, tx, digest(mm), digest(sig)


def compute(ta, tb, tx):
    """What a child does: both pools again, plus a training step on its own tensors."""
    w = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    w.sigmoid().sum().backward()
    w.apply_sgd_step(0.0)
    return digest(ta.matmul(tb).data()), digest(tx.sigmoid().data()), w.data()


def fork_child(body):
    """Forks; the child sends pickle.dumps(body()) through a pipe and exits. Returns (pid, read end)."""
    read_fd, write_fd = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the pools' threads alive
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_fd)
            payload = pickle.dumps(("ok", body()))
            status = 0
        except BaseException as exc:  # PanicException derives from BaseException
            payload = pickle.dumps(("raised", repr(exc)))
        finally:
            try:
                os.write(write_fd, payload)
            finally:
                os._exit(status)
    os.close(write_fd)
    return pid, read_fd


def collect(children, timeout=TIMEOUT):
    """Reads each child's answer and waits for all of them; kills them all on timeout."""
    answers = []
    try:
        for _, fd in children:
            answers.append(pickle.loads(read_all(fd, timeout)))
    finally:
        for _, fd in children:
            os.close(fd)
        statuses = wait_for_children([pid for pid, _ in children], timeout)
    assert all(status == 0 for status in statuses.values()), (statuses, answers)
    return answers


def test_several_children_at_once(workload):
    ta, tb, tx, mm, sig = workload
    children = [fork_child(lambda: compute(ta, tb, tx)) for _ in range(CHILDREN)]
    answers = collect(children)
    assert answers == [("ok", (mm, sig, [1.0, 2.0]))] * CHILDREN
    assert compute(ta, tb, tx)[:2] == (mm, sig)  # the parent's pools still work


def test_child_that_forks_again(workload):
    ta, tb, tx, mm, sig = workload

    def child():
        mine = compute(ta, tb, tx)  # the child uses, and so restarts, both pools
        grandchildren = [fork_child(lambda: compute(ta, tb, tx)) for _ in range(2)]
        return mine, collect(grandchildren)

    (answer,) = collect([fork_child(child)], timeout=2 * TIMEOUT)
    expected = (mm, sig, [1.0, 2.0])
    assert answer == ("ok", (expected, [("ok", expected)] * 2))


def _pool_task(_):
    # runs in a forked pool worker: the module-level tensors below came from the parent
    return digest(_POOL_STATE[0].matmul(_POOL_STATE[1]).data()), digest(_POOL_STATE[2].sigmoid().data())


_POOL_STATE = []


def test_fork_start_method_worker_pool(workload):
    """The data-loader pattern: a pool of forked workers, each computing with inherited tensors."""
    ta, tb, tx, mm, sig = workload
    _POOL_STATE[:] = [ta, tb, tx]
    context = multiprocessing.get_context("fork")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pool = context.Pool(3)
    try:
        result = pool.map_async(_pool_task, range(6), chunksize=1).get(timeout=TIMEOUT)
    finally:
        pool.terminate()
        pool.join()
        _POOL_STATE.clear()
    assert result == [(mm, sig)] * 6


def test_fork_from_a_thread_that_used_the_pools(arrays, workload):
    """The child's only thread is the one that forked; it still owns that thread's tensors."""
    mm, sig = workload[3:]
    box = {}

    def thread_body():
        try:
            ta, tb, tx = (t32(array) for array in arrays)
            assert compute(ta, tb, tx)[:2] == (mm, sig)  # this thread's own pool team starts
            box["answers"] = collect([fork_child(lambda: compute(ta, tb, tx))])
        except BaseException as exc:
            box["error"] = exc

    th = threading.Thread(target=thread_body)
    th.start()
    th.join(timeout=2 * TIMEOUT)
    assert not th.is_alive()
    assert "error" not in box, box.get("error")
    assert box["answers"] == [("ok", (mm, sig, [1.0, 2.0]))]


FIRST_USE_IN_CHILDREN = r"""
import hashlib, os, pickle, sys, warnings
import numpy as np
import quvarin as qv

def digest(values):
    return hashlib.sha256(np.asarray(values, dtype=np.float32).tobytes()).hexdigest()

rng = np.random.default_rng(8)
a = rng.standard_normal((300, 200)).astype(np.float32)
b = rng.standard_normal((200, 100)).astype(np.float32)
ta = qv.tensor(a.ravel().tolist(), [300, 200])
tb = qv.tensor(b.ravel().tolist(), [200, 100])
tx = qv.tensor(rng.uniform(-9, 9, 140000).astype(np.float32).tolist(), [140000])
tx.sigmoid()  # the parallel pool runs in the parent; the matrix product has not run anywhere yet

def work():
    return digest(ta.matmul(tb).data()), digest(tx.sigmoid().data())

children = []
for _ in range(3):
    read_fd, write_fd = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        try:
            os.write(write_fd, pickle.dumps(work()))  # the child loads the GEMM routine itself
        finally:
            os._exit(0)
    os.close(write_fd)
    children.append((pid, read_fd))
answers = []
for pid, fd in children:
    with os.fdopen(fd, "rb") as f:
        answers.append(pickle.loads(f.read()))
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
mine = work()  # now the parent loads it too
assert answers == [mine] * 3, (answers, mine)
product = np.asarray(ta.matmul(tb).data()).reshape(300, 100)
assert np.allclose(product, a.astype(np.float64) @ b.astype(np.float64), rtol=1e-4, atol=1e-3)
print("ok")
"""


def test_children_forked_before_the_first_matrix_product():
    """Each child is the first process to run a matrix product: it loads the GEMM routine and
    starts that pool itself, while its parent's parallel sigmoid pool was lost to fork."""
    status, stdout, stderr = run_script(FIRST_USE_IN_CHILDREN, TIMEOUT)
    assert (status, stdout) == (0, "ok\n"), stderr
