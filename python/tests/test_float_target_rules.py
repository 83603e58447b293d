"""Rounding into float targets: 64-bit integers under every mode against
exact integer arithmetic, float64 -> float16 in one rounding against NumPy
and exact comparison with the float16 neighbours, through both functions,
on long arrays (clean runs, single intruders) and through the scalar map."""

import struct

import numpy as np
import pytest

import _prandel
from conftest import ROUNDING_MODES

NE = "nearest-even"

# A length spanning several blocks of the kernels, not a multiple of any.
LONG = 3001


def convert(function, arr, target, rounding, out_of_range=None, entries=None):
    """The result of cast_array, or of cast_array_into on a fresh output."""
    if function == "cast_array":
        return _prandel.cast_array(arr, target_dtype=target,
                                   rounding_mode=rounding,
                                   out_of_range_mode=out_of_range,
                                   scalar_map_entries=entries)
    out = np.full(arr.shape, 7, dtype=target)
    assert _prandel.cast_array_into(arr, out, rounding_mode=rounding,
                                    out_of_range_mode=out_of_range,
                                    scalar_map_entries=entries) is None
    return out


FUNCTIONS = ["cast_array", "cast_array_into"]


def with_intruders(clean, intruders, block=256):
    """`clean` with the intruders placed one per block, at shifting places."""
    arr = clean.copy()
    for i, value in enumerate(intruders):
        arr[(i * block + i * 37 + 5) % len(arr)] = value
    return arr


# --- integer -> float: exact integer references ------------------------------

FORMATS = {"float16": (11, 15), "float32": (24, 127), "float64": (53, 1023)}


def ieee_round(x, target, mode):
    """The integer x rounded to `target` under `mode`, by integer arithmetic;
    an infinity where the mode takes it past the largest value."""
    precision, emax = FORMATS[target]
    largest = ((1 << precision) - 1) << (emax - precision + 1)
    negative, m = x < 0, abs(x)
    shift = max(0, m.bit_length() - precision)
    down = m >> shift << shift
    up = down + (1 << shift) if down != m else down
    rest = m - down
    half = 1 << shift >> 1
    if mode == "towards-zero":
        r = down
    elif mode == "towards-positive":
        r = down if negative else up
    elif mode == "towards-negative":
        r = up if negative else down
    elif mode == "nearest-away":
        r = up if rest >= half and rest else down
    else:
        r = up if rest > half or (rest == half and rest and
                                  (down >> shift) & 1) else down
    if r > largest:
        toward_zero = (mode == "towards-zero" or
                       (mode == "towards-positive" and negative) or
                       (mode == "towards-negative" and not negative))
        r = largest if toward_zero else np.inf
    return -r if negative else r


