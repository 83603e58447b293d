"""scalar_map_entries: accepted forms, value conversion, errors, dict walks."""

import collections
import gc
import struct
import sys
import types
import weakref

import numpy as np
import pytest

import _prandel

DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
          "uint64", "float16", "float32", "float64"]
FLOAT_DTYPES = DTYPES[8:]

NOT_ITERABLE = ("scalar_map_entries must be a dict or an iterable of "
                "(source, target) pairs")
NOT_PAIR = "Each scalar_map entry must be a (source, target) pair"
SIZE_CHANGED = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"


def source_error(shown, dtype):
    return (f"scalar_map source value {shown}: expected a value convertible "
            f"to source dtype {dtype}")


def target_error(shown, dtype):
    return (f"scalar_map target value {shown}: expected a value convertible "
            f"to target dtype {dtype}")


def cast(values, source, target, entries, rounding="nearest-even"):
    return _prandel.cast_array(np.array(values, dtype=source),
                               target_dtype=target, rounding_mode=rounding,
                               scalar_map_entries=entries)


def raises_exactly(exc_type, message, source, target, entries):
    with pytest.raises(exc_type) as info:
        cast([0], source, target, entries)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    # The system's own error replaces, and is not chained to, what it hides.
    assert info.value.__context__ is None and info.value.__cause__ is None


def bits(array):
    return array.view(f"u{array.itemsize}").tolist()


class Boom(Exception):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Shows:
    """repr() gives `text` and str() gives `str_text`; None makes them raise."""

    def __init__(self, text, str_text=None):
        self.text, self.str_text = text, str_text

    def __repr__(self):
        if self.text is None:
            raise Boom("repr")
        return self.text

    def __str__(self):
        if self.str_text is None:
            raise Boom("str")
        return self.str_text


class Hooks:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Hooks({self.name})"


def hooks(name, result):
    """An object whose one special method `name` returns `result`, or raises
    it when it is an exception class."""
    def hook(self):
        if isinstance(result, type) and issubclass(result, BaseException):
            raise result(name)
        return result
    return type("With" + name, (Hooks,), {name: hook})(name)


class Pair:
    """A two-item sequence that records which items were asked for."""

    def __init__(self, first, second):
        self.items, self.fetched = (first, second), []

    def __len__(self):
        return 2

    def __getitem__(self, index):
        self.fetched.append(index)
        if isinstance(self.items[index], BaseException):
            raise self.items[index]
        return self.items[index]


# --- Forms --------------------------------------------------------------------

class StorageOnlyDict(dict):
    def _broken(self, *args):
        raise AssertionError("a dict method was called")

    __iter__ = keys = values = items = __getitem__ = __len__ = _broken


class PairKeysMapping(collections.abc.Mapping):
    """Not a dict: iterated like any iterable, so its keys are the pairs."""

    __getitem__ = StorageOnlyDict._broken

    def __iter__(self):
        return iter([(1, 7)])

    def __len__(self):
        return 1


FORMS_MAPPING_1_TO_7 = {
    "dict": lambda: {1: 7},
    "list": lambda: [(1, 7)],
    "tuple-of-lists": lambda: ([1, 7],),
    "generator": lambda: (p for p in [(1, 7)]),
    "bytes-pair": lambda: [b"\x01\x07"],
    "dict-pair": lambda: [{0: 1, 1: 7}],
    "ndarray-pair": lambda: [np.array([1, 7])],
    "numpy-scalars": lambda: [(np.int64(1), np.uint8(7))],
    "dict-subclass-overrides": lambda: StorageOnlyDict({1: 7}),
    "defaultdict": lambda: collections.defaultdict(int, {1: 7}),
    "non-dict-mapping": PairKeysMapping,
}


@pytest.mark.parametrize("pair", [("int16", "uint8"), ("float32", "float64")])
@pytest.mark.parametrize("form", list(FORMS_MAPPING_1_TO_7))
def test_forms_that_map_1_to_7(form, pair):
    entries = FORMS_MAPPING_1_TO_7[form]()
    assert cast([0, 1, 2], *pair, entries).tolist() == [0, 7, 2]


