"""The conversion paths of cast_array and cast_array_into for all 121 pairs:
values against NumPy where the semantics coincide, modes reaching the
conversion, error texts, partial writes and reference counts."""

import math
import sys
import tracemalloc

import numpy as np
import pytest

import _prandel
from conftest import ROUNDING_MODES

DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
          "uint64", "float16", "float32", "float64"]
INTS = DTYPES[:8]
FLOATS = DTYPES[8:]
PAIRS = [(s, t) for s in DTYPES for t in DTYPES]
SIGNED = [d for d in DTYPES if not d.startswith("uint")]


def sentinel_out(dtype, shape):
    """An output whose every element differs from anything converted."""
    return np.full(shape, 99, dtype=dtype)


def cast(arr, dtype, rounding="nearest-even", out_of_range=None, entries=None):
    return _prandel.cast_array(arr, target_dtype=dtype, rounding_mode=rounding,
                               out_of_range_mode=out_of_range,
                               scalar_map_entries=entries)


def cast_into(arr, out, rounding="nearest-even", out_of_range=None,
              entries=None):
    return _prandel.cast_array_into(arr, out, rounding_mode=rounding,
                                    out_of_range_mode=out_of_range,
                                    scalar_map_entries=entries)


def assert_same(result, expected):
    assert result.dtype == expected.dtype
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)


# Values every one of the eleven types holds exactly.
SMALL = np.array([[0, 1, 2, 3], [64, 100, 127, 5]])
NEGATIVE = np.array([[-1, -2, -100, -128], [0, 7, -64, 127]])


@pytest.mark.parametrize("source,target", PAIRS)
def test_pair_matches_astype(source, target):
    arr = SMALL.astype(source)
    expected = arr.astype(target)
    result = cast(arr, target)
    assert type(result) is np.ndarray and result.flags.c_contiguous
    assert_same(result, expected)
    out = sentinel_out(target, arr.shape)
    assert cast_into(arr, out) is None
    assert_same(out, expected)


@pytest.mark.parametrize("source,target",
                         [(s, t) for s in SIGNED for t in SIGNED])
def test_signed_pair_matches_astype(source, target):
    arr = NEGATIVE.astype(source)
    expected = arr.astype(target)
    assert_same(cast(arr, target), expected)
    out = sentinel_out(target, arr.shape)
    cast_into(arr, out)
    assert_same(out, expected)


@pytest.mark.parametrize("source,target", PAIRS)
def test_scalar_map_applies_per_pair(source, target):
    arr = np.array([1, 2, 3, 2], dtype=source)
    entries = [(2, 9)]
    expected = np.array([1, 9, 3, 9], dtype=target)
    assert_same(cast(arr, target, entries=entries), expected)
    out = sentinel_out(target, arr.shape)
    cast_into(arr, out, entries=entries)
    assert_same(out, expected)


# Each mode must reach the conversion in its own field: swapped or dropped
# modes change these results.
MODE_CASES = [
    # source, values, target, rounding, out_of_range, expected
    ("float64", [2.5, -2.5], "int8", "nearest-even", None, [2, -2]),
    ("float64", [2.5, -2.5], "int8", "towards-zero", None, [2, -2]),
    ("float64", [2.5, -2.5], "int8", "towards-positive", None, [3, -2]),
    ("float64", [2.5, -2.5], "int8", "towards-negative", None, [2, -3]),
    ("float64", [2.5, -2.5], "int8", "nearest-away", None, [3, -3]),
    ("float32", [300.7, -5.0], "uint8", "towards-zero", "clamp", [255, 0]),
    ("float16", [300.0, -1.0], "uint8", "nearest-even", "wrap", [44, 255]),
    ("uint8", [1, 200], "int8", "towards-positive", "clamp", [1, 127]),
    ("uint8", [1, 200], "int8", "nearest-even", "wrap", [1, -56]),
    ("int8", [-1], "uint64", "nearest-even", "wrap", [2**64 - 1]),
    ("int32", [2**24 + 1], "float32", "towards-positive", None,
     [2.0**24 + 2]),
    ("int32", [2**24 + 1], "float32", "towards-negative", "clamp", [2.0**24]),
    ("uint16", [2049], "float16", "nearest-away", None, [2050.0]),
    ("float64", [1e300, 1.0 + 2**-30], "float32", "towards-zero", "clamp",
     [np.finfo(np.float32).max, 1.0]),
    ("float64", [-1e300], "float32", "nearest-even", "clamp", [-np.inf]),
    ("float64", [1.0 + 2**-30], "float32", "towards-positive", "clamp",
     [1.0 + 2**-23]),
    ("float32", [1e38], "float16", "nearest-even", "clamp", [np.inf]),
]


