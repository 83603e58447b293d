"""Which arrays the two drivers accept and how their elements are paired:
shapes, orders, strides, byte order, alignment, subclasses, shared memory and
arrays changed by the caller's own code while the scalar map is read."""

import warnings

import numpy as np
import pytest

import _prandel

NUMPY2 = int(np.__version__.split(".")[0]) >= 2
NOT_CONTIGUOUS = "Input array must be contiguous"
BAD_OUT = "Output array must be contiguous and writeable"
BAD_MAP = ("scalar_map_entries must be a dict or an iterable of "
           "(source, target) pairs")


def cast(arr, dtype, entries=None, rounding="nearest-even"):
    return _prandel.cast_array(arr, target_dtype=dtype, rounding_mode=rounding,
                               scalar_map_entries=entries)


def cast_into(arr, out, entries=None, rounding="nearest-even"):
    return _prandel.cast_array_into(arr, out, rounding_mode=rounding,
                                    scalar_map_entries=entries)


def not_an_array_text(type_name):
    return f"'{type_name}' object cannot be converted to 'PyArray<T, D>'"


def check_both(arr, target):
    """Both functions give NumPy's astype, element for element by index."""
    expected = arr.astype(target)
    result = cast(arr, target)
    assert type(result) is np.ndarray and result.flags.c_contiguous
    assert result.dtype == expected.dtype and result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)
    out = np.full(arr.shape, 77, dtype=target)
    assert cast_into(arr, out) is None
    np.testing.assert_array_equal(out, expected)


# --- shapes and orders -----------------------------------------------------

