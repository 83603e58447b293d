"""Dtype keys, the shape test of cast_array_into and dispatch to the 121
(source, target) pairs."""

import math
import types

import numpy as np
import pytest

from _prandel import cast_array, cast_array_into
from conftest import DTYPE_NAMES, OUT_OF_RANGE_MODES, ROUNDING_MODES

NE = "nearest-even"


# --- every pair is reachable -------------------------------------------------

@pytest.mark.parametrize("target", DTYPE_NAMES)
@pytest.mark.parametrize("source", DTYPE_NAMES)
def test_every_pair_reaches_cast_array(source, target):
    arr = np.array([[0, 1, 2]], dtype=source)
    result = cast_array(arr, target_dtype=target, rounding_mode=NE)
    assert type(result) is np.ndarray
    assert result.dtype == np.dtype(target)
    np.testing.assert_array_equal(result, arr.astype(target), strict=True)


@pytest.mark.parametrize("target", DTYPE_NAMES)
@pytest.mark.parametrize("source", DTYPE_NAMES)
def test_every_pair_reaches_cast_array_into(source, target):
    arr = np.array([[0, 1, 2]], dtype=source)
    out = np.full((1, 3), 7, dtype=target)
    assert cast_array_into(arr, out, rounding_mode=NE) is None
    np.testing.assert_array_equal(out, arr.astype(target), strict=True)


# --- which modes reach a pair ------------------------------------------------

# (source, target, value, rounding_mode, out_of_range_mode, expected value)
MODE_CASES = {
    # Rounding reaches int64/uint64 -> float64; int32 -> float64 is exact.
    "int64->float64 takes rounding": (
        "int64", "float64", 2**53 + 3, "towards-zero", None, 2**53 + 2),
    "uint64->float64 takes rounding": (
        "uint64", "float64", 2**64 - 1, "towards-zero", None, 2**64 - 2**11),
    "int32->float64 is exact": (
        "int32", "float64", 2**31 - 1, "towards-zero", None, 2**31 - 1),
    # Rounding reaches integer -> float32 from 32 bits up and -> float16.
    "int32->float32 takes rounding": (
        "int32", "float32", 2**24 + 1, "towards-positive", None, 2**24 + 2),
    "int16->float16 takes rounding": (
        "int16", "float16", 2049, "towards-positive", None, 2050),
    # The out-of-range mode reaches narrowing integer pairs.
    "int16->int8 clamp": ("int16", "int8", 300, NE, "clamp", 127),
    "int16->int8 wrap": ("int16", "int8", 300, NE, "wrap", 44),
    # Float -> integer takes both.
    "float64->int8 rounding": ("float64", "int8", 2.5, "towards-positive",
                               None, 3),
    "float64->int8 wrap": ("float64", "int8", 300.25, "towards-zero", "wrap",
                           44),
    # Float -> float narrowing takes both.
    "float64->float32 rounding": (
        "float64", "float32", 1 + 2**-30, "towards-positive", None,
        1 + 2**-23),
    "float64->float32 clamp": ("float64", "float32", 1e300, NE, "clamp",
                               float("inf")),
}


@pytest.mark.parametrize(
    "source, target, value, rounding, out_of_range, expected",
    MODE_CASES.values(), ids=MODE_CASES.keys())
def test_modes_reach_the_pairs_that_use_them(source, target, value, rounding,
                                             out_of_range, expected):
    arr = np.array([value], dtype=source)
    result = cast_array(arr, target_dtype=target, rounding_mode=rounding,
                        out_of_range_mode=out_of_range)
    assert result.tolist() == [expected]
    out = np.zeros(1, dtype=target)
    cast_array_into(arr, out, rounding_mode=rounding,
                    out_of_range_mode=out_of_range)
    assert out.tolist() == [expected]


def float64_by_mode(n, rounding):
    """The float64 that `rounding` picks for the integer n, by exact integer
    comparison with its two neighbours."""
    below = float(n)  # Python rounds an int to nearest, ties to even
    if int(below) == n:
        return below
    if int(below) > n:
        below = math.nextafter(below, -math.inf)
    above = math.nextafter(below, math.inf)
    low_gap, high_gap = n - int(below), int(above) - n
    if rounding == "towards-zero":
        return below if n > 0 else above
    if rounding == "towards-positive":
        return above
    if rounding == "towards-negative":
        return below
    if rounding == "nearest-away" and low_gap == high_gap:
        return above if n > 0 else below
    return float(n)