@pytest.mark.parametrize(
    "source,values,target,rounding,out_of_range,expected", MODE_CASES)
def test_modes_reach_conversion(source, values, target, rounding,
                                out_of_range, expected):
    arr = np.array(values, dtype=source)
    want = np.array(expected, dtype=target)
    assert_same(cast(arr, target, rounding, out_of_range), want)
    out = sentinel_out(target, arr.shape)
    cast_into(arr, out, rounding, out_of_range)
    assert_same(out, want)


def reference_round(x, rounding):
    """The rounding of x to a whole number, computed by NumPy in x's type."""
    if rounding == "nearest-away":
        # x - trunc(x) is exact: a fraction of one half or more goes away
        # from zero (an infinity has a NaN fraction and stays).
        whole = np.trunc(x)
        with np.errstate(invalid="ignore"):
            fraction = x - whole
        return whole + np.where(np.abs(fraction) >= 0.5, np.sign(x), 0)
    return {"nearest-even": np.rint, "towards-zero": np.trunc,
            "towards-positive": np.ceil,
            "towards-negative": np.floor}[rounding](x)


@pytest.mark.parametrize("rounding", ROUNDING_MODES)
@pytest.mark.parametrize("source", FLOATS)
@pytest.mark.parametrize("target", INTS)
def test_long_float_to_int_runs_match_numpy(source, target, rounding):
    # Thousands of values over many blocks: halves, values near zero, and
    # values in and beyond the target's range, clamped. The reference rounds
    # in the source type (binary16 in float32, where every sum it forms is
    # exact) and clips as float64 before NumPy's conversion.
    rng = np.random.default_rng(sum(map(ord, source + target + rounding)))
    info = np.iinfo(target)
    span = min(float(info.max) - float(info.min), 1e6)
    parts = [rng.integers(-4000, 4000, 2000) / 2,
             rng.uniform(-1.5, 1.5, 2000),
             rng.uniform(info.min, info.max, 2000),
             rng.uniform(info.min - span, info.max + span, 700)]
    with np.errstate(over="ignore"):  # to float16: beyond 65504 is infinite
        arr = np.concatenate(parts).astype(source)
    compute = np.float32 if source == "float16" else arr.dtype
    rounded = reference_round(arr.astype(compute), rounding).astype(np.float64)
    expected = np.clip(rounded, float(info.min), float(info.max))
    # float64 rounds the largest 64-bit values up to 2^63 or 2^64.
    top = float(info.max)
    fits = np.minimum(expected, np.nextafter(top, 0.0)).astype(target)
    expected = np.where(expected >= top, info.max, fits).astype(target)
    assert_same(cast(arr, target, rounding, "clamp"), expected)
    out = sentinel_out(target, arr.shape)
    cast_into(arr, out, rounding, "clamp")
    assert_same(out, expected)


NAN_MESSAGE = "Cannot cast NaN to integer type without scalar_map"


@pytest.mark.parametrize("source", FLOATS)
@pytest.mark.parametrize("target", INTS)
def test_nan_to_int(source, target):
    arr = np.array([1.0, np.nan, 2.0], dtype=source)
    with pytest.raises(ValueError) as caught:
        cast(arr, target, out_of_range="clamp")
    assert str(caught.value) == NAN_MESSAGE
    out = sentinel_out(target, 3)
    with pytest.raises(ValueError) as caught:
        cast_into(arr, out)
    assert str(caught.value) == NAN_MESSAGE
    assert out.tolist() == [1, 99, 99]
    mapped = [(math.nan, 7)]
    assert cast(arr, target, entries=mapped).tolist() == [1, 7, 2]
    cast_into(arr, out, entries=mapped)
    assert out.tolist() == [1, 7, 2]


def out_of_range_text(value, lower, upper):
    return (f"Value {value} out of range [{lower}, {upper}]. Set "
            "out_of_range='clamp' or out_of_range='wrap' to handle this.")


