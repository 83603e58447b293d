"""Times every _prandel cast path against the memory limit and against NumPy.

    python benchmarks/bench.py [--quick] [--goals] [--csv PATH]
                               [--filter PATTERN ...] [--sizes 1e3,1e5,1e7]

Runs against the installed module. For every (source, target) pair of the
eleven dtypes and every mode family it times `cast_array` and
`cast_array_into` at 1e3, 1e5 and 1e7 elements, prints one line per
configuration, writes every line to a CSV file, and ends with the goal
summary: each row of the speed goal table, the measured ratio beside the
goal, as a Markdown table ready to paste.

Options
  --quick     a representative subset (about a minute): a few pairs of each
              kind, covering every row of the goal table, fewer repetitions.
  --goals     time only what the goal table needs: all pairs of each row at
              1e5 and 1e7 (or the size a row names), and the one-element
              calls.
  --filter    fnmatch pattern on the pair, short or long form: "f64->i*",
              "float32->float16", "*->u64"; repeatable, any match selects.
  --sizes     comma-separated element counts to run (default 1e3,1e5,1e7).
  --csv       where to write the results (default
              benchmarks/results/bench-<date>-<time>.csv).

What the full run covers
  every pair (all 121) with in-range data, no map, nearest-even under each
  out-of-range mode (checked, clamp, wrap);
  pairs where rounding matters (float to integer, float narrowing, integer
  to a float that cannot hold every source value) also under towards-zero,
  towards-positive, towards-negative and nearest-away, checked;
  pairs where a source value can be out of the target's range (integer
  narrowing and sign changes, float to integer, float narrowing) also with
  10% out-of-range data under clamp and, for integer targets, wrap
  (integer to float never fails: overflow gives infinity);
  every pair with a 1-entry and an 8-entry scalar map (nearest-even,
  checked);
  all of it at 1e3, 1e5 and 1e7 elements; and the one-element call for
  every pair. Each (pair, size) is one interleaved group: 363 groups, 2651
  configurations, each on both paths. The full run takes seven to ten
  minutes on the development machine.

Data (fixed seeds, so runs are comparable)
  in      uniform over the whole range both types share ("full range"):
          integers uniform over the common interval; floats into integers
          uniform over the target's interval (fractions wherever the source
          has them); floats into floats with log-uniform magnitudes from
          2^-10 to the smaller maximum, random signs. Nothing fails under
          any rounding mode.
  oor10   the in-range data with 10% of the elements, at random positions,
          replaced by values the target cannot hold: integers outside the
          target's interval, finite floats beyond an integer target's
          interval (NaN and infinity would need a map entry) and floats
          beyond a narrower float's maximum.
  hit1    the in-range data with 1% of the elements replaced by the key of
          a 1-entry map: NaN -> 0 for float sources, a value of the data ->
          0 for integer sources.
  hit8    the same with eight distinct keys (NaN and seven values of the
          data for float sources), mapped to 0..7. (8-bit sources also hit
          wherever the data holds a key: about 4% of the elements.)

Columns (times in ns per element, medians)
  into ns/el  cast_array_into into a preallocated array.
  xbound      into time / memmove bound. The bound is the time to copy,
              between two preallocated uint8 buffers, half the bytes the
              cast reads and writes, n*(source size + target size)/2: a
              copy of m bytes reads m and writes m, so it moves the same
              traffic. The copy is `np.copyto` (a plain memmove for
              contiguous uint8), timed two ways, in one call and in 256 KiB
              chunks, and the faster counts: on the development machine one
              memmove of a few MB or more runs up to 1.4x slower than the
              same bytes in chunks, and a bound must be the fastest plain
              copy. NumPy calls rather than ctypes or a C helper, so the
              bound carries the same kind of call overhead as the module;
              at 1e3 elements that overhead dominates both. The in-place
              path is compared, since the bound allocates nothing.
  xcopyto     into time / np.copyto(out, arr, casting="unsafe") on the same
              data (in-range data for the map rows).
  array ns/el cast_array, which allocates its result.
  xastype     array time / arr.astype(target) on the same data (in-range
              data for the map rows).
  xsame       array time / arr.astype(target, casting="same_value"), where
              the installed NumPy has it (2.4+), in-range rows only. That
              cast raises on any value the target cannot hold exactly, so
              it is timed on the exact image of the in-range data (float to
              integer: truncated; float narrowing: rounded to the target and
              back; integer to a coarser float: low bits cleared); its cost
              does not depend on the values.
  Below 1.0, _prandel is faster.

Method
  All measurements of one (pair, size) group -- the module's configurations
  and the NumPy and memmove references -- are interleaved: each round runs
  every one of them once, starting at a different one each round, so
  machine drift hits all alike; the reported time is the median over the
  rounds. Each measurement is warmed up (which also faults in the
  preallocated outputs) and repeated within a sample so a sample lasts
  about 2 ms (1 ms with --quick): at 1e3 and 1e5 elements the data stays
  in cache, so these sizes measure in-cache speed and the call overhead.
  At 1e7 a sample is one call, and every timed call starts cold: a read-write
  pass over twice the last-level cache flushes it first, so 1e7 measures
  the memory limit and no measurement inherits data that the one before
  left in cache. The number of rounds fits a time budget per group,
  between 5 and 9 (3 and 7 with --quick); one-element calls get 15 (9).
  Calls are compiled statements (timeit) with literal keyword strings, as
  a user writes them; the garbage collector is off while timing. The
  machine should be otherwise idle: the ratios are robust to drift, the
  absolute times are not.

Goal summary
  The ratios of the goal table: to the bound for the 64-bit, wrap and
  float16 rows, to our own nearest-even / in-range / empty-map / clamp time
  for the others, always on the in-place path, which leaves out the
  allocation; the one-element row compares cast_array with
  arr.astype(dtype) given a pre-made np.dtype. Per size it shows the worst
  pair (and mode) and the median over the row's pairs, and whether the
  worst is within the goal.
"""
from __future__ import annotations

