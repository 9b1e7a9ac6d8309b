"""Float32 CPU tensors with reverse-mode automatic differentiation.

Tensors are made by zeros(), ones() and tensor(), computed on with the Tensor
methods and the + and * operators, differentiated with backward() and updated
with apply_sgd_step(). Errors of the computation are ValueErrors whose text
starts with their kind: "ShapeMismatch: ...", "DTypeMismatch: ...",
"AutogradError: ...".

Some refusals raise PanicException (its class is not a module attribute). It
derives from BaseException, not Exception, so "except Exception" does not
catch it.

Every result but the forward matrix product is the same bits on every CPU,
thread count and build: each sum runs in index order and each product and
addition is rounded in turn; sigmoid gives the C library's expf bits (glibc's
agree on x86-64 and aarch64). The forward product of matmul() is OpenBLAS's
SGEMM, whose kernel follows the CPU, so its last bits can differ between CPUs;
on one machine with the same number of threads every run gives the same bits.
"""

import sys
from collections.abc import Sequence
from typing import NoReturn, Protocol, SupportsFloat, SupportsIndex, final

__all__ = [
    "Tensor",
    "Device",
    "DType",
    "zeros",
    "ones",
    "tensor",
    "float32",
    "float16",
    "bfloat16",
    "int32",
    "int8",
]

_Number = SupportsFloat | SupportsIndex

# NumPy arrays, array.array and memoryview objects as tensor() data. A stub is
# read, never run: type checkers ship typing_extensions' types themselves.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:
    from typing_extensions import Buffer

    # NumPy's stubs declare an array's buffer from Python 3.12 on only; before,
    # an array is known by its length and its numbers.
    class _Numbers(Protocol):
        def __len__(self) -> int: ...
        def __getitem__(self, index: int, /) -> _Number: ...

    _Buffer = Buffer | _Numbers

@final
class DType:
    """An element type; the module attributes float32 ... int8 are the only instances.

    Give one as the dtype argument of zeros(), ones() or tensor(). Only float32
    tensors can be computed on: zeros() makes tensors of the other types, but
    every operation refuses them. DType() raises TypeError.
    """

    def __new__(cls) -> NoReturn: ...
    def __str__(self) -> str:
        """The type's name, for example "int8"; the same text as Tensor.dtype."""

@final
class Device:
    """A storage location; "cpu" is the only one.

    Device(name) accepts exactly "cpu" (case and blanks count) and returns a
    new object on every call; str() of it is "cpu". It is accepted as the
    device argument of zeros(), ones() and tensor().

    Raises:
        ValueError: "Invalid device string: cuda" for any other name (the name
            as given).
        TypeError: "argument 'name': 'int' object is not an instance of 'str'"
            when name is not a str.
    """

    def __new__(cls, name: str) -> Device: ...
    def __str__(self) -> str:
        """Always "cpu"."""