F32_MAX = "340282346638528860000000000000000000000"
ERROR_CASES = [
    # source, values, target, rounding, message
    ("uint8", [1, 200, 3], "int8", "nearest-even",
     out_of_range_text(200, 0, 127)),
    ("int8", [5, -1], "uint64", "nearest-even", out_of_range_text(-1, 0, 127)),
    ("int64", [4294967296], "uint32", "nearest-even",
     out_of_range_text(4294967296, 0, 4294967295)),
    ("uint64", [2**64 - 1], "int64", "nearest-even",
     out_of_range_text(18446744073709552000, 0, 9223372036854776000)),
    ("float64", [255.4, 255.6], "uint8", "nearest-even",
     out_of_range_text(256, 0, 255)),
    ("float64", [-0.6], "uint8", "nearest-even", out_of_range_text(-1, 0, 255)),
    ("float32", [np.inf], "int16", "nearest-even",
     out_of_range_text("inf", -32768, 32767)),
    ("float64", [1.5, 1e300], "float32", "nearest-even",
     out_of_range_text("1" + "0" * 300, "-" + F32_MAX, F32_MAX)),
    ("float32", [1e38], "float16", "towards-positive",
     out_of_range_text("99999996802856920000000000000000000000", -65504,
                       65504)),
]


@pytest.mark.parametrize("source,values,target,rounding,message", ERROR_CASES)
def test_conversion_error_text(source, values, target, rounding, message):
    arr = np.array(values, dtype=source)
    with pytest.raises(ValueError) as caught:
        cast(arr, target, rounding)
    assert str(caught.value) == message
    with pytest.raises(ValueError) as caught:
        cast_into(arr, sentinel_out(target, arr.shape), rounding)
    assert str(caught.value) == message


# A failure at element k of a run longer than the conversion's blocks: the
# elements before it are written, it and all later ones keep their value.
FAILING_RUNS = [
    # source, target, good value, bad value
    ("int32", "uint8", 5, -3),
    ("uint64", "int16", 5, 2**40),
    ("float64", "int32", 5.0, np.nan),
    ("float16", "uint8", 5.0, -7.0),
    ("float32", "int64", 5.0, 1e30),
    ("float64", "float16", 5.0, 1e6),
    ("float64", "float32", 5.0, -1e300),
]


@pytest.mark.parametrize("source,target,good,bad", FAILING_RUNS)
@pytest.mark.parametrize("k", [0, 1, 255, 256, 300, 999])
def test_partial_write_stops_at_failure(source, target, good, bad, k):
    arr = np.full(1000, good, dtype=source)
    arr[k] = bad
    out = sentinel_out(target, 1000)
    with pytest.raises(ValueError):
        cast_into(arr, out)
    assert (out[:k] == 5).all()
    assert (out[k:] == 99).all()
    with pytest.raises(ValueError):
        cast(arr, target)


def test_int_pair_ignores_rounding_and_lossless_ignores_range():
    arr = np.array([-5, 0, 2**31 - 1], dtype=np.int32)
    for rounding in ["nearest-even", "towards-zero", "towards-positive",
                     "towards-negative", "nearest-away"]:
        for out_of_range in [None, "clamp", "wrap"]:
            result = cast(arr, "int64", rounding, out_of_range)
            assert result.tolist() == [-5, 0, 2**31 - 1]


def test_exact_widening_of_extremes():
    cases = [("int64", [-2**63, 2**63 - 1], "float64"),
             ("uint64", [2**64 - 1, 2**63 + 1024], "float64"),
             ("uint32", [2**32 - 1], "int64"),
             ("int16", [-2], "int64")]
    for source, values, target in cases:
        arr = np.array(values, dtype=source)
        assert_same(cast(arr, target), arr.astype(target))


def test_identity_without_map_copies_bits():
    bits = np.array([0x7FC00001, 0xFFC12345, 0x80000000, 0x3F800000],
                    dtype=np.uint32)
    arr = bits.view(np.float32)
    assert cast(arr, "float32").view(np.uint32).tolist() == bits.tolist()
    out = np.zeros(4, dtype=np.float32)
    cast_into(arr, out, out_of_range="wrap")
    assert out.view(np.uint32).tolist() == bits.tolist()
    halves = np.array([0x7E01, 0xFC00, 0x8000, 0x3C00], dtype=np.uint16)
    result = cast(halves.view(np.float16), "float16", "towards-zero")
    assert result.view(np.uint16).tolist() == halves.tolist()