import argparse
import csv
import datetime
import fnmatch
import math
import os
import platform
import statistics
import sys
import time
import timeit
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path

import numpy as np

import _prandel

DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
          "float16", "float32", "float64"]
SHORT = {name: name[0] + name.lstrip("intufloa") for name in DTYPES}  # int8 -> i8
PRECISION = {"float16": 11, "float32": 24, "float64": 53}
SIZES = [1_000, 100_000, 10_000_000]
SEED = 20240807
COPY_CHUNK = 256 << 10  # bytes per call of the chunked copy of the bound
COLD_FROM = 1_000_000   # from this many elements, every timed call starts cold


@dataclass(frozen=True)
class Family:
    """A rounding mode with an out-of-range mode."""
    label: str
    rounding: str
    out_of_range: str | None


FAMILIES = {f.label: f for f in [
    Family("ne", "nearest-even", None),
    Family("ne/clamp", "nearest-even", "clamp"),
    Family("ne/wrap", "nearest-even", "wrap"),
    Family("tz", "towards-zero", None),
    Family("tp", "towards-positive", None),
    Family("tn", "towards-negative", None),
    Family("na", "nearest-away", None),
]}
BASIC = ["ne", "ne/clamp", "ne/wrap"]
DIRECTED = ["tz", "tp", "tn", "na"]


@dataclass(frozen=True)
class Config:
    """One module measurement within a group: data variant, family, map size."""
    data: str
    family: str
    map_entries: int = 0


# Pairs of --quick: each row of the goal table, a few pairs of each kind.
QUICK_PAIRS = [
    ("float64", "uint64"), ("float32", "int64"),
    ("uint64", "float32"), ("uint64", "float64"), ("int64", "float32"),
    ("float32", "float16"), ("int32", "float32"), ("float64", "float32"),
    ("float64", "uint8"), ("float64", "int32"), ("int64", "int16"),
    ("uint16", "int8"), ("int16", "float16"), ("float16", "uint8"),
    ("int32", "int64"), ("float32", "float64"),
]


# ---------------------------------------------------------------- pair facts

def is_int(name):
    return np.dtype(name).kind in "iu"


def int_bounds(name):
    info = np.iinfo(name)
    return int(info.min), int(info.max)


def float_max(name):
    return float(np.finfo(name).max)


def rounding_matters(source, target):
    """Whether the rounding mode can change a result of this pair."""
    if not is_int(source):
        return is_int(target) or np.dtype(target).itemsize < np.dtype(source).itemsize
    if is_int(target):
        return False
    lo, hi = int_bounds(source)
    return max(-lo, hi).bit_length() > PRECISION[target]


def has_out_of_range(source, target):
    """Whether some finite source value is outside the target's range
    (integer to float never fails: overflow gives infinity)."""
    if is_int(source) and not is_int(target):
        return False
    if is_int(source):
        slo, shi = int_bounds(source)
    else:
        shi = float_max(source)
        slo = -shi
    if is_int(target):
        tlo, thi = int_bounds(target)
    else:
        thi = float_max(target)
        tlo = -thi
    return slo < tlo or shi > thi


def pair_configs(source, target):
    """Every module configuration the full run times for a pair."""
    configs = [Config("in", f) for f in BASIC]
    if rounding_matters(source, target):
        configs += [Config("in", f) for f in DIRECTED]
    if has_out_of_range(source, target):
        configs.append(Config("oor10", "ne/clamp"))
        if is_int(target):
            configs.append(Config("oor10", "ne/wrap"))
    configs += [Config("hit1", "ne", 1), Config("hit8", "ne", 8)]
    return configs


def pair_label(source, target, short=True):
    names = SHORT if short else {d: d for d in DTYPES}
    return f"{names[source]}->{names[target]}"


# ---------------------------------------------------------------- data