@pytest.mark.parametrize("entries", [None, {}, [], (), "", iter([])])
def test_empty_forms_leave_values_alone(entries):
    assert cast([0, 1, 2], "int16", "uint8", entries).tolist() == [0, 1, 2]


def test_order_and_duplicates():
    assert cast([1, 2], "int8", "int8", [(1, 2), (1, 3)]).tolist() == [2, 2]
    # 1.0001 becomes float16 1.0: the first key inserted wins.
    assert cast([1.0], "float16", "int8", {1.0001: 5, 1.0: 6}).tolist() == [5]
    d = {1.0001: 5, 1.0: 6}
    d[1.0001] = d.pop(1.0001)  # now inserted last
    assert cast([1.0], "float16", "int8", d).tolist() == [6]
    ordered = collections.OrderedDict([(1.0001, 5), (1.0, 6)])
    ordered.move_to_end(1.0001)  # its own order, not its storage order
    assert cast([1.0], "float16", "int8", ordered).tolist() == [5]


@pytest.mark.parametrize("entries", [5, 1.5, True, hooks("__iter__", Boom)],
                         ids=["int", "float", "bool", "iter-raises"])
def test_not_iterable(entries):
    raises_exactly(TypeError, NOT_ITERABLE, "int8", "int8", entries)


@pytest.mark.parametrize("entries", [
    [(1, 2, 3)], [(1,)], [5], [(1, 2), (3, 4, 5)], "ab", ["a"],
    [hooks("__len__", Boom)], types.MappingProxyType({1: 2}), {1: 2}.keys(),
], ids=["triple", "single", "int-item", "bad-second", "str", "one-char",
        "len-raises", "mappingproxy", "dict-keys"])
def test_items_that_are_not_pairs(entries):
    raises_exactly(ValueError, NOT_PAIR, "int8", "int8", entries)


def test_caller_exceptions_pass_through_unchanged():
    two_ints = {1, 2}
    with pytest.raises(TypeError) as info:
        cast([0], "int8", "int8", [two_ints])
    with pytest.raises(TypeError) as expected:
        two_ints[0]
    assert str(info.value) == str(expected.value)

    with pytest.raises(KeyError) as info:
        cast([0], "int8", "int8", [{"a": 1, "b": 2}])
    assert info.value.args == (0,)

    error = Boom("item 1")
    with pytest.raises(Boom) as info:
        cast([0], "int8", "int8", [Pair(1, error)])
    assert info.value is error

    produced = []

    def pairs():
        produced.append(1)
        yield (1, 2)
        produced.append(2)
        raise error

    with pytest.raises(Boom) as info:
        cast([1], "int8", "int8", pairs())
    assert info.value is error and produced == [1, 2]


def test_first_failure_within_an_entry_wins():
    pair = Pair("a", Boom("item 1 must not be fetched"))
    raises_exactly(TypeError, source_error("'a'", "int16"), "int16", "int8",
                   [pair])
    assert pair.fetched == [0]
    raises_exactly(TypeError, source_error("'a'", "int8"), "int8", "int8",
                   ["ab"])
    raises_exactly(TypeError, source_error("'k'", "int8"), "int8", "int8",
                   {"k": "v"})
    raises_exactly(TypeError, target_error("'v'", "int8"), "int8", "int8",
                   {1: "v"})


# --- Interrupts ---------------------------------------------------------------

class Interrupt(KeyboardInterrupt):
    pass


class OutOfMemory(MemoryError):
    pass


class Stop(BaseException):
    pass


# Exceptions that stop the call rather than report a bad value: whatever
# replaces the caller's error elsewhere lets these through.
INTERRUPTS = {
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": lambda: SystemExit(3),
    "KeyboardInterrupt subclass": Interrupt,
    "BaseException subclass": Stop,
    "MemoryError": MemoryError,
    "MemoryError subclass": OutOfMemory,
}


def raising(method, error):
    """An object whose special method `method` raises `error`; a __repr__
    raises once only, so that pytest can show the object in a report."""
    def hook(self, *args):
        if method == "__repr__" and self.spent:
            return "spent"
        self.spent = True
        raise error
    return type("Raises" + method, (), {method: hook, "spent": False})()


