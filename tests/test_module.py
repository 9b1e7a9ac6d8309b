"""Module surface: names, classes, signatures, DType and Device, the refused constructor."""

import copy
import gc
import importlib.metadata
import importlib.util
import inspect
import json
import os
import pickle
import re
import shutil
import subprocess
import tomllib
import weakref
from pathlib import Path

import pytest

from conftest import (
    CONSTRUCTOR_REFUSED, DISPATCH_THRESHOLDS, DTYPE_NAMES, FREE_THREADED, INVALID_DEVICE, PY, ROOT,
    STUB_PARALLEL_SIGMOID, TENSOR_METHODS, TENSOR_PROPERTIES, TENSOR_SLOTS, TENSOR_STATIC_METHODS, Outer,
    PanicException, is_panic, missing_argument,
)
from reliability_support import run_script

import quvarin as qv

ALL = ["Tensor", "Device", "DType", "zeros", "ones", "tensor", *DTYPE_NAMES]

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def test_all_lists_the_contents_in_order():
    assert qv.__all__ == ALL
    assert type(qv.__all__) is list


# What the import system gives every extension module, and our __all__.
MODULE_DUNDERS = {"__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def test_module_names_are_exactly_all_and_the_interpreters_dunders():
    assert set(dir(qv)) == set(ALL) | MODULE_DUNDERS


def test_module_identity_and_docstring():
    assert qv.__name__ == "quvarin"
    assert qv.__doc__ == ""


def test_only_the_init_symbol_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", qv.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_quvarin"]