def largest_at_most(dtype, bound):
    """The largest value of float dtype that is <= bound (exact)."""
    v = dtype.type(bound)
    if not np.isfinite(v) or Fraction(float(v)) > Fraction(bound):
        v = np.nextafter(v, dtype.type(-np.inf))
    return v


def smallest_at_least(dtype, bound):
    return -largest_at_most(dtype, -bound)


def log_uniform(rng, lo, hi, size):
    return np.exp2(rng.uniform(math.log2(lo), math.log2(hi), size))


def random_signs(rng, size):
    return np.where(rng.random(size) < 0.5, -1.0, 1.0)


def in_range_data(source, target, n, rng):
    s = np.dtype(source)
    if is_int(source):
        lo, hi = int_bounds(source)
        if is_int(target):
            tlo, thi = int_bounds(target)
        else:
            thi = int(float_max(target))
            tlo = -thi
        return rng.integers(max(lo, tlo), min(hi, thi), n, dtype=s, endpoint=True)
    smax = float_max(source)
    if is_int(target):
        tlo, thi = int_bounds(target)
        lo = smallest_at_least(s, max(tlo, -smax))
        hi = largest_at_most(s, min(thi, smax))
        x = rng.uniform(float(lo), float(hi), n).astype(s)
        return np.clip(x, lo, hi)
    top = largest_at_most(s, min(smax, float_max(target)))
    x = (log_uniform(rng, 2.0 ** -10, float(top), n) * random_signs(rng, n)).astype(s)
    return np.clip(x, -top, top)


def out_of_range_values(source, target, k, rng):
    """k finite source values the target cannot hold, under any rounding mode."""
    s = np.dtype(source)
    if is_int(source):
        slo, shi = int_bounds(source)
        tlo, thi = int_bounds(target)
        sides = []
        if shi > thi:
            sides.append((thi + 1, shi))
        if slo < tlo:
            sides.append((slo, tlo - 1))
        pick = rng.integers(0, len(sides), k)
        out = np.empty(k, dtype=s)
        for i, (a, b) in enumerate(sides):
            chosen = pick == i
            out[chosen] = rng.integers(a, b, int(chosen.sum()), dtype=s, endpoint=True)
        return out
    smax = float_max(source)
    if is_int(target):
        tlo, thi = int_bounds(target)
        # Magnitude ranges beyond each end; whole bounds, so no rounding mode
        # brings a value back in.
        sides = [(thi + 1, 1.0)]
        sides.append((-tlo + 1, -1.0) if tlo < 0 else (1, -1.0))
    else:
        sides = [(2 * float_max(target), 1.0), (2 * float_max(target), -1.0)]
    sides = [(smallest_at_least(s, low), sign) for low, sign in sides if low <= smax]
    pick = rng.integers(0, len(sides), k)
    out = np.empty(k, dtype=s)
    for i, (low, sign) in enumerate(sides):
        chosen = int((pick == i).sum())
        high = min(float(low) * 2.0 ** 16, smax)
        mags = np.clip(log_uniform(rng, float(low), high, chosen).astype(s), low,
                       s.type(smax))
        out[pick == i] = sign * mags
    return out


def with_out_of_range(data, source, target, rng, share=0.10):
    out = data.copy()
    where = rng.random(data.size) < share
    out[where] = out_of_range_values(source, target, int(where.sum()), rng)
    return out


def map_keys(data, source, count):
    """count distinct source values: NaN first for float sources, then values
    taken from the data."""
    keys = [] if is_int(source) else [np.dtype(source).type(np.nan)]
    for v in data:
        if len(keys) == count:
            break
        if not any(v == key for key in keys):
            keys.append(v)
    return keys


def with_map_hits(data, keys, rng, share=0.01):
    out = data.copy()
    where = np.flatnonzero(rng.random(data.size) < share)
    out[where] = np.array(keys, dtype=data.dtype)[rng.integers(0, len(keys), where.size)]
    return out


def map_entries(keys, source):
    as_key = int if is_int(source) else float
    return {as_key(key): i for i, key in enumerate(keys)}


def exact_image(data, source, target):
    """The data moved to values the target holds exactly (for same_value)."""
    if not is_int(source) and is_int(target):
        image = np.trunc(data) + 0  # NumPy 2.4 refuses float16 -0.0 into integers
    elif not is_int(source) and np.dtype(target).itemsize < np.dtype(source).itemsize:
        image = data.astype(target).astype(source)
    elif is_int(source) and not is_int(target):
        lo, hi = int(data.min()), int(data.max())
        excess = max(max(-lo, hi).bit_length() - PRECISION[target], 0)
        image = (data >> excess) << excess
    else:
        image = data
    if target == "float16":
        # NumPy 2.4's same_value refuses binary16's largest finite value.
        top = float_max(target)
        near_top = np.abs(image) == top
        image = np.where(near_top, np.copysign(top - 32, image), image).astype(source)
    return image