class ReprFailsStrRaises:
    def __init__(self, error):
        self.error = error

    def __repr__(self):
        raise Boom("repr")

    def __str__(self):
        error, self.error = self.error, None
        if error is None:
            return "spent"
        raise error


class RaisingIterator:
    def __init__(self, error):
        self.error = error

    def __iter__(self):
        return self

    def __next__(self):
        raise self.error


# Where the caller's code runs while the map is read: (source dtype, target
# dtype, entries built around the error).
INTERRUPT_PLACES = {
    "__iter__": ("int8", "int8", lambda e: raising("__iter__", e)),
    "__next__": ("int8", "int8", RaisingIterator),
    "__len__ of a pair": ("int8", "int8", lambda e: [raising("__len__", e)]),
    "__getitem__ of a pair": ("int8", "int8", lambda e: [Pair(e, 1)]),
    "__index__ of a key": ("int8", "int16",
                           lambda e: {raising("__index__", e): 1}),
    "__index__ of a value": ("int8", "int16",
                             lambda e: {1: raising("__index__", e)}),
    "__index__ of a uint64 source": (
        "uint64", "int8", lambda e: [(raising("__index__", e), 1)]),
    "__float__ of a source": ("float32", "int8",
                              lambda e: [(raising("__float__", e), 1)]),
    "__float__ of a target": ("int8", "float16",
                              lambda e: [(1, raising("__float__", e))]),
    "__repr__ of a refused value": ("int8", "int8",
                                    lambda e: {raising("__repr__", e): 1}),
    "__str__ of a refused value": ("int8", "uint32",
                                   lambda e: [(1, ReprFailsStrRaises(e))]),
}


@pytest.mark.parametrize("into", [False, True], ids=["cast_array",
                                                     "cast_array_into"])
@pytest.mark.parametrize("make_error", INTERRUPTS.values(),
                         ids=INTERRUPTS.keys())
@pytest.mark.parametrize("place", INTERRUPT_PLACES)
def test_interrupts_pass_through_unchanged(place, make_error, into):
    source, target, make_entries = INTERRUPT_PLACES[place]
    error = make_error()
    arr = np.array([1, 2, 3] * 400, dtype=source)
    out = np.full(arr.shape, 9, dtype=target)
    with pytest.raises(BaseException) as info:
        if into:
            _prandel.cast_array_into(arr, out, rounding_mode="nearest-even",
                                     scalar_map_entries=make_entries(error))
        else:
            cast(arr, source, target, make_entries(error))
    assert info.value is error
    assert (out == 9).all()


@pytest.mark.parametrize("place", INTERRUPT_PLACES)
def test_interrupts_keep_reference_counts(place):
    source, target, make_entries = INTERRUPT_PLACES[place]
    error = Interrupt()
    arr = np.array([1, 2], dtype=source)

    def run():
        entries = make_entries(error)
        held = sys.getrefcount(entries)
        try:
            cast(arr, source, target, entries)
        except Interrupt as caught:
            caught.__traceback__ = None  # its frames would hold the entries
        assert sys.getrefcount(entries) == held

    run()
    gc.collect()
    before = sys.getrefcount(error), sys.getrefcount(arr)
    for _ in range(5):
        run()
    gc.collect()
    assert (sys.getrefcount(error), sys.getrefcount(arr)) == before


# --- Values -------------------------------------------------------------------