SHAPES = [(), (0,), (3, 0), (0, 4, 5), (1,), (7,), (2, 3), (1, 5), (5, 1),
          (2, 3, 4)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("order", ["C", "F"])
def test_shapes_and_orders_pair_by_index(shape, order):
    arr = np.asarray(np.arange(np.prod(shape, dtype=int)).reshape(shape) % 100,
                     dtype=np.int16, order=order)
    check_both(arr, "float32")
    check_both(arr.astype(np.float64, order=order), "int8")


def test_f_ordered_failure_writes_in_index_order():
    arr = np.asfortranarray(np.arange(12, dtype=np.float64).reshape(3, 4))
    arr[1, 2] = np.nan  # C index 6, memory position 7
    out = np.full((3, 4), 99, dtype=np.int32)
    with pytest.raises(ValueError):
        cast_into(arr, out)
    assert out.ravel().tolist() == [0, 1, 2, 3, 4, 5] + [99] * 6


def test_f_ordered_view_of_other_memory():
    base = np.arange(60, dtype=np.uint8).reshape(3, 4, 5)
    arr = base.T  # F-contiguous view, C-contiguous base
    assert arr.flags.f_contiguous and not arr.flags.c_contiguous
    check_both(arr, "int64")


def test_more_than_32_dimensions():
    if not NUMPY2:
        pytest.skip("NumPy 1.x arrays have at most 32 dimensions")
    shape = (2,) + (1,) * 38 + (3,)
    arr = np.arange(6, dtype=np.int32).reshape(shape)
    check_both(arr, "float64")
    check_both(np.asfortranarray(arr), "uint16")
    assert cast(np.zeros((1,) * 64, dtype=np.int8), "int8").ndim == 64


# --- strides ---------------------------------------------------------------

def strided_views():
    c2d = np.arange(20, dtype=np.int32).reshape(4, 5)
    return {
        "every second": np.arange(20, dtype=np.int32)[::2],
        "reversed": np.arange(20, dtype=np.int32)[::-1],
        "column slice": c2d[:, 1:3],
        "column": c2d[:, 2],
        "broadcast": np.broadcast_to(np.int32(3), (4,)),
    }


@pytest.mark.parametrize("name", list(strided_views()))
def test_non_contiguous_input_refused_before_map(name):
    arr = strided_views()[name]
    for call in (lambda: cast(arr, "int64", entries=5),
                 lambda: cast_into(arr, np.zeros(arr.shape, np.int64),
                                   entries=5)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == NOT_CONTIGUOUS


def strided_outs():
    c2d = np.full((4, 5), 8, dtype=np.int32)
    return {
        "every second": np.full(20, 8, dtype=np.int32)[::2],
        "reversed": np.full(20, 8, dtype=np.int32)[::-1],
        "column slice": c2d[:, 1:3],
        "F-ordered": np.asfortranarray(c2d),
        "zero stride": np.lib.stride_tricks.as_strided(
            np.full(1, 8, dtype=np.int32), shape=(4,), strides=(0,)),
    }


@pytest.mark.parametrize("name", list(strided_outs()))
def test_non_contiguous_out_refused_untouched(name):
    out = strided_outs()[name]
    arr = np.ones(out.shape, dtype=np.int8)
    with pytest.raises(ValueError) as caught:
        cast_into(arr, out)
    assert str(caught.value) == BAD_OUT
    assert (out == 8).all()


def test_contiguous_views_inside_larger_buffers():
    c2d = np.arange(20, dtype=np.int16).reshape(4, 5)
    check_both(np.arange(20, dtype=np.int16)[10:], "int32")
    check_both(c2d[1:], "uint8")
    out = np.zeros((4, 5), dtype=np.float32)
    cast_into(c2d[1:2], out[2:3])  # one row kept 2-d
    assert out[2].tolist() == [5, 6, 7, 8, 9] and not out[[0, 1, 3]].any()


def test_f_ordered_out_refused_after_map_error():
    arr = np.zeros((2, 3), dtype=np.int32)
    out = np.zeros((2, 3), dtype=np.int32, order="F")
    with pytest.raises(TypeError) as caught:
        cast_into(arr, out, entries=5)
    assert str(caught.value) == BAD_MAP
    with pytest.raises(ValueError) as caught:
        cast_into(arr, out)
    assert str(caught.value) == BAD_OUT


def test_read_only_out_refused_untouched():
    arr = np.arange(6, dtype=np.float64)
    out = np.full(6, 5, dtype=np.int8)
    out.flags.writeable = False
    frozen = np.frombuffer(bytes(6), dtype=np.int8)
    for target in (out, frozen):
        before = target.copy()
        with pytest.raises(ValueError) as caught:
            cast_into(arr, target)
        assert str(caught.value) == BAD_OUT
        np.testing.assert_array_equal(target, before)


def test_packed_struct_field_out_refused():
    record = np.zeros(4, dtype=[("a", np.int8), ("b", np.int32)])
    out = record["b"]
    with pytest.raises(ValueError) as caught:
        cast_into(np.ones(4, dtype=np.int32), out)
    assert str(caught.value) == BAD_OUT


# --- dtype equivalence -----------------------------------------------------

@pytest.mark.parametrize("dtype", ["int16", "uint32", "int64", "float16",
                                   "float32", "float64"])
def test_byte_swapped_arrays_refused(dtype):
    swapped = np.dtype(dtype).newbyteorder()
    assert swapped.name == dtype
    arr = np.arange(4, dtype=swapped)
    with pytest.raises(TypeError) as caught:  # before layout and map
        cast(arr[::2], "int8", entries=5)
    assert str(caught.value) == not_an_array_text("ndarray")
    out = np.zeros(4, dtype=swapped)
    with pytest.raises(TypeError) as caught:
        cast_into(np.arange(4, dtype=dtype), out)
    assert str(caught.value) == not_an_array_text("ndarray")
    assert not out.any()
    with pytest.raises(TypeError) as caught:  # the map is read first
        cast_into(np.arange(4, dtype=dtype), out, entries=5)
    assert str(caught.value) == BAD_MAP


def test_equivalent_type_number_accepted():
    # 'q' and 'l' (or 'i' and 'l' elsewhere) may differ as type numbers while
    # NumPy holds them equivalent.
    for code in "bhilqBHILQefd":
        dtype = np.dtype(code)
        check_both(np.arange(5, dtype=dtype), "float64")


# --- alignment -------------------------------------------------------------

def misaligned(dtype, values):
    dtype = np.dtype(dtype)
    buffer = bytearray(len(values) * dtype.itemsize + 1)
    view = np.frombuffer(buffer, dtype=dtype, offset=1, count=len(values))
    view[...] = values
    return view


@pytest.mark.parametrize("source,target", [
    ("int16", "float64"), ("float64", "int32"), ("float32", "float16"),
    ("uint64", "uint64"), ("int32", "int8"), ("float16", "float32"),
    ("uint16", "float16")])
def test_misaligned_input_and_output(source, target):
    values = [0, 1, 5, 100, 42, 17, 3, 126] * 9
    arr = misaligned(source, values)
    assert not arr.flags.aligned
    expected = arr.astype(target)
    np.testing.assert_array_equal(cast(arr, target), expected)
    out = misaligned(target, [0] * len(values))
    cast_into(arr, out)
    np.testing.assert_array_equal(out, expected)


# --- subclasses ------------------------------------------------------------

class Tagged(np.ndarray):
    pass


class ReportedShape(np.ndarray):
    """An array whose `shape` attribute says whatever `reported` holds."""
    reported = None

    @property
    def shape(self):
        reported = type(self).reported
        if isinstance(reported, BaseException):
            raise reported
        return reported


def reporting(arr, reported):
    cls = type("Reporting", (ReportedShape,), {"reported": reported})
    return arr.view(cls)


def test_subclass_accepted_result_is_plain():
    arr = np.arange(6, dtype=np.int8).reshape(2, 3).view(Tagged)
    result = cast(arr, "float32")
    assert type(result) is np.ndarray
    assert result.tolist() == [[0, 1, 2], [3, 4, 5]]
    out = np.zeros((2, 3), np.float64).view(Tagged)
    cast_into(arr, out)
    assert out.tolist() == [[0, 1, 2], [3, 4, 5]]


def test_subclass_named_in_type_error():
    arr = np.arange(3, dtype=">i4").view(Tagged)
    with pytest.raises(TypeError) as caught:
        cast(arr, "int8")
    assert str(caught.value) == not_an_array_text("Tagged")


@pytest.mark.parametrize("dtype", ["int8", "float16", "float64", "uint32"])
def test_reported_shape_larger_leaves_zero_tail(dtype):
    count = 200_000
    # Leave freed blocks full of ones for the new array to land on.
    for _ in range(3):
        scratch = np.ones(count, dtype=dtype)
        del scratch
    arr = reporting(np.arange(1, 11, dtype=np.int16), (count,))
    result = cast(arr, dtype)
    assert result.shape == (count,)
    assert result[:10].tolist() == list(range(1, 11))
    assert not result[10:].view(np.uint8).any()  # no -0.0 either


def test_reported_shape_smaller_converts_prefix():
    arr = reporting(np.arange(12, dtype=np.int32), [2, 3])
    assert cast(arr, "int64").tolist() == [[0, 1, 2], [3, 4, 5]]


class ShapeError(Exception):
    pass


@pytest.mark.parametrize("reported,error,message", [
    ("3", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ([2, -1], OverflowError, None),
    ([2, 1.5], TypeError, None),
])
def test_reported_shape_errors(reported, error, message):
    arr = reporting(np.arange(3, dtype=np.int32), reported)
    with pytest.raises(error) as caught:
        cast(arr, "int8")
    if message is not None:
        assert str(caught.value) == message


def test_shape_read_error_passes_through_after_map():
    raised = ShapeError("no shape")
    arr = reporting(np.arange(3, dtype=np.int32), raised)
    with pytest.raises(ShapeError) as caught:
        cast(arr, "int8")
    assert caught.value is raised
    with pytest.raises(TypeError) as caught:
        cast(arr, "int8", entries=5)
    assert str(caught.value) == BAD_MAP


# --- shared memory ---------------------------------------------------------

def test_out_is_arr_converts_in_place():
    arr = np.array([1, 2, 1, 3] * 300, dtype=np.int32)
    cast_into(arr, arr)
    assert arr.tolist() == [1, 2, 1, 3] * 300
    cast_into(arr, arr, entries=[(1, 2)])
    assert arr.tolist() == [2, 2, 2, 3] * 300
    cast_into(arr, arr.view(), entries=[(3, 5)])
    assert arr.tolist() == [2, 2, 2, 5] * 300
    half = np.array([1.5, np.nan, -0.0] * 400, dtype=np.float16)
    bits = half.view(np.uint16).copy()
    cast_into(half, half, rounding="towards-zero")
    assert half.view(np.uint16).tolist() == bits.tolist()


@pytest.mark.parametrize("source,target", [
    ("float16", "float16"), ("float32", "float32"), ("float64", "float64"),
    ("int32", "float32"), ("int64", "float64"), ("uint16", "float16")])
@pytest.mark.parametrize("entries", [[(7, 70)], [(7, 70), (9, -1), (7, 3)]])
def test_map_applied_in_place(source, target, entries):
    # Hits and conversion over memory that is both input and output: every
    # element is read before anything is written over it.
    arr = (np.arange(1000) % 50).astype(source)
    expected = arr.astype(target)
    for key, value in reversed(entries):
        expected[arr == key] = value
    cast_into(arr, arr.view(target), entries=entries)
    np.testing.assert_array_equal(arr.view(target), expected)


def test_same_address_other_type():
    arr = np.arange(-600, 600, dtype=np.int32)
    expected = arr.astype(np.float32)
    cast_into(arr, arr.view(np.float32))
    np.testing.assert_array_equal(arr.view(np.float32), expected)


@pytest.mark.parametrize("source,target", [
    ("float32", "int32"), ("float64", "int64"), ("float16", "int16"),
    ("float64", "uint64"), ("int32", "uint32")])
@pytest.mark.parametrize("k", [0, 300, 999])
def test_same_address_failure_keeps_rest(source, target, k):
    # Converted in place without a copy: each element is read before it is
    # written, and nothing at or after the failure is written.
    arr = np.full(1000, 5, dtype=source)
    arr[k] = np.nan if source.startswith("float") else -1
    raw = np.dtype(f"u{arr.itemsize}")
    bits = arr.view(raw).copy()
    with pytest.raises(ValueError):
        cast_into(arr, arr.view(target))
    assert (arr.view(target)[:k] == 5).all()
    assert (arr.view(raw)[k:] == bits[k:]).all()


def overlapping(source, target, count, out_offset, arr_offset):
    """`arr` and `out` views of one buffer, starting at the given byte
    offsets."""
    arr_bytes = count * np.dtype(source).itemsize
    out_bytes = count * np.dtype(target).itemsize
    buffer = np.zeros(max(arr_offset + arr_bytes, out_offset + out_bytes),
                      dtype=np.uint8)
    arr = buffer[arr_offset:arr_offset + arr_bytes].view(source)
    out = buffer[out_offset:out_offset + out_bytes].view(target)
    arr[...] = (np.arange(count) * 7 + 3) % 100
    return arr, out


# Without a private copy of the input most of these read input elements that
# the conversion has already overwritten.
@pytest.mark.parametrize("source,target,out_offset,arr_offset", [
    ("int16", "int8", 1, 0),
    ("int16", "uint8", 2, 0),
    ("int8", "int16", 0, 0),
    ("int8", "int16", 1, 0),
    ("int8", "int16", 0, 1000),
    ("float64", "float32", 4000, 0),
    ("float64", "float32", 0, 0),
    ("float32", "float64", 0, 0),
    ("float32", "float64", 0, 4000),
    ("uint16", "uint16", 2, 0),
    ("uint16", "uint16", 0, 2),
    ("int32", "float32", 4, 0),
])
def test_overlap_equals_unshared_copy(source, target, out_offset, arr_offset):
    arr, out = overlapping(source, target, 1000, out_offset, arr_offset)
    expected = arr.copy().astype(target)
    cast_into(arr, out)
    np.testing.assert_array_equal(out, expected)


class Finalizing(np.ndarray):
    finalized = 0

    def __array_finalize__(self, obj):
        type(self).finalized += 1


def test_private_copy_runs_no_subclass_code():
    arr = np.asfortranarray(np.arange(12, dtype=np.int16).reshape(3, 4))
    arr = arr.view(Finalizing)
    before = Finalizing.finalized
    result = cast(arr, "int32")
    out = np.zeros((3, 4), dtype=np.int32)
    cast_into(arr, out)
    assert Finalizing.finalized == before
    assert result.tolist() == out.tolist() == np.arange(12).reshape(3,
                                                                   4).tolist()


# --- arrays changed while the scalar map is read ---------------------------

def set_in_place(arr, **attributes):
    """Sets shape, strides or dtype on `arr` itself, in the order given: the
    hostile caller these tests play. NumPy deprecates these setters (strides
    from 2.4, shape and dtype from 2.5) but still obeys them; only that
    warning is silenced."""
    with warnings.catch_warnings():
        warnings.filterwarnings(
            "ignore", category=DeprecationWarning,
            message=r"Setting the (shape|strides|dtype) on a NumPy array")
        for name, value in attributes.items():
            setattr(arr, name, value)


class Hook:
    """A map key whose __index__ runs `action` and then gives `value`."""

    def __init__(self, action, value=-1):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value


NEW_SHAPES = [(0,), (100,), (4000,), (500_000,), (100_000, 2), (2, 100_000)]


def shape_text(shape):
    return "[" + ", ".join(str(size) for size in shape) + "]"


@pytest.mark.parametrize("new_shape", NEW_SHAPES, ids=str)
@pytest.mark.parametrize("changed", ["arr", "out", "both"])
def test_shape_change_during_map_into(changed, new_shape):
    count = 200_000  # large enough for its own mapping, returned when freed
    arr = np.arange(count, dtype=np.int32) % 1000
    out = np.full(count, 77, dtype=np.int64)
    victims = {"arr": [arr], "out": [out], "both": [arr, out]}[changed]

    def change():
        for victim in victims:
            victim.resize(new_shape, refcheck=False)

    entries = [(Hook(change), 5)]
    if changed == "both":
        cast_into(arr, out, entries=entries)
        np.testing.assert_array_equal(out, arr.astype(np.int64))
        return
    with pytest.raises(ValueError) as caught:
        cast_into(arr, out, entries=entries)
    in_shape, out_shape = ((new_shape, (count,)) if changed == "arr"
                           else ((count,), new_shape))
    assert str(caught.value) == (f"Shape mismatch: input shape "
                                 f"{shape_text(in_shape)} != output shape "
                                 f"{shape_text(out_shape)}")
    assert (out.ravel()[:count] == 77).all()


@pytest.mark.parametrize("new_shape", NEW_SHAPES, ids=str)
def test_shape_change_during_map_alloc(new_shape):
    arr = np.arange(200_000, dtype=np.int32) % 1000
    entries = [(Hook(lambda: arr.resize(new_shape, refcheck=False)), 5)]
    result = cast(arr, "float64", entries=entries)
    assert result.shape == new_shape
    np.testing.assert_array_equal(result, arr.astype(np.float64))


class ResizedByShape(np.ndarray):
    """An array owning its memory whose `shape` attribute resizes it to
    `real` and reports `reported`."""
    real = reported = None

    @property
    def shape(self):
        np.ndarray.resize(self, self.real, refcheck=False)
        return self.reported


@pytest.mark.parametrize("real, reported", [
    ((4000,), (4000,)), ((500,), (2000,)), ((500_000,), (2000,)),
], ids=["grows", "shrinks under its report", "grows over its report"])
def test_shape_attribute_resizing_the_input_alloc(real, reported):
    # cast_array reads the shape after the map; the input's count is read
    # after that code ran, from the memory it left.
    arr = ResizedByShape((2000,), dtype=np.int16)
    arr[...] = np.arange(1, 2001)
    arr.real, arr.reported = real, reported
    result = cast(arr, "int32")
    # Resizing keeps the leading values and zero-fills any growth; the rest
    # of a result longer than the input stays zero.
    expected = np.zeros(reported, np.int32)
    kept = min(real[0], reported[0], 2000)
    expected[:kept] = np.arange(1, kept + 1)
    assert type(result) is np.ndarray and result.shape == reported
    np.testing.assert_array_equal(result, expected)


def test_reshape_to_f_order_during_map():
    arr = np.arange(20_000, dtype=np.uint16).reshape(100, 200)

    def transpose_in_place():
        set_in_place(arr, strides=(2, 200))  # now F-contiguous, same shape

    out = np.zeros((100, 200), dtype=np.float32)
    cast_into(arr, out, entries=[(Hook(transpose_in_place, 65535), 1)])
    assert arr.shape == (100, 200) and arr.flags.f_contiguous
    # The first 20000 C-order elements of arr as it now stands.
    np.testing.assert_array_equal(out.ravel(), arr.ravel().astype(np.float32))


def test_retype_during_map_refused():
    arr = np.arange(20_000, dtype=np.int32)

    def retype():
        set_in_place(arr, dtype=np.int16)

    for call in (lambda out: cast_into(arr, out, entries=[(Hook(retype), 1)]),
                 lambda out: cast(arr, "int64", entries=[(Hook(retype), 1)])):
        set_in_place(arr, dtype=np.int32)
        out = np.full(20_000, 77, dtype=np.int64)
        with pytest.raises(TypeError) as caught:
            call(out)
        assert str(caught.value) == not_an_array_text("ndarray")
        assert (out == 77).all()


def restrided_map(arr):
    """A map whose key leaves `arr` with a stride-0 axis."""
    def restride():
        set_in_place(arr, shape=(arr.size // 2, 2), strides=(8, 0))
    return [(Hook(restride), 1)]


def test_strided_during_map_refused():
    arr = np.arange(20_000, dtype=np.int32)
    out = np.full(20_000, 77, dtype=np.int64)
    with pytest.raises(ValueError) as caught:
        cast_into(arr, out, entries=restrided_map(arr))
    assert str(caught.value) == NOT_CONTIGUOUS
    assert (out == 77).all()
    arr = np.arange(20_000, dtype=np.int32)
    with pytest.raises(ValueError) as caught:
        cast(arr, "int64", entries=restrided_map(arr))
    assert str(caught.value) == NOT_CONTIGUOUS
