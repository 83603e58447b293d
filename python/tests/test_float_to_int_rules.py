"""The float-to-integer rules through cast_array and cast_array_into, against
exact rational arithmetic: ties away from zero, the range decided on the exact
rounded value against the target's own limits, clamp, exact modular wrap, and
the failures for NaN and infinities."""

import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import _prandel
from conftest import FLOAT_NAMES, INT_NAMES, OUT_OF_RANGE_MODES, ROUNDING_MODES

NAN_TEXT = "Cannot cast NaN to integer type without scalar_map"
INF_TEXT = "Cannot cast inf to integer type without scalar_map"
PRESET = 99  # what an output element holds before a call


def shown(value):
    """A number as the messages show it: the nearest double, positionally."""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return str(int(Decimal(repr(float(value)))))


def range_text(value, target):
    info = np.iinfo(target)
    return (f"Value {shown(value)} out of range [{shown(int(info.min))}, "
            f"{shown(int(info.max))}]. Set out_of_range='clamp' or "
            "out_of_range='wrap' to handle this.")


def round_exactly(x, rounding):
    """The finite float x rounded to an integer, in rational arithmetic."""
    q = Fraction(x)
    if rounding == "nearest-even":
        return round(q)  # Fraction rounds halves to even
    if rounding == "nearest-away":
        away = math.floor(abs(q) + Fraction(1, 2))
        return away if q >= 0 else -away
    return {"towards-zero": math.trunc, "towards-positive": math.ceil,
            "towards-negative": math.floor}[rounding](q)


def expected(x, target, rounding, out_of_range):
    """The integer the rules give x in `target`, or the message they raise."""
    info = np.iinfo(target)
    lo, hi = int(info.min), int(info.max)
    if math.isnan(x):
        return NAN_TEXT
    if math.isinf(x):
        if out_of_range == "clamp":
            return hi if x > 0 else lo
        if out_of_range == "wrap":
            return NAN_TEXT.replace("NaN", shown(x))
        return range_text(x, target)
    r = round_exactly(x, rounding)
    if lo <= r <= hi:
        return r
    if out_of_range == "clamp":
        return lo if r < lo else hi
    if out_of_range == "wrap":
        return lo + (r - lo) % 2 ** info.bits
    return range_text(r, target)


def cast(arr, target, rounding, out_of_range, entries=None):
    return _prandel.cast_array(arr, target_dtype=target, rounding_mode=rounding,
                               out_of_range_mode=out_of_range,
                               scalar_map_entries=entries)


def cast_into(arr, out, rounding, out_of_range, entries=None):
    return _prandel.cast_array_into(arr, out, rounding_mode=rounding,
                                    out_of_range_mode=out_of_range,
                                    scalar_map_entries=entries)


def check_both(arr, target, rounding, out_of_range, want, entries=None):
    """Both functions on arr: the list of integers `want`, or, for a message,
    a ValueError with it and (into) the elements before the first failure
    written, the rest untouched."""
    out = np.full(arr.shape, PRESET, dtype=target)
    if isinstance(want, str):
        with pytest.raises(ValueError) as caught:
            cast(arr, target, rounding, out_of_range, entries)
        assert str(caught.value) == want
        with pytest.raises(ValueError) as caught:
            cast_into(arr, out, rounding, out_of_range, entries)
        assert str(caught.value) == want
        return out
    assert cast(arr, target, rounding, out_of_range, entries).tolist() == want
    assert cast_into(arr, out, rounding, out_of_range, entries) is None
    assert out.tolist() == want
    return out


# --- The examples, one element each --------------------------------------------