@final
class Tensor:
    """Made by zeros(), ones(), tensor() and by operations; never by Tensor().

    A tensor holds its elements in row-major order with a shape beside them.
    Every operation returns a new tensor; only apply_sgd_step() changes one in
    place. An operation is recorded for backward() when one of its operands
    requires gradients, and its result then requires gradients too.

    A tensor belongs to the thread that created it, and the recorded operations
    and the gradients are kept per thread: a forward pass, its backward() and
    the SGD steps happen on one thread. repr(), str(), == and hash() are those
    of object: they never show or compare the contents (use data()).

    Raises:
        PanicException: "not implemented: Please use creation functions like
            zeros or ones" from Tensor(); "assertion `left == right` failed:
            quvarin::tensor::core::Tensor is unsendable, but sent to another
            thread" and two lines naming the threads, from any use of a tensor
            on a thread that did not create it.
        RuntimeError: "Already mutably borrowed" when a tensor is used while
            its apply_sgd_step() runs (from the __float__ of its lr);
            "Already borrowed" for a second apply_sgd_step() on it there.
    """

    def __new__(cls) -> NoReturn: ...
    @property
    def shape(self) -> list[int]:
        """The size of each dimension, first dimension first, as a new list.

        [] for a 0-dimensional tensor, which holds one element.
        """

    @property
    def dtype(self) -> str:
        """The element type's name: "float32", "float16", "bfloat16", "int32" or "int8".

        A str, not a DType: compare it with "float32" or with str(quvarin.float32).
        """

    @property
    def device(self) -> str:
        """Always "cpu" (a str, not a Device)."""

    @property
    def requires_grad(self) -> bool:
        """Whether the operations on this tensor are recorded for backward().

        Set at creation, or inherited by an operation's result from its
        operands. Read-only.
        """

    def data(self) -> list[float]:
        """All elements as a new flat list of floats, the last dimension varying fastest.

        Raises:
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
        """

    def tolist(self) -> list[float]:
        """The same flat list as data(), not one nested by dimensions.

        Raises:
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
        """

    def item(self) -> float:
        """The first element as a float, typically of a loss made by sum().

        Raises:
            ValueError: "Cannot extract item from an empty tensor" for a tensor
                without elements.
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
        """

    def matmul(self, other: Tensor) -> Tensor:
        """The matrix product of two 2-D tensors: [m, k] by [k, n] gives [m, n].

        There is no @ operator. Recorded for backward() when either operand
        requires gradients. OpenBLAS's SGEMM computes it with the kernel it
        picks for the CPU, so the last bits can differ between CPUs (not
        between runs on one machine with the same number of threads); the
        gradients backward() computes from it are the same bits everywhere.

        Args:
            other: the right operand, a float32 tensor like self.

        Returns:
            A new tensor of shape [m, n].

        Raises:
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'int8'" when the two dtypes differ (the text names both);
                "DTypeMismatch: Operation expected dtype 'float32', but found
                'other CPU dtype'" when both are another type.
            ValueError: "ShapeMismatch: Operation expected shape [2, 2], but got
                [1, 2]" when an operand is not 2-D (the second list holds the
                operands' numbers of dimensions).
            ValueError: "ShapeMismatch: Operation expected shape [2, 3], but got
                [4, 5]" when the inner sizes differ (the operands' shapes).
            TypeError: "argument 'other': 'int' object is not an instance of
                'Tensor'" when other is not a tensor.
        """

    def relu(self) -> Tensor:
        """max(x, 0) of every element, as a new tensor of the same shape.

        Raises:
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
        """

    def sigmoid(self) -> Tensor:
        """1 / (1 + exp(-x)) of every element, as a new tensor of the same shape.

        From 131072 elements on, the elements are computed on an OpenMP pool
        sized by OMP_NUM_THREADS.

        Raises:
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
        """

    def sum(self) -> Tensor:
        """The sum of all elements, as a new tensor of shape [1]; item() reads it.

        The elements are added one after another in single precision, so the
        result is the same on every run. There is no sum along one dimension.

        Raises:
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
        """
    def __add__(self, other: Tensor, /) -> Tensor:
        """a + b, element by element, of two tensors of identical shape and dtype.

        There is no broadcasting and no scalar operand: t + 1 raises the
        interpreter's TypeError for unsupported operands, as do a - b and -a.
        Write a - b as a + b * minus_ones, minus_ones being
        tensor([-1.0] * n, b.shape).

        Raises:
            ValueError: "ShapeMismatch: Operation expected shape [2, 3], but got
                [3, 2]" when the shapes differ.
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'int8'" when the dtypes differ; "DTypeMismatch: Operation
                expected dtype 'float32', but found 'other CPU dtype'" when both
                are another type.
        """

    def __radd__(self, other: Tensor, /) -> Tensor: ...
    def __mul__(self, other: Tensor, /) -> Tensor:
        """a * b, element by element, of two tensors of identical shape and dtype.

        There is no broadcasting and no scalar operand: t * 2 raises the
        interpreter's TypeError for unsupported operands. Multiply by a tensor
        holding the factor instead, for example tensor([2.0] * n, t.shape).

        Raises:
            ValueError: "ShapeMismatch: Operation expected shape [2, 3], but got
                [3, 2]" when the shapes differ.
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'int8'" when the dtypes differ; "DTypeMismatch: Operation
                expected dtype 'float32', but found 'other CPU dtype'" when both
                are another type.
        """

    def __rmul__(self, other: Tensor, /) -> Tensor: ...
    def backward(self) -> None:
        """Differentiates this tensor through everything recorded on this thread.

        The tensor is seeded with ones (for a tensor of several elements, that
        is the gradient of their sum), then every operation recorded on the
        calling thread since the previous backward() is run backwards, and the
        record is cleared. The gradients replace those of the previous
        backward() on this thread. They are not exposed: apply_sgd_step() is
        their only use.

        Every recorded operation must lead to this tensor. Evaluate a model
        between training steps on copies of its parameters made without
        requires_grad, tensor(p.data(), p.shape): those forward passes record
        nothing.

        Raises:
            ValueError: "AutogradError: Cannot call backward() on a tensor where
                requires_grad is false." (the record is kept).
            ValueError: "AutogradError: Gradient missing for MatMul Output" when
                a recorded result does not lead to this tensor; ReLU, Sigmoid
                and Sum name themselves likewise, * gives "AutogradError:
                Gradient missing" and + "AutogradError: Gradient missing for
                Output ID TensorId(12)" (the result's id). The record is
                cleared all the same, and the previous gradients stay.
            ValueError: "AutogradError: Phase 3 backward engine currently only
                supports CPU Float32 seeding." for a tensor that is not float32.

        Example:
            >>> w = quvarin.tensor([1.0, 2.0], [2], requires_grad=True)
            >>> loss = (w * w).sum()
            >>> loss.backward()
            >>> w.apply_sgd_step(0.25)  # w - 0.25 * 2w
            >>> w.data()
            [0.5, 1.0]
        """

    def apply_sgd_step(self, lr: _Number) -> None:
        """One gradient-descent step in place: self - lr * d(loss)/d(self).

        The gradient is this tensor's from the last successful backward() on
        this thread. The tensor keeps its identity, shape and requires_grad, so
        the same parameter tensors serve every training step; results computed
        before the step keep their values. Nothing happens when no backward()
        has succeeded on this thread yet or when this tensor took no part in
        the last one. The gradient is not used up: a second call without a new
        backward() applies it again.

        Args:
            lr: the learning rate, an int, a float or any object with
                __float__; it is rounded to float32.

        Raises:
            ValueError: "Gradient shape mismatch" when the gradient has another
                number of elements than the tensor.
            TypeError: "argument 'lr': must be real number, not str" (the
                interpreter's conversion message after "argument 'lr': ") when
                lr is not a number.

        Example:
            >>> x = quvarin.tensor([1, 2, 3, 4, 5, 6], [2, 3])
            >>> w = quvarin.zeros([3, 1], requires_grad=True)
            >>> for step in range(3):
            ...     loss = x.matmul(w).sigmoid().sum()
            ...     loss.backward()
            ...     w.apply_sgd_step(0.1)
            >>> [round(v, 4) for v in w.data()]
            [-0.1894, -0.2797, -0.37]
        """

    def slice_rows(self, index: SupportsIndex) -> Tensor:
        """A copy of one row: index along the first dimension.

        For a tensor of shape [N, d1, ..., dk] the copy has shape [d1, ..., dk];
        for a 1-D tensor of shape [N] it has shape [1]. A negative index counts
        from the end. The copy shares nothing with this tensor and takes its
        requires_grad, but it is not recorded: gradients that reach it do not
        flow back. Mini-batches are assembled from such rows (see
        examples/data_loader.py).

        Raises:
            IndexError: "Row index 3 out of range for tensor with 3 rows" (the
                index as given, so -4 appears as -4).
            IndexError: "Cannot slice rows from a scalar tensor" for a
                0-dimensional tensor.
            ValueError: "DTypeMismatch: Operation expected dtype 'float32', but
                found 'other CPU dtype'" for a tensor that is not float32.
            TypeError: "argument 'index': 'float' object cannot be interpreted
                as an integer" (the interpreter's conversion message after
                "argument 'index': ") when index is not an integer.
            OverflowError: for an index outside the signed 64-bit range.

        Example:
            >>> m = quvarin.tensor([0, 1, 2, 3, 4, 5], [3, 2])
            >>> m.slice_rows(1).data()
            [2.0, 3.0]
            >>> m.slice_rows(-1).shape
            [2]
        """

    def __getitem__(self, key: object, /) -> NoReturn:
        """Not supported; use slice_rows().

        Raises:
            NotImplementedError: "General indexing not yet supported. Use
                slice_rows() for row selection." for every key.
        """

    def __setitem__(self, key: object, value: object, /) -> NoReturn:
        """Not supported: tensors are changed only by apply_sgd_step().

        Raises:
            NotImplementedError: "In-place indexing not yet supported."
        """

    def __delitem__(self, key: object, /) -> NoReturn:
        """Not supported.

        Raises:
            NotImplementedError: "can't delete item"
        """

    def numpy(self) -> NoReturn:
        """Not implemented; read the values with data() and shape instead.

        Raises:
            NotImplementedError: "Numpy interoperability is not yet implemented"
        """

    @staticmethod
    def from_numpy(_array: object) -> NoReturn:
        """Not implemented; use tensor(array.ravel().tolist(), list(array.shape)).

        Raises:
            NotImplementedError: "Numpy interoperability is not yet implemented"
        """

    def __dlpack__(self, _stream: object) -> NoReturn:
        """Not implemented: no data leaves through DLPack.

        Raises:
            NotImplementedError: "DLPack is not yet implemented"
        """

    def __dlpack_device__(self) -> NoReturn:
        """Not implemented: no data leaves through DLPack.

        Raises:
            NotImplementedError: "DLPack is not yet implemented"
        """