def wide_edges(dtype):
    """Where rounding a 64-bit integer is decided: around each power of two,
    the float32 and float64 ties above it and their neighbours; the ends."""
    info = np.iinfo(dtype)
    values = {info.min, info.max, info.max - 1, 0, 1, -1}
    for k in range(64):
        for precision in (11, 24, 53):
            if k < precision:
                continue
            half = 1 << (k - precision)
            for centre in ((1 << k) + half, (1 << k) + 3 * half,
                           (1 << k) - half // 2, 1 << k):
                for m in (centre - 1, centre, centre + 1):
                    values.update((m, -m))
    return sorted(v for v in values if info.min <= v <= info.max)


def wide_random(dtype, n, seed=5):
    """Random integers of every bit width."""
    rng = np.random.default_rng(seed)
    info = np.iinfo(dtype)
    bits = rng.integers(info.min, info.max, size=n, dtype=dtype, endpoint=True)
    widths = rng.integers(1, 65, size=n)
    return [int(b) >> (64 - int(w)) for b, w in zip(bits, widths)]


def exact_values(result):
    """Each element as a Python int, or an infinity."""
    return [v if np.isinf(v) else int(v) for v in result.tolist()]


def expect_int_rounding(function, source, target, mode, values):
    arr = np.array(values, dtype=source)
    result = convert(function, arr, target, mode)
    expected = [ieee_round(int(x), target, mode) for x in arr.tolist()]
    assert result.dtype == np.dtype(target)
    got = exact_values(result)
    wrong = [(int(x), g, e) for x, g, e in zip(arr.tolist(), got, expected)
             if g != e]
    assert not wrong, wrong[:5]


def wide_inputs(source):
    """Edges in one run, then random values with the edges as intruders."""
    edges = wide_edges(source)
    clean = np.array(wide_random(source, LONG), dtype=source)
    return [edges, with_intruders(clean, edges[::len(edges) // 40]).tolist()]


# The examples of the rule, through both functions.
@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("source,value,target,mode,expected", [
    ("uint64", 2**64 - 1, "float32", "towards-zero", 18446742974197923840),
    ("uint64", 2**64 - 1, "float32", "towards-negative", 2**64 - 2**40),
    ("uint64", 2**64 - 1, "float32", "nearest-away", 2**64),
    ("int64", 2**53 + 1, "float32", "towards-positive", 2**53 + 2**30),
    ("int64", -(2**53 + 1), "float32", "towards-negative", -(2**53 + 2**30)),
    ("int64", 2**63 - 1, "float32", "towards-zero", 2**63 - 2**39),
    ("int64", -2**63, "float32", "towards-zero", -2**63),
])
def test_wide_integer_to_float32_examples(function, source, value, target,
                                          mode, expected):
    result = convert(function, np.array([value], dtype=source), target, mode)
    assert exact_values(result) == [expected]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("mode", ROUNDING_MODES)
@pytest.mark.parametrize("source", ["int64", "uint64"])
@pytest.mark.parametrize("target", ["float32", "float16"])
def test_wide_integers_round_exactly(function, source, target, mode):
    for values in wide_inputs(source):
        expect_int_rounding(function, source, target, mode, values)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("source", ["int64", "uint64"])
def test_wide_integers_to_float64_take_the_mode(function, source):
    examples = {"int64": (2**53 + 1, "towards-positive", 2**53 + 2),
                "uint64": (2**64 - 1, "towards-zero", 2**64 - 2**11)}
    value, mode, expected = examples[source]
    result = convert(function, np.array([value], dtype=source), "float64",
                     mode)
    assert exact_values(result) == [expected]
    for mode in ROUNDING_MODES:
        for values in wide_inputs(source):
            expect_int_rounding(function, source, "float64", mode, values)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("source", ["int64", "uint64"])
@pytest.mark.parametrize("target", ["float16", "float32", "float64"])
def test_wide_integers_nearest_even_matches_numpy(function, source, target):
    for values in wide_inputs(source):
        arr = np.array(values, dtype=source)
        with np.errstate(over="ignore"):
            expected = arr.astype(target)
        result = convert(function, arr, target, NE)
        np.testing.assert_array_equal(result, expected, strict=True)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("mode", ROUNDING_MODES)
def test_wide_integer_map_hits_and_misses(function, mode):
    values = wide_edges(np.int64)
    arr = np.array(values * 3, dtype=np.int64)
    mapped = {2**53 + 1: 0.5, -2**63: -0.25}
    result = convert(function, arr, "float32", mode, entries=mapped)
    expected = [mapped.get(int(x), ieee_round(int(x), "float32", mode))
                for x in arr.tolist()]
    assert [float(v) for v in result.tolist()] == [float(e) for e in expected]


# --- float64 -> float16: one rounding ---------------------------------------

def f64_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def half_edges():
    """float64 values where rounding to float16 is decided: every float16
    midpoint and points just off it (closer than half a float32 unit, where
    rounding through float32 would land on the midpoint), subnormals, the
    overflow tie, huge values and infinities."""
    halves = np.arange(0, 0x7BFF, dtype=np.uint16).view(np.float16)
    lo = halves.astype(np.float64)
    hi = (halves.view(np.uint16) + 1).view(np.float16).astype(np.float64)
    unit = hi - lo
    mid = lo + unit / 2
    points = [lo, mid, np.nextafter(mid, 0), np.nextafter(mid, np.inf),
              mid + unit * 2.0**-14, mid - unit * 2.0**-20,
              mid + unit * 2.0**-40]
    extra = np.array([65520.0, np.nextafter(65520.0, 0), 65519.999, 65504.0,
                      70000.0, 1e300, 5e-324, np.inf, 2.0**-25,
                      2.0**-25 + 2.0**-60, 1 + 2.0**-11 + 2.0**-30])
    values = np.concatenate(points + [extra])
    return np.concatenate([values, -values])


def reference_half(x, mode):
    """float64 values (no NaN) rounded to float16 under `mode`: NumPy's
    nearest-even, or the neighbour that the mode picks by exact comparison
    (float16 values and their midpoints are exact in float64)."""
    with np.errstate(over="ignore"):
        near = x.astype(np.float16)
        toward = np.where(near < x, np.inf, -np.inf).astype(np.float16)
        other = np.nextafter(near, toward).astype(np.float64)
    nearest = near.astype(np.float64)
    if mode == NE:
        return nearest
    lo, hi = np.minimum(nearest, other), np.maximum(nearest, other)
    if mode == "towards-positive":
        picked = hi
    elif mode == "towards-negative":
        picked = lo
    elif mode == "towards-zero":
        picked = np.where(x > 0, lo, hi)
    else:
        # An infinity neighbour stands for 65536 in the tie test.
        mid = (np.clip(lo, -65536, 65536) + np.clip(hi, -65536, 65536)) / 2
        picked = np.where(mid == x, np.where(x > 0, hi, lo), nearest)
    return np.where((nearest == x) | np.isinf(x), nearest, picked)


def expect_half_rounding(result, arr, mode):
    got = result.astype(np.float64)
    numbers = ~np.isnan(arr)
    assert np.isnan(got[~numbers]).all()
    expected = reference_half(arr[numbers], mode)
    wrong = np.flatnonzero(got[numbers] != expected)
    assert wrong.size == 0, [(arr[numbers][i], got[numbers][i], expected[i])
                             for i in wrong[:5]]
    assert (np.signbit(got[numbers]) == np.signbit(arr[numbers])).all()


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("value,expected_bits", [
    (1 + 2.0**-11 + 2.0**-30, 0x3C01),
    (1.0004882812509095, 0x3C01),
    (1 + 2.0**-11, 0x3C00),
    (65519.999, 0x7BFF),
    (2.0**-25 + 2.0**-60, 0x0001),
    (-(2.0**-25), 0x8000),
])
def test_half_examples_round_once(function, value, expected_bits):
    for out_of_range in (None, "clamp", "wrap"):
        result = convert(function, np.array([value]), "float16", NE,
                         out_of_range)
        assert result.view(np.uint16).tolist() == [expected_bits]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("mode", [NE, "nearest-away"])
def test_half_overflow_starts_at_the_tie(function, mode):
    message = ("Value 65520 out of range [-65504, 65504]. Set "
               "out_of_range='clamp' or out_of_range='wrap' to handle this.")
    for out_of_range in (None, "wrap"):
        with pytest.raises(ValueError) as caught:
            convert(function, np.array([65519.999, 65520.0, 1.0]), "float16",
                    mode, out_of_range)
        assert str(caught.value) == message
    result = convert(function, np.array([65520.0, -65519.999]), "float16",
                     mode, "clamp")
    assert result.tolist() == [np.inf, -65504.0]


def long_half_inputs():
    """Random values of every float16 scale in clean blocks, the same with
    edges as single intruders, and all the edges in one run."""
    rng = np.random.default_rng(11)
    clean = rng.uniform(-1, 1, LONG) * 2.0 ** rng.uniform(-26, 16, LONG)
    intruders = [np.nan, -np.inf, 1e300, 65519.999, 65520.0, 2.0**-25,
                 1 + 2.0**-11 + 2.0**-30, -5e-324,
                 f64_from_bits(0x7FF8_0000_0000_0123),
                 f64_from_bits(0xFFFC_0000_0000_0000)]
    return [clean, with_intruders(clean, intruders), half_edges()]


@pytest.mark.parametrize("function", FUNCTIONS)
def test_half_nearest_even_matches_numpy_bit_for_bit(function):
    for arr in long_half_inputs():
        with np.errstate(over="ignore"):
            expected = arr.astype(np.float16)
        result = convert(function, arr, "float16", NE, "clamp")
        assert result.view(np.uint16).tolist() == \
            expected.view(np.uint16).tolist()


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("mode", ROUNDING_MODES)
def test_half_every_mode_against_exact_neighbours(function, mode):
    for arr in long_half_inputs():
        result = convert(function, arr, "float16", mode, "clamp")
        expect_half_rounding(result, arr, mode)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("mode", ROUNDING_MODES)
def test_half_map_hits_and_misses(function, mode):
    edges = half_edges()
    arr = np.concatenate([[np.nan, 0.1], edges[::7], [-0.0, np.nan, 0.1]])
    entries = [(float("nan"), 3.0), (0.1, -1.0), (0.0, 2.0)]
    result = convert(function, arr, "float16", mode, "clamp", entries)
    got = result.astype(np.float64)
    hits = {0.1: -1.0, 0.0: 2.0}
    for i, x in enumerate(arr.tolist()):
        if np.isnan(x):
            assert got[i] == 3.0
        elif x in hits:
            assert got[i] == hits[x]
    misses = ~np.isnan(arr) & (arr != 0.1) & (arr != 0.0)
    expect_half_rounding(result[misses], arr[misses], mode)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_converted_nans_are_quiet_with_top_payload(function):
    patterns = [0x7FF0_0000_0000_0001, 0x7FF4_0000_0000_0000,
                0xFFF8_0400_0000_0000, 0x7FFF_FFFF_FFFF_FFFF]
    arr = np.array(patterns, dtype=np.uint64).view(np.float64)
    halves = convert(function, arr, "float16", NE, "clamp")
    assert halves.view(np.uint16).tolist() == [0x7E00, 0x7F00, 0xFE01,
                                               0x7FFF]
    singles = convert(function, arr, "float32", NE, "clamp")
    assert singles.view(np.uint32).tolist() == [0x7FC0_0000, 0x7FE0_0000,
                                                0xFFC0_2000, 0x7FFF_FFFF]


@pytest.mark.parametrize("function", FUNCTIONS)
def test_half_map_value_rounds_once(function):
    result = convert(function, np.array([0, 1], dtype=np.int8), "float16", NE,
                     entries={0: 1.0004882812509095, 1: 65519.999})
    assert result.view(np.uint16).tolist() == [0x3C01, 0x7BFF]