SIXTY_FOUR_BIT_VALUES = {
    "int64": [2**53 + 1, 2**53 + 3, -(2**53 + 1), -(2**53 + 3), 2**63 - 1,
              -2**63 + 1, -2**63, 2**62 + 2**9, 2**62 + 2**9 + 1, 2**53, 7],
    "uint64": [2**64 - 1, 2**64 - 2**10, 2**63 + 2**10, 2**63 + 3 * 2**10,
               2**53 + 1, 2**63, 0],
}


@pytest.mark.parametrize("rounding", ROUNDING_MODES)
@pytest.mark.parametrize("source", list(SIXTY_FOUR_BIT_VALUES))
def test_64_bit_integers_round_to_float64_by_the_mode(source, rounding):
    values = SIXTY_FOUR_BIT_VALUES[source]
    expected = [float64_by_mode(n, rounding) for n in values]
    arr = np.array(values, dtype=source)
    result = cast_array(arr, target_dtype="float64", rounding_mode=rounding)
    assert result.tolist() == expected
    out = np.zeros(len(values), np.float64)
    cast_array_into(arr, out, rounding_mode=rounding)
    assert out.tolist() == expected


FLOAT_SAMPLES = [0.0, -0.0, 1.0, -2.5, 6.1e-5, 5.96e-8, 65504.0, -65504.0,
                 np.inf, -np.inf, np.nan, 1.0 / 3.0]


@pytest.mark.parametrize("rounding", ROUNDING_MODES)
@pytest.mark.parametrize("out_of_range", OUT_OF_RANGE_MODES)
@pytest.mark.parametrize("name, bits", [("float16", np.uint16),
                                        ("float32", np.uint32),
                                        ("float64", np.uint64)])
def test_float_identities_copy_bits_under_every_mode(name, bits, rounding,
                                                     out_of_range):
    # float16 -> float16 takes both modes, float32/float64 identities none;
    # on an identity neither can change a value, so every call succeeds.
    arr = np.array(FLOAT_SAMPLES, dtype=name)
    result = cast_array(arr, target_dtype=name, rounding_mode=rounding,
                        out_of_range_mode=out_of_range)
    assert result.view(bits).tolist() == arr.view(bits).tolist()


# --- dtype keys --------------------------------------------------------------

UNSUPPORTED_ARRAYS = {
    "bool": (np.zeros(2, bool), "bool"),
    "complex": (np.zeros(2, np.complex128), "complex128"),
    "object": (np.array([1, None], dtype=object), "object"),
    "str": (np.array(["ab", "c"]), "str64"),
    "bytes": (np.array([b"ab"]), "bytes16"),
    "datetime": (np.array(["2001-01-01"], dtype="datetime64[ns]"),
                 "datetime64[ns]"),
    "timedelta": (np.zeros(2, "m8"), "timedelta64"),
    "structured": (np.zeros(2, [("a", "i4")]), "void32"),
}


@pytest.mark.parametrize("arr, name", UNSUPPORTED_ARRAYS.values(),
                         ids=UNSUPPORTED_ARRAYS.keys())
def test_unsupported_dtypes_are_named(arr, name):
    expected = f"Unsupported numpy dtype: {name}"
    with pytest.raises(TypeError) as caught:
        cast_array(arr, target_dtype="int8", rounding_mode=NE)
    assert str(caught.value) == expected
    with pytest.raises(TypeError) as caught:
        cast_array_into(arr, np.zeros(arr.shape, np.int8), rounding_mode=NE)
    assert str(caught.value) == expected
    with pytest.raises(TypeError) as caught:
        cast_array_into(np.zeros(arr.shape, np.int8), arr, rounding_mode=NE)
    assert str(caught.value) == expected


@pytest.mark.parametrize("text", [
    "Float32", "float", "int", "int8 ", " int8", "i1", "INT8", "f4", "",
    "bool", "float128", "int8\x00", "uint8\u00e9", "complex64",
])
def test_target_dtype_texts_match_exactly(text):
    with pytest.raises(TypeError) as caught:
        cast_array(np.zeros(2, np.int8), target_dtype=text, rounding_mode=NE)
    assert str(caught.value) == f"Unsupported target dtype: {text}"


class Plain(np.ndarray):
    pass


@pytest.mark.parametrize("dtype", [
    np.int8, ">i4", "<u2", np.float16, ">f8", np.longdouble, np.complex64,
    "M8[s]", "U2", object, bool,
])
def test_subclass_and_base_class_arrays_get_the_same_dtype_key(dtype):
    # A base-class ndarray's dtype is read directly, a subclass's through its
    # attributes; both must end alike.
    def outcome(arr):
        try:
            result = cast_array(arr, target_dtype="float64", rounding_mode=NE)
        except (TypeError, ValueError) as error:
            return type(error), str(error).replace("'Plain'", "'ndarray'")
        return result.dtype, result.tolist()

    arr = np.zeros(3, dtype)
    assert outcome(arr.view(Plain)) == outcome(arr)