def zeros(
    shape: Sequence[SupportsIndex],
    dtype: DType | None = None,
    device: Device | None = None,
    requires_grad: bool = False,
) -> Tensor:
    """A new tensor of the given shape, filled with zeros.

    Args:
        shape: the size of each dimension, for example [2, 3]; [] makes a
            0-dimensional tensor of one element, a 0 anywhere a tensor without
            elements.
        dtype: the element type, float32 when None. Every DType is accepted
            here, but only float32 tensors can be computed on.
        device: None or Device("cpu").
        requires_grad: whether operations on the tensor are recorded for
            backward(); a bool.

    Raises:
        TypeError: "argument 'shape': Can't extract `str` to `Vec`" for a str
            shape; "argument 'shape': 'int' object is not an instance of
            'Sequence'" for a shape that is not a sequence.
        TypeError: "argument 'dtype': 'str' object is not an instance of
            'DType'", "argument 'device': 'str' object is not an instance of
            'Device'", "argument 'requires_grad': 'None' is not an instance of
            'bool'" for arguments of another class.
        OverflowError: for a negative size.
    """

def ones(
    shape: Sequence[SupportsIndex],
    dtype: DType | None = None,
    device: Device | None = None,
    requires_grad: bool = False,
) -> Tensor:
    """A new float32 tensor of the given shape, filled with ones.

    Args:
        shape: the size of each dimension, for example [2, 3]; [] makes a
            0-dimensional tensor of one element.
        dtype: None or float32.
        device: None or Device("cpu").
        requires_grad: whether operations on the tensor are recorded for
            backward(); a bool.

    Raises:
        NotImplementedError: "ones is currently only supported for float32 CPU"
            for another dtype.
        TypeError: for arguments of another class, with the texts listed
            under zeros().
        OverflowError: for a negative size.
    """

