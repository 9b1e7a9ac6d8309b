"""Reading tensors back: shape, dtype, device, requires_grad, data(), tolist(), item()."""

import math
import struct

import numpy as np
import pytest

from conftest import COUNTS_IDS, EMPTY_ITEM, F32_MISMATCH, NON_F32_DTYPES, TENSOR_PROPERTIES, next_id, tape_is_empty

import quvarin as qv


@pytest.mark.parametrize("prop", TENSOR_PROPERTIES)
def test_property_types(prop):
    kinds = {"shape": list, "dtype": str, "device": str, "requires_grad": bool}
    t = qv.zeros([2, 1], requires_grad=True)
    assert type(getattr(t, prop)) is kinds[prop]


def test_shape_items_are_python_ints_even_when_large():
    t = qv.zeros([0, 2**63 + 5])
    assert t.shape == [0, 2**63 + 5]
    assert all(type(d) is int for d in t.shape)


def test_returned_lists_are_fresh_and_detached():
    t = qv.tensor([1.0, 2.0, 3.0, 4.0], [2, 2])
    s1, s2 = t.shape, t.shape
    assert s1 is not s2
    s1.append(7)
    s1[0] = 9
    d1, d2 = t.data(), t.data()
    assert d1 is not d2
    d1[0] = 42.0
    l1 = t.tolist()
    l1.clear()
    assert t.shape == [2, 2]
    assert t.data() == [1.0, 2.0, 3.0, 4.0]
    assert t.tolist() == [1.0, 2.0, 3.0, 4.0]


def test_data_is_flat_row_major():
    t = qv.tensor([float(i) for i in range(24)], [2, 3, 4])
    assert t.data() == [float(i) for i in range(24)]
    assert all(type(v) is float for v in t.data())


def test_tolist_equals_data():
    values = [0.1, -2.5, float("inf"), -0.0, 1e-45]
    t = qv.tensor(values, [5])
    assert [struct.pack("<d", v) for v in t.tolist()] == [struct.pack("<d", v) for v in t.data()]


def test_special_values_survive_widening():
    t = qv.tensor([float("nan"), float("inf"), float("-inf"), -0.0, 0.0, 1e-45], [6])
    d = t.data()
    assert math.isnan(d[0])
    assert d[1] == math.inf and d[2] == -math.inf
    assert math.copysign(1, d[3]) == -1 and math.copysign(1, d[4]) == 1
    assert d[5] == float(np.float32(1e-45)) != 0.0


@pytest.mark.parametrize(
    "data, shape, expected",
    [
        ([4.0, 5.0, 6.0], [3], 4.0),
        ([7.5], [], 7.5),
        ([-0.0], [1], -0.0),
        ([2.0, 3.0], [2, 1], 2.0),
        ([1e-45], [1], float(np.float32(1e-45))),
        ([float("nan")], [1], float("nan")),
    ],
)
def test_item_returns_first_element(data, shape, expected):
    got = qv.tensor(data, shape).item()
    assert type(got) is float
    assert struct.pack("<d", got) == struct.pack("<d", expected)


@pytest.mark.parametrize("shape", [[0], [3, 0], [0, 0, 2]])
def test_item_on_empty_tensor(shape):
    with pytest.raises(ValueError) as info:
        qv.zeros(shape).item()
    assert type(info.value) is ValueError
    assert str(info.value) == EMPTY_ITEM
    assert info.value.args == (EMPTY_ITEM,)


@pytest.mark.parametrize("dtype", NON_F32_DTYPES, ids=str)
@pytest.mark.parametrize("shape", [[2, 2], [0], []])
@pytest.mark.parametrize("method", ["data", "tolist", "item"])
def test_reading_non_float32_fails(dtype, shape, method):
    # the element type is tested before emptiness
    t = qv.zeros(shape, dtype=dtype)
    with pytest.raises(ValueError) as info:
        getattr(t, method)()
    assert str(info.value) == F32_MISMATCH
    assert info.value.args == (F32_MISMATCH,)
    assert t.shape == shape and t.dtype == str(dtype)


@COUNTS_IDS
def test_reading_changes_nothing():
    t = qv.tensor([1.0, 2.0], [2], requires_grad=True)
    start = next_id()
    for _ in range(3):
        t.shape, t.dtype, t.device, t.requires_grad, t.data(), t.tolist(), t.item()
    assert next_id() == start + 3
    assert tape_is_empty()
    assert t.data() == [1.0, 2.0] and t.requires_grad is True