def numpy_has_same_value():
    try:
        np.zeros(1).astype(np.int8, casting="same_value")
    except (TypeError, ValueError):
        return False
    return True


# ---------------------------------------------------------------- timing

@dataclass
class Settings:
    sample_s: float
    min_rounds: int
    max_rounds: int
    group_budget_s: float


FULL = Settings(sample_s=2e-3, min_rounds=5, max_rounds=9, group_budget_s=3.0)
QUICK = Settings(sample_s=1e-3, min_rounds=3, max_rounds=7, group_budget_s=0.8)
# One-element calls are cheap and, at a few hundred ns, the noisiest.
ONE_ELEMENT = Settings(sample_s=2e-3, min_rounds=15, max_rounds=15, group_budget_s=0.0)
ONE_ELEMENT_QUICK = Settings(sample_s=1e-3, min_rounds=9, max_rounds=9, group_budget_s=0.0)


@dataclass
class Measurement:
    """One timed statement; names bound as locals of the timing loop."""
    key: tuple
    stmt: str
    names: dict
    number: int = 1
    estimate: float = 0.0
    samples: list = field(default_factory=list)

    def __post_init__(self):
        setup = "\n".join(f"{k} = _ns[{k!r}]" for k in self.names)
        self.timer = timeit.Timer(self.stmt, setup=setup, globals={"_ns": self.names})

    def per_call(self, number):
        return self.timer.timeit(number) / number


def calibrate(m, sample_s):
    """Sets how many calls make a sample of about sample_s (0: one call)."""
    first = m.per_call(1)  # warm-up; raises if the call fails
    if first >= sample_s:
        m.number, m.estimate = 1, first
        return
    trial = max(1, int(0.2 * sample_s / max(first, 1e-8)))
    t = m.per_call(trial)
    m.number = max(1, round(sample_s / t))
    m.estimate = t


