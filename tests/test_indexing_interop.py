"""slice_rows, the subscription forms, and the NumPy/DLPack stubs."""

import numpy as np
import pytest

from conftest import (
    F32_MISMATCH, GENERAL_INDEXING, INPLACE_INDEXING, NO_DELETE, NO_DLPACK, NO_NUMPY, ROW_OUT_OF_RANGE, SCALAR_SLICE,
    COUNTS_IDS, ON_A_NEW_THREAD, Index, next_id, run_in_thread, tape_is_empty,
)

import quvarin as qv


def ramp(shape):
    n = int(np.prod(shape))
    return qv.tensor([float(i) for i in range(n)], shape)


# --- slice_rows -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, index, out_shape, out_data",
    [
        ([3, 4], 1, [4], [4.0, 5.0, 6.0, 7.0]),
        ([3, 4], -1, [4], [8.0, 9.0, 10.0, 11.0]),
        ([3, 4], 0, [4], [0.0, 1.0, 2.0, 3.0]),
        ([3, 4], -3, [4], [0.0, 1.0, 2.0, 3.0]),
        ([3, 4], 2, [4], [8.0, 9.0, 10.0, 11.0]),
        ([2, 3, 4], 0, [3, 4], [float(i) for i in range(12)]),
        ([2, 3, 4], 1, [3, 4], [float(i) for i in range(12, 24)]),
        ([2, 1, 1, 2], 1, [1, 1, 2], [2.0, 3.0]),
        ([3, 0], 1, [0], []),
        ([2, 0, 5], -1, [0, 5], []),
        ([1, 1], 0, [1], [0.0]),
        ([5], 2, [1], [2.0]),  # a row of a vector is a vector of one
        ([5], -5, [1], [0.0]),
        ([3, 4], True, [4], [4.0, 5.0, 6.0, 7.0]),
        ([3, 4], np.int64(2), [4], [8.0, 9.0, 10.0, 11.0]),
        ([3, 4], np.int8(-2), [4], [4.0, 5.0, 6.0, 7.0]),
        ([3, 4], Index(1), [4], [4.0, 5.0, 6.0, 7.0]),
    ],
)
def test_slice_rows(shape, index, out_shape, out_data):
    t = ramp(shape)
    row = t.slice_rows(index)
    assert row.shape == out_shape
    assert row.data() == out_data
    assert row.dtype == "float32" and row.device == "cpu"
    assert t.shape == shape and t.data() == ramp(shape).data()


@pytest.mark.parametrize(
    "shape, index, rows",
    [
        ([3], 3, 3),
        ([3], -4, 3),
        ([3, 2], 100, 3),
        ([0, 5], 0, 0),
        ([0, 5], 1, 0),
        ([0, 5], -1, 0),
        ([0, 5], 2**63 - 1, 0),
        ([0], 0, 0),
        ([3], 2**63 - 1, 3),
        ([3], -(2**63), 3),
        ([1], 1, 1),
        ([1], -2, 1),
        ([3], Index(-7), 3),
    ],
)
def test_row_out_of_range(shape, index, rows):
    t = qv.zeros(shape)
    with pytest.raises(IndexError) as info:
        t.slice_rows(index)
    message = ROW_OUT_OF_RANGE.format(int(index), rows)
    assert type(info.value) is IndexError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_huge_first_dimension_in_range():
    t = qv.zeros([2**40, 0])
    assert t.slice_rows(2**40 - 1).shape == [0]
    assert t.slice_rows(-(2**40)).shape == [0]
    with pytest.raises(IndexError) as info:
        t.slice_rows(2**40)
    assert str(info.value) == ROW_OUT_OF_RANGE.format(2**40, 2**40)


@pytest.mark.parametrize(
    "make, index, exc, message",
    [
        (lambda: qv.zeros([]), 0, IndexError, SCALAR_SLICE),
        (lambda: qv.tensor([5.0], []), -1, IndexError, SCALAR_SLICE),
        (lambda: qv.zeros([], dtype=qv.int8), 0, IndexError, SCALAR_SLICE),
        # index tests come before the element type test
        (lambda: qv.zeros([2], dtype=qv.int8), 5, IndexError, ROW_OUT_OF_RANGE.format(5, 2)),
        (lambda: qv.zeros([0, 2], dtype=qv.int32), 0, IndexError, ROW_OUT_OF_RANGE.format(0, 0)),
        (lambda: qv.zeros([2, 2], dtype=qv.int8), 0, ValueError, F32_MISMATCH),
        (lambda: qv.zeros([2, 0], dtype=qv.float16), 1, ValueError, F32_MISMATCH),
        (lambda: qv.zeros([3], dtype=qv.bfloat16), -1, ValueError, F32_MISMATCH),
    ],
)
def test_slice_refusals(make, index, exc, message):
    with pytest.raises(exc) as info:
        make().slice_rows(index)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_index_is_converted_before_the_scalar_check():
    with pytest.raises(TypeError) as info:
        qv.zeros([]).slice_rows(1.5)
    assert str(info.value).startswith("argument 'index': ")
    with pytest.raises(OverflowError):
        qv.zeros([]).slice_rows(2**64)