# Subclasses whose attributes the key lookup and the shape test go through.
class DtypeRaises(np.ndarray):
    error = LookupError("no dtype here")

    @property
    def dtype(self):
        raise DtypeRaises.error


class NameNotStr(np.ndarray):
    @property
    def dtype(self):
        return types.SimpleNamespace(name=16)


class _NameRaises:
    error = KeyError("name")

    @property
    def name(self):
        raise _NameRaises.error


class NameRaises(np.ndarray):
    @property
    def dtype(self):
        return _NameRaises()


class NameLies(np.ndarray):
    @property
    def dtype(self):
        return np.dtype(np.int16)


def test_exception_of_dtype_attribute_passes_through():
    arr = np.zeros(3, np.int8).view(DtypeRaises)
    with pytest.raises(LookupError) as caught:
        cast_array(arr, target_dtype="int16", rounding_mode=NE)
    assert caught.value is DtypeRaises.error
    with pytest.raises(LookupError) as caught:
        cast_array_into(np.zeros(3, np.int8), arr, rounding_mode=NE)
    assert caught.value is DtypeRaises.error


def test_exception_of_dtype_name_passes_through():
    arr = np.zeros(3, np.int8).view(NameRaises)
    with pytest.raises(KeyError) as caught:
        cast_array(arr, target_dtype="int16", rounding_mode=NE)
    assert caught.value is _NameRaises.error


def test_dtype_name_must_be_a_str():
    arr = np.zeros(3, np.int8).view(NameNotStr)
    with pytest.raises(TypeError) as caught:
        cast_array(arr, target_dtype="int16", rounding_mode=NE)
    assert str(caught.value) == "'int' object cannot be converted to 'PyString'"


def test_only_the_name_selects_the_pair():
    # The name says int16; the int16 driver's typed view refuses the memory.
    arr = np.zeros(3, np.int8).view(NameLies)
    with pytest.raises(TypeError) as caught:
        cast_array(arr, target_dtype="int32", rounding_mode=NE)
    assert str(caught.value) == (
        "'NameLies' object cannot be converted to 'PyArray<T, D>'")


# --- the shape test of cast_array_into ----------------------------------

SHAPE_MISMATCHES = [
    ((2, 3), (3, 2), "[2, 3]", "[3, 2]"),
    ((6,), (2, 3), "[6]", "[2, 3]"),
    ((), (1,), "[]", "[1]"),
    ((1,), (), "[1]", "[]"),
    ((0,), (0, 0), "[0]", "[0, 0]"),
    ((1, 1, 1), (1, 1), "[1, 1, 1]", "[1, 1]"),
]


@pytest.mark.parametrize("in_shape, out_shape, in_text, out_text",
                         SHAPE_MISMATCHES)
def test_shape_mismatch(in_shape, out_shape, in_text, out_text):
    out = np.full(out_shape, 9, np.int32)
    with pytest.raises(ValueError) as caught:
        cast_array_into(np.zeros(in_shape, np.int8), out, rounding_mode=NE)
    assert str(caught.value) == (
        f"Shape mismatch: input shape {in_text} != output shape {out_text}")
    assert (out == 9).all()


@pytest.mark.parametrize("shape", [(), (0,), (0, 3), (2, 1, 2)])
def test_equal_shapes_pass(shape):
    arr = (np.arange(int(np.prod(shape)), dtype=np.int8) + 1).reshape(shape)
    out = np.zeros(shape, np.float32)
    cast_array_into(arr, out, rounding_mode=NE)
    np.testing.assert_array_equal(out, arr.astype(np.float32), strict=True)


def test_same_array_as_input_and_output():
    arr = np.array([5, -6, 7], np.int16)
    cast_array_into(arr, arr, rounding_mode=NE)
    assert arr.tolist() == [5, -6, 7]


def test_unsupported_out_dtype_reported_before_the_shapes():
    with pytest.raises(TypeError) as caught:
        cast_array_into(np.zeros(3, np.int8), np.zeros((4, 4), np.complex64),
                        rounding_mode=NE)
    assert str(caught.value) == "Unsupported numpy dtype: complex64"


class ReportedShape(np.ndarray):
    """An array whose `shape` attribute reports `reported`."""
    reported = None

    @property
    def shape(self):
        if isinstance(self.reported, BaseException):
            raise self.reported
        return self.reported


SHAPE_ERROR = RuntimeError("shape unavailable")