NA, NE = "nearest-away", "nearest-even"
EDGES = [
    # source, value, target, rounding, out_of_range, result or message
    ("float64", 0.49999999999999994, "int8", NA, None, 0),
    ("float64", -0.49999999999999994, "int8", NA, None, 0),
    ("float64", 4503599627370497.0, "int64", NA, None, 4503599627370497),
    ("float32", 0.49999997, "int8", NA, None, 0),
    ("float32", 8388609.0, "int32", NA, None, 8388609),
    ("float64", 2.5, "int32", NA, None, 3),
    ("float64", -2.5, "int32", NA, None, -3),
    ("float32", 2147483648.0, "int32", NE, None,
     "Value 2147483648 out of range [-2147483648, 2147483647]. Set "
     "out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("float32", -2147483648.0, "int32", NE, None, -2147483648),
    ("float64", 2.0 ** 63, "int64", NE, None,
     "Value 9223372036854776000 out of range [-9223372036854776000, "
     "9223372036854776000]. Set out_of_range='clamp' or out_of_range='wrap' "
     "to handle this."),
    ("float64", 2.0 ** 64, "uint64", NE, None,
     "Value 18446744073709552000 out of range [0, 18446744073709552000]. Set "
     "out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("float16", 32768.0, "int16", NE, None,
     "Value 32768 out of range [-32768, 32767]. Set out_of_range='clamp' or "
     "out_of_range='wrap' to handle this."),
    ("float16", -math.inf, "uint16", NE, None,
     "Value -inf out of range [0, 65535]. Set out_of_range='clamp' or "
     "out_of_range='wrap' to handle this."),
    ("float32", 2147483648.0, "int32", NE, "clamp", 2147483647),
    ("float16", math.inf, "uint64", NE, "clamp", 2 ** 64 - 1),
    ("float16", -math.inf, "int32", NE, "clamp", -2 ** 31),
    ("float64", math.nan, "uint8", NE, "clamp", NAN_TEXT),
    ("float32", 2147483904.0, "int32", NE, "wrap", -2147483392),
    ("float32", 2147483648.0, "int32", NE, "wrap", -2147483648),
    ("float16", -2.0, "uint16", NE, "wrap", 65534),
    ("float16", 40000.0, "int16", NE, "wrap", -25536),
    ("float64", 1e300, "uint8", NE, "wrap", 0),
    ("float64", 300.0, "uint8", NE, "wrap", 44),
    ("float64", 2.0 ** 64 + 2.0 ** 12, "uint64", NE, "wrap", 4096),
    ("float16", math.inf, "int64", NE, "wrap", INF_TEXT),
    ("float32", -math.inf, "uint8", NE, "wrap",
     "Cannot cast -inf to integer type without scalar_map"),
] + [("float16", math.inf, t, NE, None, range_text(math.inf, t))
     for t in ["int32", "int64", "uint16", "uint32", "uint64"]] + [
    ("float16", -math.inf, t, NE, None, range_text(-math.inf, t))
    for t in ["int32", "int64"]]


@pytest.mark.parametrize("source,value,target,rounding,out_of_range,want",
                         EDGES)
def test_edges(source, value, target, rounding, out_of_range, want):
    assert expected(value, target, rounding, out_of_range) == want
    arr = np.array([value], dtype=source)
    check_both(arr, target, rounding, out_of_range,
               want if isinstance(want, str) else [want])


# --- Every pair and mode over many values, in long arrays ----------------------

def samples(source, target):
    """Values of `source` around every limit of `target`, around the powers
    of two where the kernel's blocks change form, ties and their neighbours,
    and random patterns over the source's whole range."""
    ftype = np.dtype(source).type
    info = np.iinfo(target)
    centres = [0.0, 0.5, 1.5, 2.5, 1e30, float(info.min), float(info.max),
               float(info.max) + 1]
    for k in (8, 16, 22, 23, 31, 32, 51, 52, 63, 64):
        centres += [2.0 ** k, 2.0 ** k + 0.5, 2.0 ** k - 0.5]
    values = []
    with np.errstate(over="ignore"):
        for c in centres:
            for x in (ftype(c), ftype(-c)):
                values.append(x)
                up = down = x
                for _ in range(2):
                    up = np.nextafter(up, ftype(np.inf))
                    down = np.nextafter(down, ftype(-np.inf))
                    values += [up, down]
        rng = np.random.default_rng(sum(map(ord, source + target)))
        width = np.dtype(source).itemsize * 8
        patterns = rng.integers(0, 2 ** width, 150, dtype=np.uint64)
        values += list(patterns.astype(f"u{width // 8}").view(source))
        halves = rng.integers(-2 ** 20, 2 ** 20, 50) + 0.5
        values += list(halves.astype(source))
    return [float(v) for v in values] + [math.inf, -math.inf, math.nan]


@pytest.mark.parametrize("source", FLOAT_NAMES)
@pytest.mark.parametrize("target", INT_NAMES)
def test_every_mode_against_exact_arithmetic(source, target):
    # For each mode: the accepted values together in one long array, first
    # the small ones alone (blocks that every staging takes whole), then all
    # of them (blocks with values beyond that); then each refused value as
    # the one intruder of such an array, in its second block.
    values = samples(source, target)
    for rounding in ROUNDING_MODES:
        for out_of_range in OUT_OF_RANGE_MODES:
            wants = [expected(x, target, rounding, out_of_range)
                     for x in values]
            accepted = [(x, w) for x, w in zip(values, wants)
                        if not isinstance(w, str)]
            refused = [(x, w) for x, w in zip(values, wants)
                       if isinstance(w, str)]
            small = [(x, w) for x, w in accepted if abs(x) < 2 ** 22]
            runs = small * (600 // len(small) + 1) + accepted * 3
            clean = [x for x, _ in runs]
            clean_wants = [w for _, w in runs]
            check_both(np.array(clean, dtype=source), target, rounding,
                       out_of_range, clean_wants)
            base = np.array((clean * 4)[:600], dtype=source)
            base_wants = (clean_wants * 4)[:600]
            for x, message in refused:
                arr = base.copy()
                arr[300] = x
                out = check_both(arr, target, rounding, out_of_range, message)
                assert out[:300].tolist() == base_wants[:300]
                assert (out[300:] == PRESET).all()


@pytest.mark.parametrize("source", FLOAT_NAMES)
@pytest.mark.parametrize("target", INT_NAMES)
@pytest.mark.parametrize("out_of_range", OUT_OF_RANGE_MODES)
def test_scalar_map_takes_values_the_rules_refuse(source, target,
                                                  out_of_range):
    # Long runs mixing mapped values (NaN, the infinities, a value beyond
    # most targets) with ties and values the rules convert.
    beyond = 65504.0 if source == "float16" else 2.0 ** 70
    entries = [(math.nan, 1), (math.inf, 2), (-math.inf, 3), (beyond, 4)]
    ruled = [0.5, 2.5, -0.0, 1.5, 126.5]
    arr = np.array(([x for x, _ in entries] + ruled) * 120, dtype=source)
    for rounding in ROUNDING_MODES:
        wants = ([t for _, t in entries] +
                 [expected(x, target, rounding, out_of_range)
                  for x in ruled]) * 120
        check_both(arr, target, rounding, out_of_range, wants,
                   entries=entries)