@COUNTS_IDS
def test_slice_copies_flags_and_records_nothing():
    x = ramp([3, 2])
    xg = qv.tensor([1.0, 2.0, 3.0, 4.0], [2, 2], requires_grad=True)
    assert x.slice_rows(0).requires_grad is False
    start = next_id()
    row = xg.slice_rows(1)
    assert row.requires_grad is True
    assert next_id() == start + 1 + 3
    assert tape_is_empty()


def test_gradients_stop_at_the_slice():
    x = qv.tensor([1.0, 2.0, 3.0, 4.0], [2, 2], requires_grad=True)
    row = x.slice_rows(1)
    row.sum().backward()
    x.apply_sgd_step(1.0)
    row.apply_sgd_step(1.0)
    assert x.data() == [1.0, 2.0, 3.0, 4.0]
    assert row.data() == [2.0, 3.0]


def test_slice_is_independent_of_later_steps():
    x = qv.tensor([1.0, 2.0, 3.0, 4.0], [2, 2], requires_grad=True)
    row = x.slice_rows(0)
    x.sum().backward()
    x.apply_sgd_step(1.0)
    assert x.data() == [0.0, 1.0, 2.0, 3.0]
    assert row.data() == [1.0, 2.0]


def test_slices_feed_a_batch_loop():
    data = qv.tensor([float(i) for i in range(12)], [6, 2])
    w = qv.tensor([1.0, -1.0], [2], requires_grad=True)
    for i in range(6):
        row = data.slice_rows(i)
        (row * w).sum().backward()
        w.apply_sgd_step(0.01)
    # every row contributed its values once
    assert w.data() == pytest.approx([1.0 - 0.01 * 30, -1.0 - 0.01 * 36], abs=1e-5)


# --- subscription -------------------------------------------------------------------------------------


@pytest.mark.parametrize("key", [0, -1, slice(0, 2), "a", (0, 1), None, Ellipsis, [0], 1.5, 2**100])
def test_subscription_is_not_implemented(key):
    t = ramp([3, 2])
    with pytest.raises(NotImplementedError) as info:
        t[key]
    assert type(info.value) is NotImplementedError
    assert str(info.value) == GENERAL_INDEXING
    with pytest.raises(NotImplementedError) as info:
        t[key] = 1.0
    assert str(info.value) == INPLACE_INDEXING
    with pytest.raises(NotImplementedError) as info:
        del t[key]
    assert str(info.value) == NO_DELETE
    assert t.data() == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]


class Exploding:
    """A key or value that must never be looked at."""

    def __index__(self):
        raise AssertionError("examined")

    def __hash__(self):
        raise AssertionError("examined")

    def __eq__(self, other):
        raise AssertionError("examined")

    def __float__(self):
        raise AssertionError("examined")


def test_subscription_never_examines_key_or_value():
    t = ramp([2])
    with pytest.raises(NotImplementedError):
        t[Exploding()]
    with pytest.raises(NotImplementedError):
        t[Exploding()] = Exploding()
    with pytest.raises(NotImplementedError):
        del t[Exploding()]


@pytest.mark.parametrize("dtype", [qv.float32, qv.int8])
def test_subscription_on_any_tensor(dtype):
    t = qv.zeros([], dtype=dtype)
    with pytest.raises(NotImplementedError) as info:
        t[0]
    assert str(info.value) == GENERAL_INDEXING


# --- interoperability stubs ------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [qv.float32, qv.float16, qv.int8])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.numpy(), NO_NUMPY),
        (lambda t: t.__dlpack_device__(), NO_DLPACK),
        (lambda t: t.__dlpack__(None), NO_DLPACK),
        (lambda t: t.__dlpack__(_stream=0), NO_DLPACK),
        (lambda t: t.__dlpack__(object()), NO_DLPACK),
        (lambda t: t.from_numpy(None), NO_NUMPY),
        (lambda t: qv.Tensor.from_numpy(np.ones(3)), NO_NUMPY),
        (lambda t: qv.Tensor.from_numpy(_array=t), NO_NUMPY),
    ],
    ids=["numpy", "dlpack_device", "dlpack", "dlpack-kw", "dlpack-object", "from_numpy-instance", "from_numpy-class",
         "from_numpy-kw"],
)
def test_stubs_raise_not_implemented(dtype, call, message):
    t = qv.zeros([2], dtype=dtype)
    for _ in range(2):  # the access is released each time
        with pytest.raises(NotImplementedError) as info:
            call(t)
        assert type(info.value) is NotImplementedError
        assert str(info.value) == message
        assert info.value.args == (message,)
    assert t.shape == [2]


@ON_A_NEW_THREAD
def test_from_numpy_on_a_thread_without_tensors():
    def body():
        try:
            qv.Tensor.from_numpy(None)
        except NotImplementedError as exc:
            return str(exc)

    assert run_in_thread(body) == ("ok", NO_NUMPY)


def test_numpy_protocol_is_not_an_escape_hatch():
    t = qv.ones([3])
    with pytest.raises(Exception):
        np.from_dlpack(t)
    arr = np.asarray(t, dtype=object)  # an opaque object, never the tensor's memory
    assert arr.shape == ()
    assert t.data() == [1.0, 1.0, 1.0]