INT_CASES = [
    # dtype, value, the integer it gives (None: refused)
    ("int8", 127, 127), ("int8", -128, -128), ("int8", 128, None),
    ("int8", -129, None), ("int8", -1, -1), ("int8", True, 1),
    ("int8", False, 0), ("int8", 1.0, None), ("int8", "5", None),
    ("int8", None, None), ("int8", hooks("__int__", 1), None),
    ("int8", hooks("__float__", 1.0), None), ("int8", Index(7), 7),
    ("int8", Index(1.5), None), ("int8", hooks("__index__", Boom), None),
    ("int8", np.int64(5), 5), ("int8", np.float64(1.0), None),
    ("int8", float("nan"), None),
    ("uint8", 255, 255), ("uint8", 300, None), ("uint8", -1, None),
    ("int16", -32768, -32768), ("int16", 32768, None), ("int16", 3.0, None),
    ("uint16", 65535, 65535), ("uint16", 65536, None),
    ("int32", -2**31, -2**31), ("int32", 2**31, None), ("int32", -1, -1),
    ("uint32", 2**32 - 1, 2**32 - 1), ("uint32", 2**32, None),
    ("uint32", -1, None), ("uint32", np.uint64(2**32 - 1), 2**32 - 1),
    ("int64", 2**63 - 1, 2**63 - 1), ("int64", -2**63, -2**63),
    ("int64", 2**63, None), ("int64", -1, -1),
    ("uint64", 2**64 - 1, 2**64 - 1), ("uint64", 2**64, None),
    ("uint64", -1, None), ("uint64", False, 0),
    ("uint64", np.uint64(2**64 - 1), 2**64 - 1),
    ("uint64", Index(2**64 - 1), 2**64 - 1), ("uint64", Index(-1), None),
    ("uint64", type("Big", (int,), {})(2**64 - 1), 2**64 - 1),
    ("uint64", hooks("__index__", Boom), None), ("uint64", 1.0, None),
]


@pytest.mark.parametrize("dtype,value,expected", INT_CASES)
def test_integer_values(dtype, value, expected):
    if expected is None:
        raises_exactly(TypeError, source_error(repr(value), dtype), dtype,
                       "float64", [(value, 0.5)])
        raises_exactly(TypeError, target_error(repr(value), dtype), "int8",
                       dtype, {0: value})
        return
    result = cast([expected, 0 if expected else 1], dtype, "float64",
                  [(value, 0.5)])
    assert result.tolist()[0] == 0.5 and result.tolist()[1] != 0.5
    assert cast([0], "int8", dtype, {0: value}).tolist() == [expected]


def test_float_target_values_round_like_numpy():
    # Each is the double rounded once, as NumPy's astype rounds it.
    doubles = np.array([
        0.1, 1 / 3, 1e-40, 5e-324, 1e300, -1e300, 3.4028235677973366e+38,
        3.4028235677973362e+38, 65504.0, 65519.0, 65520.0, 70000.0, 2.0**-25,
        1.0004882812509095, 1.00146484375, np.inf, -0.0,
    ])
    with np.errstate(over="ignore"):
        singles = doubles.astype(np.float32)
        halves = doubles.astype(np.float16)
    for dtype, expected in [("float64", doubles), ("float32", singles),
                            ("float16", halves)]:
        for value, want in zip(doubles.tolist(), expected):
            assert bits(cast([0], "int8", dtype, {0: value})) == \
                bits(np.array([want])), (dtype, value)


def f64(bits64):
    return struct.unpack("<d", struct.pack("<Q", bits64))[0]


@pytest.mark.parametrize("value,half", [
    (65519.0, 0x7BFF), (65520.0, 0x7C00), (-70000.0, 0xFC00),
    (2.0**-25, 0x0000), (2.0**-25 + 2.0**-48, 0x0001), (-0.0, 0x8000),
    (1.0004882812509095, 0x3C01), (1.00146484375, 0x3C02),
    (float("nan"), 0x7E00), (-float("nan"), 0xFE00),
    (f64(0xFFF8000000000000 | 0x3FF << 42), 0xFFFF),
], ids=str)
def test_float16_target_bits(value, half):
    assert bits(cast([0], "int8", "float16", {0: value})) == [half]


def test_nan_payloads_stored_as_converted():
    snan = f64(0x7FF4000000000001)
    assert bits(cast([0], "int8", "float64", {0: snan})) == [0x7FF4000000000001]
    assert bits(cast([0], "int8", "float32", {0: snan})) == [0x7FE00000]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("value,expected", [
    (3, 3.0), (True, 1.0), (Index(7), 7.0), (hooks("__float__", 2.5), 2.5),
    (np.float32(0.5), 0.5),
])
def test_float_values_by_float_protocol(dtype, value, expected):
    assert cast([0], "int8", dtype, {0: value}).tolist() == [expected]
    assert cast([expected, 0.25], dtype, "int8", {value: 9}).tolist() == [9, 0]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("value", ["5", None, 10**400, b"1",
                                   hooks("__float__", Boom)])