# (reported shape, exception type, message or None for the interpreter's own)
REPORTED_SHAPES = {
    "str": ("ab", TypeError, "Can't extract `str` to `Vec`"),
    "not a sequence": (3, TypeError,
                       "'int' object cannot be converted to 'Sequence'"),
    "float size": ((3.0,), TypeError,
                   "'float' object cannot be interpreted as an integer"),
    "negative size": ((-3,), OverflowError, None),
    "other shape": ((1, 3), ValueError,
                    "Shape mismatch: input shape [1, 3] != output shape [3]"),
}


@pytest.mark.parametrize("reported, error, message", REPORTED_SHAPES.values(),
                         ids=REPORTED_SHAPES.keys())
def test_shape_attribute_of_a_subclass(reported, error, message):
    arr = np.arange(3, dtype=np.int8).view(ReportedShape)
    arr.reported = reported
    out = np.zeros(3, np.int16)
    with pytest.raises(error) as caught:
        cast_array_into(arr, out, rounding_mode=NE)
    if message is not None:
        assert str(caught.value) == message


def test_shape_attribute_error_passes_through():
    out = np.zeros(3, np.int16).view(ReportedShape)
    out.reported = SHAPE_ERROR
    with pytest.raises(RuntimeError) as caught:
        cast_array_into(np.zeros(3, np.int8), out, rounding_mode=NE)
    assert caught.value is SHAPE_ERROR


@pytest.mark.parametrize("reported", [[3], (np.int64(3),), range(3, 4)])
def test_shape_attribute_may_be_any_sequence_of_sizes(reported):
    arr = np.array([1, 2, 3], np.int8).view(ReportedShape)
    arr.reported = reported
    out = np.zeros(3, np.int16)
    cast_array_into(arr, out, rounding_mode=NE)
    assert out.tolist() == [1, 2, 3]


class ShapeReshapesInput(np.ndarray):
    """An output whose `shape` attribute reshapes the input array."""
    victim = None

    @property
    def shape(self):
        ShapeReshapesInput.victim.resize((4000, 1), refcheck=False)
        return (2000,)


def test_shape_attribute_that_reshapes_the_input():
    # The input's shape, read before, must not be read from freed memory;
    # the shapes are compared again as the arrays now stand.
    arr = np.arange(2000, dtype=np.float32)
    ShapeReshapesInput.victim = arr
    try:
        out = np.zeros(2000, np.float64).view(ShapeReshapesInput)
        with pytest.raises(ValueError) as caught:
            cast_array_into(arr, out, rounding_mode=NE)
    finally:
        ShapeReshapesInput.victim = None
    assert str(caught.value) == (
        "Shape mismatch: input shape [4000, 1] != output shape [2000]")
    assert not out.view(np.ndarray).any()


@pytest.mark.parametrize("dims, reported", [((2, 3), (6,)), ((5,), (6,))])
def test_dimensions_must_match_whatever_shape_reports(dims, reported):
    # The shape attribute passes the first test; the conversion would run
    # over the array's own dimensions, which are compared before any write.
    arr = np.arange(int(np.prod(dims)), dtype=np.int8).reshape(dims)
    arr = arr.view(ReportedShape)
    arr.reported = reported
    out = np.full(6, 9, np.int16)
    with pytest.raises(ValueError) as caught:
        cast_array_into(arr, out, rounding_mode=NE)
    in_text = str(list(dims))
    assert str(caught.value) == (
        f"Shape mismatch: input shape {in_text} != output shape [6]")
    assert (out == 9).all()


# --- reference counts ---------------------------------------------------

@pytest.mark.parametrize("make_arr, make_out", [
    (lambda: np.zeros(3, np.int8), lambda: np.zeros(3, np.int16)),
    (lambda: np.zeros(3, np.int8).view(DtypeRaises),
     lambda: np.zeros(3, np.int16)),
    (lambda: np.zeros(3, np.int8),
     lambda: np.zeros(3, np.int16).view(NameNotStr)),
    (lambda: np.zeros(3, np.int8).view(Plain), lambda: np.zeros(3, bool)),
    (lambda: np.zeros(3, np.int8), lambda: np.zeros(4, np.int16).view(Plain)),
], ids=["success", "dtype raises", "name not str", "unsupported", "shape"])
def test_dispatch_keeps_reference_counts(make_arr, make_out,
                                         unchanged_refcounts):
    arr, out = make_arr(), make_out()
    with unchanged_refcounts(arr, out):
        for _ in range(20):
            for call in (
                    lambda: cast_array_into(arr, out, rounding_mode=NE),
                    lambda: cast_array(arr, target_dtype="int16",
                                       rounding_mode=NE)):
                try:
                    call()
                except Exception as error:
                    # A re-raised shared exception collects frames that
                    # refer to the arrays.
                    error.__traceback__ = None