def tensor(
    data: Sequence[_Number] | _Buffer,
    shape: Sequence[SupportsIndex],
    dtype: DType | None = None,
    device: Device | None = None,
    requires_grad: bool = False,
) -> Tensor:
    """A new float32 tensor holding data in the given shape.

    Args:
        data: the values, flat, the last dimension varying fastest; ints, bools
            and objects with __float__ or __index__ are accepted. They are
            copied and rounded to float32. One-dimensional NumPy arrays,
            array.array and memoryview objects of numbers are read straight
            from their memory, at any stride; the values are those
            iterating them would give. data must be flat: pass a.ravel() for
            a 2-D array a.
        shape: the size of each dimension; the sizes multiply to len(data).
        dtype: None or float32.
        device: None or Device("cpu").
        requires_grad: whether operations on the tensor are recorded for
            backward(); a bool. Parameters to be trained need True.

    Raises:
        ValueError: "Data length 5 does not match shape capacity 6" when the
            number of values differs from the product of the sizes.
        NotImplementedError: "tensor creation currently only supports float32
            CPU" for another dtype.
        TypeError: "argument 'data': must be real number, not list" (the
            interpreter's conversion message after "argument 'data': ") for
            nested lists, arrays of two or more dimensions or other values
            that are not numbers; for arguments of another class, the texts
            listed under zeros().

    Example:
        >>> t = quvarin.tensor([1, 2, 3, 4, 5, 6], [2, 3])
        >>> t.shape, t.dtype, t.requires_grad
        ([2, 3], 'float32', False)
        >>> t.data()
        [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    """

float32: DType
"""32-bit floats: the default, and the only element type that operations compute on."""
float16: DType
"""16-bit floats: zeros() makes tensors of this type; operations refuse them."""
bfloat16: DType
"""bfloat16 (8-bit exponent, 7-bit fraction): zeros() makes tensors of this type; operations refuse them."""
int32: DType
"""32-bit integers: zeros() makes tensors of this type; operations refuse them."""
int8: DType
"""8-bit integers: zeros() makes tensors of this type; operations refuse them."""