def test_float_values_refused(dtype, value):
    raises_exactly(TypeError, source_error(repr(value), dtype), dtype, "int8",
                   [(value, 1)])
    raises_exactly(TypeError, target_error(repr(value), dtype), "int8", dtype,
                   [(0, value)])


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_float_source_keys(dtype):
    nan, inf = float("nan"), float("inf")
    # A NaN element matches a NaN source whatever its sign or payload.
    assert cast([nan, -nan, 1], dtype, "int8", {nan: 5}).tolist() == [5, 5, 1]
    assert cast([0.0, -0.0], dtype, "int8", {-0.0: 4}).tolist() == [4, 4]
    assert cast([inf, -inf], dtype, "int8", {inf: 1, -inf: 2}).tolist() == \
        [1, 2]


def test_float_source_keys_are_narrowed():
    assert cast([np.inf], "float32", "int8", {1e300: 3}).tolist() == [3]
    assert cast([np.inf], "float16", "int8", {70000.0: 3}).tolist() == [3]
    # Rounded once, 1 + 2^-11 + 2^-40 is just above the tie and gives
    # 1 + 2^-10 (through float32 it would land on the tie and give 1.0).
    result = cast([1.0, 1.0009765625], "float16", "int8",
                  {1.0004882812509095: 5}, rounding="towards-positive")
    assert result.tolist() == [1, 5]


# --- Messages -----------------------------------------------------------------

@pytest.mark.parametrize("value,shown", [
    ("5", "'5'"),
    (Shows(None, "x"), "x"),
    (Shows(None), "<unprintable Shows object>"),
    (Shows("a\ud800b"), "a\ufffd\ufffd\ufffdb"),
    (Shows("nul\x00\u00e9\U0001f600"), "nul\x00\u00e9\U0001f600"),
    (Shows("y" * 100000), "y" * 100000),
], ids=["str", "repr-raises", "both-raise", "lone-surrogate", "nul-non-ascii",
        "long"])
def test_value_shown_in_message(value, shown):
    raises_exactly(TypeError, source_error(shown, "uint16"), "uint16", "int8",
                   {value: 1})
    raises_exactly(TypeError, target_error(shown, "float32"), "int8",
                   "float32", [(0, value)])


@pytest.mark.parametrize("source", DTYPES)
@pytest.mark.parametrize("target", DTYPES)
def test_every_pair_parses_with_its_own_keys(source, target):
    assert cast([1, 0], source, target, {1: 2}).tolist() == [2, 0]
    raises_exactly(TypeError, source_error("'s'", source), source, target,
                   [("s", 1)])
    raises_exactly(TypeError, target_error("'t'", target), source, target,
                   [(1, "t")])


# --- The caller changing the dict during the walk ----------------------------

class Mutating:
    """Runs `action(self)` at its first numeric conversion."""

    def __init__(self, value, action):
        self.value, self.action, self.fired = value, action, False

    def __index__(self):
        if not self.fired:
            self.fired = True
            self.action(self)
        return self.value

    def __float__(self):
        return float(self.__index__())


def test_growing_or_shrinking_the_dict():
    d = {1: 1}
    d[Mutating(2, lambda key: d.__setitem__(99, 1))] = 2  # the last entry
    raises_exactly(RuntimeError, SIZE_CHANGED, "int8", "int8", d)
    d = {}
    d[Mutating(1, lambda key: d.pop(3))] = 2
    d[3] = 4
    raises_exactly(RuntimeError, SIZE_CHANGED, "int8", "float32", d)
    d = {1: Mutating(2, lambda value: d.__setitem__(99, 1))}
    raises_exactly(RuntimeError, SIZE_CHANGED, "int8", "float64", d)


def test_replacing_keys_at_constant_size():
    d = {}

    def swap(key, then=lambda k: None):
        del d[key]
        d[Mutating(5, then)] = 6

    d[Mutating(1, swap)] = 2
    raises_exactly(RuntimeError, KEYS_CHANGED, "int8", "int8", d)
    # When the next key also grows the dict both tests fire: size comes first.
    d.clear()
    d[Mutating(1, lambda k: swap(k, lambda k2: d.__setitem__(7, 8)))] = 2
    raises_exactly(RuntimeError, SIZE_CHANGED, "int8", "int8", d)