def test_matrix_products_load_the_openblas_shipped_beside_the_module():
    code = (
        "import os, quvarin as qv\n"
        "qv.ones([2, 2]).matmul(qv.ones([2, 2]))\n"
        "print('\\n'.join({l.split()[-1] for l in open('/proc/self/maps') if 'openblas' in l}))\n"
    )
    loaded = subprocess.run([PY, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    shipped = os.path.join(os.path.dirname(os.path.realpath(qv.__file__)), "quvarin.libs")
    assert len(loaded) == 1 and os.path.dirname(os.path.realpath(loaded[0])) == shipped
    with open(qv.__file__, "rb") as module:  # no library path of the build machine
        assert b"scipy_openblas32/lib" not in module.read()


def test_the_sbom_lists_the_pinned_openblas():
    """OpenBLAS is opened at run time, so the wheel's repair tool leaves it out of its own SBOM."""
    sbom = json.loads(importlib.metadata.distribution("quvarin").read_text("sboms/openblas.cdx.json"))
    requires = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["build-system"]["requires"]
    pin = next(r for r in requires if r.startswith("scipy-openblas32==")).split("==")[1]
    [openblas] = sbom["components"]
    assert (openblas["name"], openblas["version"], openblas["purl"]) == ("OpenBLAS", pin, f"pkg:pypi/scipy-openblas32@{pin}")
    assert openblas["licenses"] == [{"license": {"id": "BSD-3-Clause"}}]


def test_a_users_type_checker_sees_the_stub(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    script = tmp_path / "user_script.py"
    script.write_text(
        "import quvarin as q\n"
        "reveal_type(q.ones([2]).slice_rows(0))\n"
        "q.ones([2]).apply_sgd_step('fast')\n"
        "import numpy as np\n"
        "q.tensor(np.ones(4), [2, 2])\n"
    )
    result = subprocess.run([PY, "-m", "mypy", "--strict", "--no-incremental", script.name],
                            cwd=tmp_path, capture_output=True, text=True)
    lines = result.stdout.splitlines()
    assert any(":2: note: Revealed type is \"quvarin.Tensor\"" in line for line in lines), result.stdout
    assert any(":3: error: Argument 1 to \"apply_sgd_step\"" in line for line in lines), result.stdout
    assert not any(":5: error:" in line for line in lines), result.stdout  # a NumPy array's buffer


def test_api_reference_is_the_one_generated_from_the_stub():
    root = Path(__file__).resolve().parent.parent
    generated = subprocess.run([PY, str(root / "tools" / "api-reference")], capture_output=True, text=True, check=True)
    assert generated.stdout == (root / "docs" / "api.md").read_text(encoding="utf-8"), "run make docs"


def test_documented_thresholds_are_the_dispatchs():
    if isinstance(DISPATCH_THRESHOLDS, str):
        pytest.skip(DISPATCH_THRESHOLDS)
    streaming = {name: count * 4 // 2**20 for name, (path, count) in DISPATCH_THRESHOLDS.items()
                 if path == "streaming stores"}  # in MiB of float32 output
    assert set(streaming) == {"add_values", "multiply_values", "relu_values"}, "the README names each streaming loop"
    assert streaming["add_values"] == streaming["multiply_values"], "the README gives + and * one size"
    parallel_sigmoid = DISPATCH_THRESHOLDS["sigmoid"][1]
    readme = " ".join((ROOT / "README.md").read_text(encoding="utf-8").split())
    assert f"`sigmoid` of {parallel_sigmoid} elements or more runs on an OpenMP pool" in readme
    assert (f"**Large `+` and `*`** write outputs of {streaming['add_values']} MiB or more, and **relu** outputs "
            f"of {streaming['relu_values']} MiB or more, with streaming stores") in readme
    stub = (ROOT / "quvarin-py" / "quvarin.pyi").read_text(encoding="utf-8")
    assert int(STUB_PARALLEL_SIGMOID.search(stub)[1]) == parallel_sigmoid  # and docs/api.md is made from the stub


def test_package_description_links_to_the_release_tag_of_this_version():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    links = re.findall(r"https://github\.com/quvarin/quvarin[^)\s]*", (ROOT / project["readme"]).read_text(encoding="utf-8"))
    links.append(project["urls"]["Documentation"])
    tagged = re.compile(rf"https://github\.com/quvarin/quvarin/(blob|tree)/v{re.escape(project['version'])}/.+")
    assert [link for link in links if not tagged.fullmatch(link)] == []


# --- classes ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("cls, name", [(qv.Tensor, "Tensor"), (qv.Device, "Device"), (qv.DType, "DType")])
def test_class_identity_and_flags(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "quvarin"
    assert repr(cls) == f"<class 'quvarin.{name}'>"
    assert cls.__mro__ == (cls, object)
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("cls", [qv.Tensor, qv.Device, qv.DType])
def test_classes_are_not_subclassable(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


def instances():
    return [qv.zeros([2]), qv.Device("cpu"), qv.float32]


@pytest.mark.parametrize("index", range(3), ids=["Tensor", "Device", "DType"])
def test_instances_have_no_dict_weakref_or_gc(index):
    obj = instances()[index]
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("cls", [qv.Tensor, qv.Device, qv.DType])
def test_object_new_cannot_bypass_the_constructor(cls):
    # a Tensor made without a record would be unusable memory
    with pytest.raises(TypeError):
        object.__new__(cls)


@pytest.mark.parametrize("action", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"])
def test_tensor_cannot_be_copied_or_pickled_behind_its_back(action):
    t = qv.ones([2])
    with pytest.raises(TypeError):
        action(t)
    assert t.data() == [1.0, 1.0]


def test_docstrings_and_text_signatures_of_classes():
    assert qv.Tensor.__text_signature__ == "()"
    assert qv.Tensor.__doc__ in ("", None)
    assert qv.Device.__text_signature__ == "(name)"
    assert qv.Device.__doc__ in ("", None)
    assert qv.DType.__doc__ is None
    assert qv.DType.__text_signature__ is None


@pytest.mark.parametrize(
    "name, signature",
    [
        ("zeros", "(shape, dtype=None, device=None, requires_grad=False)"),
        ("ones", "(shape, dtype=None, device=None, requires_grad=False)"),
        ("tensor", "(data, shape, dtype=None, device=None, requires_grad=False)"),
    ],
)
def test_module_functions(name, signature):
    fn = getattr(qv, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "quvarin"
    assert fn.__self__ is qv
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None
    params = inspect.signature(fn).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


DOCSTRINGS = {
    "data": "Returns the raw data as a flat Python list of floats.",
    "tolist": "Alias for data() \u2014 returns the tensor's contents as a flat list.",
    "slice_rows": (
        "Extracts a single row (or contiguous range of rows) from a 2D+ tensor.\n"
        "\n"
        "For a tensor of shape [N, ...], slice_rows(i) returns a tensor of shape [...],\n"
        "containing a copy of the data at row i.\n"
        "\n"
        "This is the primary mechanism for DataLoader batch construction."
    ),
}


@pytest.mark.parametrize("name", sorted(TENSOR_METHODS))
def test_tensor_method_signatures_and_docstrings(name):
    method = qv.Tensor.__dict__[name]
    assert type(method).__name__ == "method_descriptor"
    assert method.__text_signature__ == "(" + ", ".join(("$self",) + TENSOR_METHODS[name]) + ")"
    assert method.__doc__ == DOCSTRINGS.get(name)


@pytest.mark.parametrize("name", sorted(TENSOR_STATIC_METHODS))
def test_static_methods(name):
    assert isinstance(qv.Tensor.__dict__[name], staticmethod)
    fn = getattr(qv.Tensor, name)
    assert fn.__text_signature__ == "(" + ", ".join(TENSOR_STATIC_METHODS[name]) + ")"
    assert fn.__doc__ is None
    assert getattr(qv.zeros([1]), name) == fn


@pytest.mark.parametrize("name", TENSOR_PROPERTIES)
def test_properties_are_read_only_getsets(name):
    prop = qv.Tensor.__dict__[name]
    assert type(prop).__name__ == "getset_descriptor"
    assert prop.__doc__ is None
    t = qv.zeros([2])
    before = getattr(t, name)
    with pytest.raises(AttributeError):
        setattr(t, name, before)
    with pytest.raises(AttributeError):
        delattr(t, name)
    assert getattr(t, name) == before
    with pytest.raises(TypeError):  # the descriptor checks its receiver
        prop.__get__(5, int)


def test_tensor_members_are_exactly_the_listed_ones():
    listed = {*TENSOR_PROPERTIES, *TENSOR_METHODS, *TENSOR_STATIC_METHODS, *TENSOR_SLOTS}
    assert {n for n in qv.Tensor.__dict__ if not n.startswith("__")} == {n for n in listed if not n.startswith("__")}
    for present in (n for n in listed if n.startswith("__")):
        assert present in qv.Tensor.__dict__, present
    for absent in ["__matmul__", "__sub__", "__truediv__", "__neg__", "__iadd__", "__imul__", "__len__", "__iter__",
                   "__init__", "__dict__", "__weakref__"]:
        assert absent not in qv.Tensor.__dict__, absent


def test_tensor_has_default_identity_semantics():
    t, u = qv.zeros([1]), qv.zeros([1])
    assert qv.Tensor.__eq__ is object.__eq__
    assert qv.Tensor.__hash__ is object.__hash__
    assert qv.Tensor.__repr__ is object.__repr__
    assert qv.Tensor.__str__ is object.__str__
    assert t == t and t != u
    assert hash(t) == hash(t)
    assert re.fullmatch(r"<quvarin\.Tensor object at 0x[0-9a-f]+>", repr(t))
    assert str(t) == repr(t)
    with pytest.raises(TypeError):
        len(t)
    with pytest.raises(TypeError):
        iter(t)
    assert bool(qv.zeros([0])) is True


def test_dtype_and_device_contents():
    assert {n for n in qv.DType.__dict__ if not n.startswith("__")} == set()
    assert {n for n in qv.Device.__dict__ if not n.startswith("__")} == set()
    assert "__str__" in qv.DType.__dict__ and "__str__" in qv.Device.__dict__
    for cls in (qv.DType, qv.Device):
        assert cls.__eq__ is object.__eq__
        assert cls.__hash__ is object.__hash__
        assert cls.__repr__ is object.__repr__


# --- DType ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", DTYPE_NAMES)
def test_dtype_attributes(name):
    d = getattr(qv, name)
    assert type(d) is qv.DType
    assert str(d) == name
    assert d is getattr(qv, name)
    assert re.fullmatch(r"<quvarin\.DType object at 0x[0-9a-f]+>", repr(d))


def test_dtype_objects_are_distinct_and_compare_by_identity():
    objs = [getattr(qv, n) for n in DTYPE_NAMES]
    assert len({id(o) for o in objs}) == 5
    assert all((a == b) == (a is b) for a in objs for b in objs)
    assert len({hash(o) for o in objs}) == 5


@pytest.mark.parametrize("args", [(), ("float32",), (0,)])
def test_dtype_cannot_be_instantiated(args):
    with pytest.raises(TypeError):
        qv.DType(*args)


# --- Device -----------------------------------------------------------------------------------------


class StrSub(str):
    pass


@pytest.mark.parametrize("call", [lambda: qv.Device("cpu"), lambda: qv.Device(name="cpu"), lambda: qv.Device(StrSub("cpu"))])
def test_device_accepts_cpu(call):
    dev = call()
    assert type(dev) is qv.Device
    assert str(dev) == "cpu"


def test_device_objects_are_new_each_time():
    a, b = qv.Device("cpu"), qv.Device("cpu")
    assert a is not b
    assert a != b
    assert a == a


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        *[((name,), {}, ValueError, INVALID_DEVICE.format(name))
          for name in ["CPU", " cpu", "", "cuda", "cpu\x00", "cpu ", "cp\u00fc"]],
        ((), {}, TypeError, missing_argument("Device.__new__", "name")),
        (("cpu", "x"), {}, TypeError, "Device.__new__() takes 1 positional arguments but 2 were given"),
        (("cpu", "x", "y"), {}, TypeError, "Device.__new__() takes 1 positional arguments but 3 were given"),
        ((), {"nam": "cpu"}, TypeError, "Device.__new__() got an unexpected keyword argument 'nam'"),
        (("cpu",), {"name": "cpu"}, TypeError, "Device.__new__() got multiple values for argument 'name'"),
        ((1,), {}, TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        ((None,), {}, TypeError, "argument 'name': 'None' is not an instance of 'str'"),
        ((b"cpu",), {}, TypeError, "argument 'name': 'bytes' object is not an instance of 'str'"),
        ((Outer.Inner(),), {}, TypeError, "argument 'name': 'Outer.Inner' object is not an instance of 'str'"),
        ((), {"name": 3.0}, TypeError, "argument 'name': 'float' object is not an instance of 'str'"),
    ],
)
def test_device_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        qv.Device(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_device_with_unencodable_text_fails_cleanly():
    with pytest.raises(ValueError):
        qv.Device("\udc80")


# --- Tensor constructor -----------------------------------------------------------------------------


def test_tensor_constructor_panics():
    with pytest.raises(BaseException) as info:
        qv.Tensor()
    exc = info.value
    assert is_panic(exc)
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == (CONSTRUCTOR_REFUSED,)
    assert str(exc) == CONSTRUCTOR_REFUSED


def test_panic_type_is_one_class():
    with pytest.raises(BaseException) as first:
        qv.Tensor()
    with pytest.raises(BaseException) as second:
        qv.Tensor.__new__(qv.Tensor)
    assert type(first.value) is type(second.value) is PanicException
    assert not hasattr(qv, "PanicException")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "Tensor.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "Tensor.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "Tensor.__new__() got an unexpected keyword argument 'x'"),
        (([1.0], [1]), {}, "Tensor.__new__() takes 0 positional arguments but 2 were given"),
    ],
)
def test_tensor_constructor_binding_errors_come_first(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        qv.Tensor(*args, **kwargs)
    assert str(info.value) == message


def test_interpreter_usable_after_panic():
    for _ in range(3):
        with pytest.raises(BaseException):
            qv.Tensor()
    assert qv.ones([2]).data() == [1.0, 1.0]


# --- second execution of the module -----------------------------------------------------------------


def test_second_module_instance_shares_types_but_not_dtypes():
    found = importlib.util.find_spec("quvarin")
    other = importlib.util.module_from_spec(found)
    found.loader.exec_module(other)
    assert other is not qv
    assert other.__all__ == ALL and other.__all__ is not qv.__all__
    assert other.Tensor is qv.Tensor and other.DType is qv.DType and other.Device is qv.Device
    assert other.float32 is not qv.float32
    assert str(other.int8) == "int8"
    t = other.zeros([2], dtype=other.int8)
    assert type(t) is qv.Tensor and t.dtype == "int8"
    assert qv.zeros([1], dtype=other.float16).dtype == "float16"


FIRST_USES_AT_ONCE = r"""
import _imp, gc, importlib.util, threading, time

spec = importlib.util.find_spec("quvarin")
if first_use == "Tensor":  # two module objects executed at once: each asks for the Tensor type first
    modules = [importlib.util.module_from_spec(spec) for _ in range(2)]
    uses = [lambda module=module: _imp.exec_dynamic(module) for module in modules]
    base, module_name = object, "quvarin"
else:  # the types exist; the exception class is made by the first refusal
    import quvarin

    def refuse():
        try:
            quvarin.Tensor()
        except BaseException:
            pass

    uses = [refuse, refuse]
    base, module_name = BaseException, "pyo3_runtime"


def classes():
    return [c for c in base.__subclasses__() if c.__module__ == module_name and c.__qualname__ == first_use]


paused, go = threading.Event(), threading.Event()


def pause_inside_the_first_build(phase, info):
    # A collection on the first thread while the class does not exist yet: in the middle of
    # building it. Sleeping hands the interpreter to the second thread.
    if phase == "start" and threading.current_thread() is first and not paused.is_set() and not classes():
        paused.set()
        go.set()
        gc.disable()  # a second class, made and dropped, stays alive to be counted
        time.sleep(0.3)


def run_first():
    gc.set_threshold(1)  # the next allocation of a tracked object collects
    try:
        uses[0]()
    finally:
        go.set()


def run_second():
    go.wait()
    uses[1]()


gc.callbacks.append(pause_inside_the_first_build)
first, second = threading.Thread(target=run_first), threading.Thread(target=run_second)
first.start()
second.start()
first.join()
second.join()
print(paused.is_set(), len(classes()))
"""


@pytest.mark.parametrize("first_use", ["Tensor", "PanicException"])
def test_concurrent_first_uses_make_a_class_once(first_use):
    """The second thread asks for the class while the first is building it (and has let go of the
    interpreter): it must wait for that class instead of making its own."""
    status, stdout, stderr = run_script(f"first_use = {first_use!r}\n" + FIRST_USES_AT_ONCE, 60)
    assert status == 0, stderr
    paused, count = stdout.split()
    if paused != "True":
        pytest.skip("this interpreter collects garbage only between bytecodes, never inside the build")
    assert count == "1"


def test_fresh_import_has_the_full_surface():
    code = (
        "import quvarin, sys\n"
        "assert quvarin.__all__ == %r\n"
        "assert quvarin.ones([2]).data() == [1.0, 1.0]\n"
        "print('ok')\n" % (ALL,)
    )
    out = subprocess.run([PY, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can run without the GIL")
def test_import_keeps_a_free_threaded_interpreter_without_the_gil():
    environment = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    code = "import sys, quvarin\nquvarin.ones([2]).sum()\nprint(sys._is_gil_enabled())"
    out = subprocess.run([PY, "-c", code], capture_output=True, text=True, timeout=60, env=environment)
    assert (out.returncode, out.stdout, out.stderr) == (0, "False\n", "")