# --- reference counts ----------------------------------------------------

def refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]


def run_repeatedly(call, expected_error=None, times=50):
    for _ in range(times):
        if expected_error is None:
            call()
        else:
            with pytest.raises(expected_error):
                call()


class StrShape(np.ndarray):
    shape = property(lambda self: "3")


# Each call shape: (name, function of (arr, out, entries), error or None).
LEAK_CALLS = [
    ("alloc ok", lambda a, o, m: cast(a, "int16", entries=m), None),
    ("into ok", lambda a, o, m: cast_into(a, o, entries=m), None),
    ("alloc cast error", lambda a, o, m: cast(a, "uint8", entries=m),
     ValueError),
    ("into cast error", lambda a, o, m: cast_into(a, o.view(np.uint16),
                                                  entries=m), ValueError),
    ("alloc not contiguous", lambda a, o, m: cast(a[::2], "int16", entries=m),
     ValueError),
    ("into not contiguous", lambda a, o, m: cast_into(a[::2], o[::2],
                                                      entries=m), ValueError),
    ("alloc bad entry", lambda a, o, m: cast(a, "int16", entries=m + [(7,)]),
     ValueError),
    ("into bad entry", lambda a, o, m: cast_into(a, o, entries=m + [(7,)]),
     ValueError),
    ("into bad value", lambda a, o, m: cast_into(a, o, entries=m + [("x", 1)]),
     TypeError),
    ("into out byte order", lambda a, o, m: cast_into(
        a, o.view(o.dtype.newbyteorder()), entries=m), TypeError),
    ("into out layout", lambda a, o, m: cast_into(
        a.reshape(4, 8), o.reshape(8, 4).T, entries=m), ValueError),
    ("into out read-only", lambda a, o, m: cast_into(
        a, np.frombuffer(o.tobytes(), o.dtype), entries=m), ValueError),
    ("alloc arr byte order", lambda a, o, m: cast(
        a.view(a.dtype.newbyteorder()), "int16", entries=m), TypeError),
    ("alloc shape str", lambda a, o, m: cast(a.view(StrShape), "int16",
                                             entries=m), TypeError),
    ("alloc F order", lambda a, o, m: cast(a.reshape(8, 4).T, "int16",
                                           entries=m), None),
    ("into overlap", lambda a, o, m: cast_into(
        a, a.view(np.int16)[1:33], out_of_range="wrap", entries=m), None),
]


@pytest.mark.parametrize("name,call,error", LEAK_CALLS,
                         ids=[c[0] for c in LEAK_CALLS])
def test_no_reference_leak(name, call, error):
    arr = np.arange(-16, 16, dtype=np.int32)
    out = np.zeros(32, dtype=np.int16)
    entries = [(3, 4), (5, 6)]
    run_repeatedly(lambda: call(arr, out, entries), error, times=1)
    before = refcounts(arr, out, entries, *entries)
    run_repeatedly(lambda: call(arr, out, entries), error)
    assert refcounts(arr, out, entries, *entries) == before


def test_new_array_is_the_only_reference():
    arr = np.arange(10, dtype=np.int32)
    result = cast(arr, "float32")
    assert sys.getrefcount(result) == 2
    assert result.base is None and result.flags.owndata


def test_parse_exception_passes_through_unchanged():
    raised = KeyError("from the caller's iterator")

    def entries():
        yield (1, 2)
        raise raised

    arr = np.arange(4, dtype=np.float32)
    for call in (lambda: cast(arr, "int8", entries=entries()),
                 lambda: cast_into(arr, np.zeros(4, np.int8),
                                   entries=entries())):
        with pytest.raises(KeyError) as caught:
            call()
        assert caught.value is raised


@pytest.mark.parametrize("arr", [
    np.ones(50_000),
    np.full(50_000, np.nan),
    np.ones((250, 200), order="F"),  # converted through a private copy
], ids=["ok", "cast error", "F order"])
def test_arrays_made_by_a_call_are_freed(arr):
    out = np.zeros(arr.shape, dtype=np.int64)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(100):
            for call in (lambda: cast(arr, "int64"),
                         lambda: cast_into(arr, out)):
                try:
                    call()
                except ValueError:
                    pass
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < arr.nbytes