def test_clearing_the_dict_keeps_the_value_alive():
    converted = []
    d = {}
    d[Mutating(1, lambda key: d.clear())] = Mutating(
        3, lambda value: converted.append(True))
    value_ref = weakref.ref(next(iter(d.values())))
    raises_exactly(RuntimeError, SIZE_CHANGED, "int8", "int8", d)
    assert converted == [True]  # the value, whose only owner was the dict
    gc.collect()
    assert value_ref() is None


# --- Order against the other checks ------------------------------------------

@pytest.mark.parametrize("entries,exc_type", [
    (5, TypeError), ([(1, 2, 3)], ValueError), ({"a": 1}, TypeError),
])
def test_malformed_map_fails_before_anything_is_written(entries, exc_type):
    with pytest.raises(exc_type):
        cast([], "int8", "int16", entries)
    out = np.full(3, 9, dtype=np.int16)
    with pytest.raises(exc_type):
        _prandel.cast_array_into(np.array([1, 2, 3], dtype=np.int8), out,
                                 rounding_mode="nearest-even",
                                 scalar_map_entries=entries)
    assert out.tolist() == [9, 9, 9]


def test_map_code_resizing_the_input():
    arr = np.arange(4, dtype=np.int16)
    grow = Mutating(1, lambda key: arr.resize(1000, refcheck=False))
    result = _prandel.cast_array(arr, target_dtype="int32",
                                 rounding_mode="nearest-even",
                                 scalar_map_entries={grow: 50})
    expected = np.where(arr == 1, 50, arr).astype(np.int32)
    assert result.shape == (1000,) and np.array_equal(result, expected)


# --- References ---------------------------------------------------------------

def _raising_generator(pair, error):
    yield pair
    raise error


def _mutated_dict(key, value, action):
    d = {}
    d[Mutating(1, lambda k: action(d))] = value
    d[key] = value
    return d


# Each builds a fresh scalar_map_entries from (key, value, bad, error).
REFERENCE_CASES = {
    "dict": lambda k, v, b, e: {k: v},
    "list": lambda k, v, b, e: [(k, v)],
    "dict-bad-key": lambda k, v, b, e: {b: v},
    "dict-bad-value": lambda k, v, b, e: {k: b},
    "list-bad-source": lambda k, v, b, e: [(b, v)],
    "list-bad-target": lambda k, v, b, e: [Pair(k, b)],
    "not-pair": lambda k, v, b, e: [(k, v, b)],
    "item-raises": lambda k, v, b, e: [Pair(k, e)],
    "generator-raises": lambda k, v, b, e: _raising_generator((k, v), e),
    "size-changed": lambda k, v, b, e: _mutated_dict(
        k, v, lambda d: d.__setitem__(10, v)),
    "cleared": lambda k, v, b, e: _mutated_dict(k, v, dict.clear),
    "not-iterable": lambda k, v, b, e: k,
}


@pytest.mark.parametrize("name", list(REFERENCE_CASES))
def test_reference_counts_unchanged(name):
    make = REFERENCE_CASES[name]
    parts = [Index(1), Index(2), Shows(None), Boom("item")]
    arr = np.array([1, 2], dtype=np.int8)

    def run(entries):
        try:
            _prandel.cast_array(arr, target_dtype="int8",
                                rounding_mode="nearest-even",
                                scalar_map_entries=entries)
        except (TypeError, ValueError, RuntimeError, Boom) as error:
            error.__traceback__ = None  # its frames would hold the parts

    run(make(*parts))  # anything created once on first use exists by now
    gc.collect()
    before = [sys.getrefcount(p) for p in parts + [arr]]
    for _ in range(5):
        entries = make(*parts)
        held = sys.getrefcount(entries)
        run(entries)
        if name != "cleared":  # there the caller's own code drops references
            assert sys.getrefcount(entries) == held
        del entries
    gc.collect()
    assert [sys.getrefcount(p) for p in parts + [arr]] == before