class CacheEvictor:
    """Writes through a buffer twice the last-level cache, so the next call
    finds none of its data in cache."""

    def __init__(self):
        self.buffer = None
        self.cost_s = 0.0

    def __call__(self):
        if self.buffer is None:
            self.buffer = np.zeros(2 * last_level_cache_bytes() // 8, dtype=np.int64)
            self.cost_s = timeit.timeit(self, number=3) / 3
        np.add(self.buffer, 1, out=self.buffer)


def last_level_cache_bytes():
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    largest = 32 << 20
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        try:
            text = (index / "size").read_text().strip()
            size = int(text[:-1]) * units[text[-1]] if text[-1] in units else int(text)
        except (OSError, ValueError):
            continue
        largest = max(largest, size)
    return largest


EVICT = CacheEvictor()


def run_group(measurements, settings, failures, cold=False):
    """Interleaved rounds over all measurements; medians by key. With cold,
    a sample is one call, and the caches are flushed before it."""
    live = []
    for m in measurements:
        try:
            calibrate(m, 0.0 if cold else settings.sample_s)
        except Exception as exc:  # report, and time the rest
            failures.append((m.key, f"{type(exc).__name__}: {str(exc)[:120]}"))
            continue
        live.append(m)
    if not live:
        return {}
    if cold:
        EVICT()
    round_s = sum(m.number * m.estimate + (EVICT.cost_s if cold else 0.0) for m in live)
    rounds = int(settings.group_budget_s // max(round_s, 1e-9))
    rounds = min(settings.max_rounds, max(settings.min_rounds, rounds))
    for r in range(rounds):
        start = r % len(live)
        for m in live[start:] + live[:start]:
            if cold:
                EVICT()
            m.samples.append(m.per_call(m.number))
    return {m.key: statistics.median(m.samples) for m in live}


def module_call(path, source, target, family, map_entries_count):
    fam = FAMILIES[family]
    if path == "array":
        call = f"cast_array(a, target_dtype={target!r}, rounding_mode={fam.rounding!r}"
    else:
        call = f"cast_array_into(a, o, rounding_mode={fam.rounding!r}"
    if fam.out_of_range is not None:
        call += f", out_of_range_mode={fam.out_of_range!r}"
    if map_entries_count:
        call += ", scalar_map_entries=m"
    return call + ")"


# ---------------------------------------------------------------- one group

@dataclass
class Row:
    section: str
    source: str
    target: str
    size: int
    data: str
    family: str
    map_entries: int
    array_ns: float | None = None
    into_ns: float | None = None
    memmove_ns: float | None = None
    astype_ns: float | None = None
    copyto_ns: float | None = None
    same_value_ns: float | None = None
    rounds: int = 0

    def ratio(self, a, b):
        x, y = getattr(self, a), getattr(self, b)
        return None if x is None or y is None else x / y

    @property
    def into_vs_bound(self):
        return self.ratio("into_ns", "memmove_ns")

    @property
    def into_vs_copyto(self):
        return self.ratio("into_ns", "copyto_ns")

    @property
    def array_vs_astype(self):
        return self.ratio("array_ns", "astype_ns")

    @property
    def array_vs_same_value(self):
        return self.ratio("array_ns", "same_value_ns")


def time_pair_at_size(source, target, n, configs, settings, same_value, failures):
    """Times the configurations of one pair at one size, interleaved with the
    references they are compared with. Returns one Row per configuration."""
    rng = np.random.default_rng([SEED, DTYPES.index(source), DTYPES.index(target), n])
    t_dtype = np.dtype(target)
    arrays = {"in": in_range_data(source, target, n, rng)}
    data_kinds = {c.data for c in configs}
    if "oor10" in data_kinds:
        arrays["oor10"] = with_out_of_range(arrays["in"], source, target, rng)
    maps = {}
    for kind, count in (("hit1", 1), ("hit8", 8)):
        if kind in data_kinds:
            keys = map_keys(arrays["in"], source, count)
            arrays[kind] = with_map_hits(arrays["in"], keys, rng)
            maps[count] = map_entries(keys, source)
    out = np.empty(n, dtype=t_dtype)

    copy_bytes = (n * (np.dtype(source).itemsize + t_dtype.itemsize) + 1) // 2
    copy_to, copy_from = np.empty(copy_bytes, np.uint8), np.ones(copy_bytes, np.uint8)
    ms = [Measurement(("memmove",), "copyto(d, s)",
                      {"copyto": np.copyto, "d": copy_to, "s": copy_from})]
    if copy_bytes > 2 * COPY_CHUNK:
        chunks = [(copy_to[i:i + COPY_CHUNK], copy_from[i:i + COPY_CHUNK])
                  for i in range(0, copy_bytes, COPY_CHUNK)]
        ms.append(Measurement(("memmove chunks",), "for d, s in chunks: copyto(d, s)",
                              {"copyto": np.copyto, "chunks": chunks}))
    for kind in sorted({"in"} | (data_kinds & {"oor10"})):
        ms.append(Measurement(("astype", kind), "a.astype(T)",
                              {"a": arrays[kind], "T": t_dtype}))
        ms.append(Measurement(("copyto", kind), "copyto(o, a, casting='unsafe')",
                              {"copyto": np.copyto, "o": out, "a": arrays[kind]}))
    if same_value and "in" in data_kinds:
        exact = exact_image(arrays["in"], source, target)
        ms.append(Measurement(("same_value",), "a.astype(T, casting='same_value')",
                              {"a": exact, "T": t_dtype}))
    for c in configs:
        names = {"a": arrays[c.data], "o": out, "m": maps.get(c.map_entries),
                 "cast_array": _prandel.cast_array,
                 "cast_array_into": _prandel.cast_array_into}
        for path in ("array", "into"):
            ms.append(Measurement((path, c), module_call(path, source, target, c.family,
                                                         c.map_entries), names))

    label = pair_label(source, target)
    group_failures = []
    medians = run_group(ms, settings, group_failures, cold=n >= COLD_FROM)
    failures += [(label, n, key, msg) for key, msg in group_failures]
    rounds = len(ms[0].samples)
    copies = [medians[k] for k in (("memmove",), ("memmove chunks",)) if k in medians]
    if copies:
        medians[("memmove",)] = min(copies)

    def ns(key):
        t = medians.get(key)
        return None if t is None else t / n * 1e9

    rows = []
    for c in configs:
        reference = c.data if c.data in ("in", "oor10") else "in"
        rows.append(Row("bulk", source, target, n, c.data, c.family, c.map_entries,
                        array_ns=ns(("array", c)), into_ns=ns(("into", c)),
                        memmove_ns=ns(("memmove",)),
                        astype_ns=ns(("astype", reference)),
                        copyto_ns=ns(("copyto", reference)),
                        same_value_ns=ns(("same_value",)) if c.data == "in" else None,
                        rounds=rounds))
    return rows


def time_one_element(source, target, settings, failures):
    """The call overhead: one-element arrays, against astype with a pre-made
    dtype object and copyto into a preallocated array."""
    rng = np.random.default_rng([SEED, DTYPES.index(source), DTYPES.index(target), 1])
    a = in_range_data(source, target, 1, rng)
    names = {"a": a, "o": np.empty(1, dtype=target), "T": np.dtype(target),
             "copyto": np.copyto, "cast_array": _prandel.cast_array,
             "cast_array_into": _prandel.cast_array_into}
    ms = [Measurement(("array",), module_call("array", source, target, "ne", 0), names),
          Measurement(("astype",), "a.astype(T)", names),
          Measurement(("into",), module_call("into", source, target, "ne", 0), names),
          Measurement(("copyto",), "copyto(o, a, casting='unsafe')", names)]
    group_failures = []
    medians = run_group(ms, settings, group_failures)
    failures += [(pair_label(source, target), 1, key, msg) for key, msg in group_failures]

    def ns(key):
        t = medians.get(key)
        return None if t is None else t * 1e9

    return Row("one-element", source, target, 1, "in", "ne", 0,
               array_ns=ns(("array",)), into_ns=ns(("into",)), astype_ns=ns(("astype",)),
               copyto_ns=ns(("copyto",)), rounds=len(ms[0].samples))


# ---------------------------------------------------------------- goals

BOUND = "bound"


@dataclass
class GoalRow:
    """A row of the goal table: ratios numerator/denominator (a config of the
    same pair and size, or the memmove bound) over the matching pairs."""
    path: str
    goal: str
    limit: float
    sizes: list
    pairs: list
    terms: list  # (numerator Config, denominator Config or BOUND)

    def needs(self, source, target, n):
        if (source, target) not in self.pairs or n not in self.sizes:
            return []
        return [c for term in self.terms for c in term if isinstance(c, Config)]


def all_pairs():
    return [(s, t) for s in DTYPES for t in DTYPES]


def build_goal_rows():
    ints = [d for d in DTYPES if is_int(d)]
    small_ints = ["int8", "uint8", "int16", "uint16"]
    large = [10_000_000, 100_000]
    rounding_non_int_target = [(s, t) for s, t in all_pairs()
                               if not is_int(t) and rounding_matters(s, t)]
    ne_in, clamp_in = Config("in", "ne"), Config("in", "ne/clamp")
    return [
        GoalRow("f32/f64 -> uint64/int64, full-range data", "<= 1.3x bound", 1.3, large,
                [(s, t) for s in ("float32", "float64") for t in ("int64", "uint64")],
                [(ne_in, BOUND), (clamp_in, BOUND)]),
        GoalRow("uint64 -> f32/f64, int64 -> f32", "<= 1.3x bound", 1.3, large,
                [("uint64", "float32"), ("uint64", "float64"), ("int64", "float32")],
                [(ne_in, BOUND)]),
        GoalRow("directed modes and nearest-away, int->float and float->float",
                "<= 1.5x nearest-even", 1.5, large, rounding_non_int_target,
                [(Config("in", f), ne_in) for f in DIRECTED]),
        GoalRow("wrap with out-of-range values (10%)", "<= 3x bound", 3.0, large,
                [(s, t) for s, t in all_pairs() if has_out_of_range(s, t) and is_int(t)],
                [(Config("oor10", "ne/wrap"), BOUND)]),
        GoalRow("clamp with out-of-range values (10%)", "<= 1.5x in-range", 1.5, large,
                [(s, t) for s, t in all_pairs() if has_out_of_range(s, t)],
                [(Config("oor10", "ne/clamp"), clamp_in)]),
        GoalRow("scalar map, 1 entry (NaN -> 0)", "<= 2x empty map", 2.0, large,
                all_pairs(), [(Config("hit1", "ne", 1), ne_in)]),
        GoalRow("scalar map, 8 entries", "<= 3x empty map", 3.0, large,
                all_pairs(), [(Config("hit8", "ne", 8), ne_in)]),
        GoalRow("checked (no mode), integer pairs, 1e5", "<= 1.3x clamp", 1.3, [100_000],
                [(s, t) for s in ints for t in ints], [(ne_in, clamp_in)]),
        GoalRow("small ints <-> float16 at 1e7", "<= 1.3x bound", 1.3, [10_000_000],
                [(s, "float16") for s in small_ints] + [("float16", t) for t in small_ints],
                [(ne_in, BOUND)]),
    ]


GOAL_ROWS = build_goal_rows()


def goal_values(row, bulk, n):
    """(ratio, 'pair mode') for every measured term of a goal row at size n."""
    values = []
    for source, target in row.pairs:
        for numerator, denominator in row.terms:
            num = bulk.get((source, target, n, numerator))
            if num is None or num.into_ns is None:
                continue
            if denominator is BOUND:
                ratio = num.into_vs_bound
            else:
                den = bulk.get((source, target, n, denominator))
                ratio = None if den is None or den.into_ns is None else num.into_ns / den.into_ns
            if ratio is not None:
                mode = numerator.family + (f" map{numerator.map_entries}"
                                           if numerator.map_entries else "")
                values.append((ratio, f"{pair_label(source, target)} {mode}"))
    return values


def size_label(n):
    exponent = len(str(n)) - 1
    return f"1e{exponent}" if n == 10 ** exponent and n > 1 else str(n)


def summary_line(path, goal, size, values, limit):
    """A Markdown row: worst (ratio, where), median, count, within the limit."""
    if not values:
        return f"| {path} | {goal} | {size} | not measured | | | |"
    worst = max(values)
    median = statistics.median(v for v, _ in values)
    met = "" if limit is None else ("yes" if worst[0] <= limit else "no")
    return (f"| {path} | {goal} | {size} | {worst[0]:.2f} ({worst[1]}) | {median:.2f} "
            f"| {len(values)} | {met} |")


def print_goal_summary(rows):
    bulk = {(r.source, r.target, r.size, Config(r.data, r.family, r.map_entries)): r
            for r in rows if r.section == "bulk"}
    print("\n## Goal summary (ratios; worst pair and mode, median over the row's pairs, "
          "within goal?)\n")
    print("| path | goal | size | worst | median | pairs | within goal |")
    print("|---|---|---|---|---|---|---|")
    for row in GOAL_ROWS:
        for n in sorted(row.sizes):
            print(summary_line(row.path, row.goal, size_label(n), goal_values(row, bulk, n),
                               row.limit))
    # Plain casts against NumPy: what a user compares first.
    plain = Config("in", "ne")
    for n in sorted({key[2] for key in bulk if key[2] > 1 and key[3] == plain}):
        values = [(r.array_vs_astype, pair_label(s, t)) for (s, t, size, c), r in bulk.items()
                  if size == n and c == plain and r.array_vs_astype is not None]
        print(summary_line("plain casts (ne, checked, in range), `cast_array` vs `astype`",
                           "(per variant)", size_label(n), values, None))
    single = [r for r in rows if r.section == "one-element"]
    for path, goal, limit, ratio in (
            ("one-element `cast_array` vs `astype(np.dtype(...))`", "<= 1.0x", 1.0,
             "array_vs_astype"),
            ("one-element `cast_array_into` vs `np.copyto`", "(no goal)", None,
             "into_vs_copyto")):
        values = [(getattr(r, ratio), pair_label(r.source, r.target)) for r in single
                  if getattr(r, ratio) is not None]
        print(summary_line(path, goal, "1", values, limit))
    if single:
        def median_ns(attr):
            return statistics.median(getattr(r, attr) for r in single
                                     if getattr(r, attr) is not None)
        print(f"\nOne-element calls (median over pairs): cast_array "
              f"{median_ns('array_ns'):.0f} ns, astype {median_ns('astype_ns'):.0f} ns; "
              f"cast_array_into {median_ns('into_ns'):.0f} ns, "
              f"copyto {median_ns('copyto_ns'):.0f} ns.")


# ---------------------------------------------------------------- output

CSV_FIELDS = ["section", "source", "target", "size", "data", "rounding_mode",
              "out_of_range_mode", "map_entries", "array_ns", "into_ns", "memmove_ns",
              "astype_ns", "copyto_ns", "same_value_ns", "into_vs_bound",
              "into_vs_copyto", "array_vs_astype", "array_vs_same_value", "rounds"]


def csv_record(r):
    fam = FAMILIES[r.family]

    def num(x):
        return "" if x is None else f"{x:.6g}"

    return {"section": r.section, "source": r.source, "target": r.target, "size": r.size,
            "data": r.data, "rounding_mode": fam.rounding,
            "out_of_range_mode": fam.out_of_range or "checked",
            "map_entries": r.map_entries, "array_ns": num(r.array_ns),
            "into_ns": num(r.into_ns), "memmove_ns": num(r.memmove_ns),
            "astype_ns": num(r.astype_ns), "copyto_ns": num(r.copyto_ns),
            "same_value_ns": num(r.same_value_ns), "into_vs_bound": num(r.into_vs_bound),
            "into_vs_copyto": num(r.into_vs_copyto),
            "array_vs_astype": num(r.array_vs_astype),
            "array_vs_same_value": num(r.array_vs_same_value), "rounds": r.rounds}


def fmt(x, width, digits=2):
    return f"{'-':>{width}}" if x is None else f"{x:>{width}.{digits}f}"


TABLE_HEAD = (f"  {'data':<6}{'rounding':<18}{'range':<8}{'map':>4}"
              f"{'into ns/el':>12}{'xbound':>8}{'xcopyto':>9}"
              f"{'array ns/el':>13}{'xastype':>9}{'xsame':>7}")


def print_group(rows):
    first = rows[0]
    refs = [f"memmove {fmt(first.memmove_ns, 0, 3).strip()}"]
    seen = set()
    for r in rows:
        if r.data in ("in", "oor10") and r.data not in seen:
            seen.add(r.data)
            refs.append(f"{r.data}: astype {fmt(r.astype_ns, 0, 3).strip()} "
                        f"copyto {fmt(r.copyto_ns, 0, 3).strip()}")
    same = next((r.same_value_ns for r in rows if r.same_value_ns is not None), None)
    if same is not None:
        refs.append(f"same_value {same:.3f}")
    print(f"\n{pair_label(first.source, first.target)}  n={size_label(first.size)}  "
          f"({first.rounds} rounds; ns/el: {', '.join(refs)})")
    print(TABLE_HEAD)
    for r in rows:
        fam = FAMILIES[r.family]
        print(f"  {r.data:<6}{fam.rounding:<18}{fam.out_of_range or 'checked':<8}"
              f"{r.map_entries:>4}{fmt(r.into_ns, 12, 3)}{fmt(r.into_vs_bound, 8)}"
              f"{fmt(r.into_vs_copyto, 9)}{fmt(r.array_ns, 13, 3)}"
              f"{fmt(r.array_vs_astype, 9)}{fmt(r.array_vs_same_value, 7)}")
    sys.stdout.flush()


def print_one_element(rows):
    print("\nOne-element calls (ns per call, nearest-even, checked)")
    print(f"  {'pair':<12}{'cast_array':>12}{'astype':>10}{'ratio':>8}"
          f"{'cast_into':>12}{'copyto':>10}{'ratio':>8}")
    for r in rows:
        print(f"  {pair_label(r.source, r.target):<12}{fmt(r.array_ns, 12, 0)}"
              f"{fmt(r.astype_ns, 10, 0)}{fmt(r.array_vs_astype, 8)}"
              f"{fmt(r.into_ns, 12, 0)}{fmt(r.copyto_ns, 10, 0)}{fmt(r.into_vs_copyto, 8)}")
    sys.stdout.flush()


# ---------------------------------------------------------------- driver

def parse_sizes(text):
    return [int(float(part)) for part in text.split(",") if part.strip()]


def selected(source, target, patterns):
    if not patterns:
        return True
    names = (pair_label(source, target), pair_label(source, target, short=False))
    return any(fnmatch.fnmatchcase(name, p) for p in patterns for name in names)


def plan(args):
    """[(source, target, n, configs)] and the pairs for the one-element calls."""
    pairs = QUICK_PAIRS if args.quick else all_pairs()
    pairs = [p for p in pairs if selected(*p, args.filter)]
    groups = []
    for source, target in pairs:
        for n in args.sizes:
            configs = pair_configs(source, target)
            if args.goals:
                needed = {c for row in GOAL_ROWS for c in row.needs(source, target, n)}
                configs = [c for c in configs if c in needed]
            if configs:
                groups.append((source, target, n, configs))
    return groups, pairs


def kernel_variant():
    """The instruction-set variant the module's kernels run here, as the
    module's C symbol names it."""
    import ctypes
    try:
        function = ctypes.CDLL(_prandel.__file__).prandel_kernel_variant
    except (OSError, AttributeError):
        return "unknown"
    function.restype = ctypes.c_char_p
    return function().decode()


def machine_line():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = ""
    if hasattr(os, "getloadavg"):
        load = f", load {os.getloadavg()[0]:.2f}"
    return (f"{cpu}, {os.cpu_count()} CPUs{load}; Python {platform.python_version()}, "
            f"NumPy {np.__version__}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="about a one-minute subset")
    parser.add_argument("--goals", action="store_true", help="only what the goal table needs")
    parser.add_argument("--filter", action="append", default=[], metavar="PATTERN",
                        help='pair pattern, e.g. "f64->i*" (repeatable)')
    parser.add_argument("--sizes", type=parse_sizes, default=SIZES,
                        help="comma-separated element counts (default 1e3,1e5,1e7)")
    parser.add_argument("--csv", type=Path, help="result file")
    args = parser.parse_args()
    settings = QUICK if args.quick else FULL
    if args.csv is None:
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        args.csv = Path(__file__).resolve().parent / "results" / f"bench-{stamp}.csv"
    args.csv.parent.mkdir(parents=True, exist_ok=True)

    np.seterr(all="ignore")  # NumPy's own casts of out-of-range data warn
    same_value = numpy_has_same_value()
    groups, pairs = plan(args)
    print(f"# _prandel benchmark ({'quick' if args.quick else 'full'}"
          f"{', goals only' if args.goals else ''}): {len(groups)} groups, "
          f"sizes {', '.join(size_label(n) for n in sorted({g[2] for g in groups}))}")
    print(f"# {machine_line()}; kernel variant {kernel_variant()}; "
          f"astype(casting='same_value') "
          f"{'available' if same_value else 'not available'}")
    print(f"# results: {args.csv}")

    started = time.perf_counter()
    rows, failures = [], []
    with open(args.csv, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=CSV_FIELDS)
        writer.writeheader()
        for source, target, n, configs in groups:
            group_rows = time_pair_at_size(source, target, n, configs, settings, same_value,
                                           failures)
            print_group(group_rows)
            writer.writerows(csv_record(r) for r in group_rows)
            f.flush()
            rows += group_rows
        single_settings = ONE_ELEMENT_QUICK if args.quick else ONE_ELEMENT
        single = [time_one_element(s, t, single_settings, failures) for s, t in pairs]
        if single:
            print_one_element(single)
            writer.writerows(csv_record(r) for r in single)
        rows += single

    for label, n, key, message in failures:
        print(f"failed: {label} n={size_label(n)} {key}: {message}", file=sys.stderr)
    print_goal_summary(rows)
    print(f"\nWall time {time.perf_counter() - started:.0f} s; results in {args.csv}")


if __name__ == "__main__":
    main()
