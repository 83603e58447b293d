"""Binding and conversion of the arguments of cast_array and cast_array_into."""

import sys

import numpy as np
import pytest

import _prandel
from _prandel import cast_array, cast_array_into


# Python functions of the same signatures: the interpreter's own binding
# errors are the expected ones, on whichever Python version runs the tests.
def reference_cast_array(arr, *, target_dtype, rounding_mode,
                         out_of_range_mode=None, scalar_map_entries=None):
    pass


def reference_cast_array_into(arr, out, *, rounding_mode,
                              out_of_range_mode=None, scalar_map_entries=None):
    pass


reference_cast_array.__qualname__ = "cast_array"
reference_cast_array_into.__qualname__ = "cast_array_into"

A = np.array([1, 2, 3], np.int16)
B = np.zeros(3, np.float32)
NE = "nearest-even"


class KeywordName(str):
    pass


CAST_ARRAY_BAD_CALLS = {
    "nothing": ((), {}),
    "no arr": ((), {"target_dtype": "int8", "rounding_mode": NE}),
    "no keywords": ((A,), {}),
    "no target_dtype": ((A,), {"rounding_mode": NE}),
    "no rounding_mode": ((A,), {"target_dtype": "int8"}),
    "no required keyword but optional ones": (
        (A,), {"out_of_range_mode": "clamp", "scalar_map_entries": None}),
    "target_dtype positionally": ((A, "int8"), {}),
    "two positional plus one keyword-only": ((A, "int8"), {"rounding_mode": NE}),
    "three positional plus two keyword-only": (
        (A, "int8", NE), {"target_dtype": "int8", "rounding_mode": NE}),
    "unknown keyword": ((A,), {"target_dtype": "int8", "rounding_mode": NE,
                               "bogus": 1}),
    "misspelt keyword": ((A,), {"target_dtype": "int8", "rounding_mode": NE,
                                "out_of_range": "clamp"}),
    "case of keyword": ((), {"Arr": A}),
    "prefix of keyword": ((A,), {"target_dtyp": "int8"}),
    "far keyword": ((A,), {"rounding": NE}),
    "non-ascii keyword": ((A,), {"\u00e9": 1}),
    "surrogate keyword": ((A,), {"\udc80": 1}),
    "arr twice": ((A,), {"arr": A, "target_dtype": "int8",
                         "rounding_mode": NE}),
    "arr twice beats surplus positional": ((A, A), {"arr": A}),
    "unknown keyword beats missing ones": ((), {"zzz": 1}),
    "first bad keyword wins": ((A,), {"zzz": 1, "arr": A}),
    "repeat before unknown": ((A,), {"arr": A, "zzz": 1}),
    "str subclass keyword repeated": ((A,), {KeywordName("arr"): A}),
}

# Misspellings that the interpreter may answer with a suggestion.
CAST_ARRAY_BAD_CALLS.update({
    f"keyword {name!r}": ((A,), {name: 1}) for name in [
        "ARR", "rounding_modee", "roundingmode", "target-dtype",
        "scalar_map_entry", "out_of_range_modes", "OUT_OF_RANGE_MODE",
        "arr\u00e9", "x" * 50, "rounding_mode" * 4, "ar", "a", "_",
    ]
})

CAST_ARRAY_INTO_BAD_CALLS = {
    "nothing": ((), {}),
    "no out": ((A,), {"rounding_mode": NE}),
    "no positional": ((), {"rounding_mode": NE}),
    "out by keyword, no arr": ((), {"out": B, "rounding_mode": NE}),
    "no rounding_mode": ((A, B), {}),
    "three positional": ((A, B, NE), {}),
    "three positional plus keyword-only": ((A, B, NE), {"rounding_mode": NE}),
    "target_dtype is not a parameter": (
        (A, B), {"rounding_mode": NE, "target_dtype": "int8"}),
    "out twice": ((A, B), {"out": B, "rounding_mode": NE}),
    "misspelt keyword": ((A, B), {"rounding_mod": NE}),
}


def binding_error(function, args, kwargs):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    return str(caught.value)


@pytest.mark.parametrize("args, kwargs", CAST_ARRAY_BAD_CALLS.values(),
                         ids=CAST_ARRAY_BAD_CALLS.keys())
def test_cast_array_binding_errors_match_python(args, kwargs):
    expected = binding_error(reference_cast_array, args, kwargs)
    assert binding_error(cast_array, args, kwargs) == expected


@pytest.mark.parametrize("args, kwargs", CAST_ARRAY_INTO_BAD_CALLS.values(),
                         ids=CAST_ARRAY_INTO_BAD_CALLS.keys())
def test_cast_array_into_binding_errors_match_python(args, kwargs):
    expected = binding_error(reference_cast_array_into, args, kwargs)
    assert binding_error(cast_array_into, args, kwargs) == expected


def test_binding_accepts_keywords_in_any_order_and_str_subclass_names():
    result = cast_array(rounding_mode=NE, target_dtype="int8", arr=A,
                        **{KeywordName("out_of_range_mode"): "clamp"})
    assert result.tolist() == [1, 2, 3]
    out = np.zeros(3, np.int8)
    assert cast_array_into(out=out, arr=A, rounding_mode=NE) is None
    assert out.tolist() == [1, 2, 3]


NOT_CONTIGUOUS = np.arange(6, dtype=np.int16)[::2]

# (keyword arguments of cast_array, exception type, message); the first
# failing check in argument order decides.
CAST_ARRAY_CONVERSIONS = {
    "arr is a list": (
        {"arr": [1, 2], "target_dtype": 1, "rounding_mode": "bad"},
        TypeError,
        "argument 'arr': 'list' object cannot be converted to 'PyUntypedArray'"),
    "arr is a numpy scalar": (
        {"arr": np.int16(1), "target_dtype": "int8", "rounding_mode": NE},
        TypeError,
        "argument 'arr': 'int16' object cannot be converted to "
        "'PyUntypedArray'"),
    "target_dtype is a dtype type, before a bad rounding mode": (
        {"arr": A, "target_dtype": np.int8, "rounding_mode": "bad"},
        TypeError,
        "argument 'target_dtype': 'type' object cannot be converted to "
        "'PyString'"),
    "target_dtype is bytes": (
        {"arr": A, "target_dtype": b"int8", "rounding_mode": NE},
        TypeError,
        "argument 'target_dtype': 'bytes' object cannot be converted to "
        "'PyString'"),
    "rounding_mode is None": (
        {"arr": A, "target_dtype": "int8", "rounding_mode": None},
        TypeError,
        "argument 'rounding_mode': 'NoneType' object cannot be converted to "
        "'PyString'"),
    "bad rounding mode before the dtype of arr": (
        {"arr": np.zeros(2, bool), "target_dtype": "int8",
         "rounding_mode": "half-up"},
        ValueError, "Unknown rounding mode: half-up"),
    "rounding mode names are exact": (
        {"arr": A, "target_dtype": "int8", "rounding_mode": "Nearest-Even"},
        ValueError, "Unknown rounding mode: Nearest-Even"),
    "bad rounding mode before bad out_of_range_mode": (
        {"arr": A, "target_dtype": "int8", "rounding_mode": "",
         "out_of_range_mode": "saturate"},
        ValueError, "Unknown rounding mode: "),
    "out_of_range_mode is not a str": (
        {"arr": A, "target_dtype": "int8", "rounding_mode": NE,
         "out_of_range_mode": 1},
        TypeError,
        "argument 'out_of_range_mode': 'int' object cannot be converted to "
        "'PyString'"),
    "bad out_of_range_mode before a bad target_dtype": (
        {"arr": A, "target_dtype": "int9", "rounding_mode": NE,
         "out_of_range_mode": "saturate"},
        ValueError, "Unknown out_of_range mode: saturate"),
    "bad target_dtype before the layout and the scalar map": (
        {"arr": NOT_CONTIGUOUS, "target_dtype": "bool", "rounding_mode": NE,
         "scalar_map_entries": 42},
        TypeError, "Unsupported target dtype: bool"),
    "dtype of arr before target_dtype": (
        {"arr": np.zeros(2, np.complex64), "target_dtype": "bool",
         "rounding_mode": NE},
        TypeError, "Unsupported numpy dtype: complex64"),
}

# The same for cast_array_into, with its own order of checks.
CAST_ARRAY_INTO_CONVERSIONS = {
    "arr before out": (
        {"arr": (1,), "out": [1], "rounding_mode": NE},
        TypeError,
        "argument 'arr': 'tuple' object cannot be converted to "
        "'PyUntypedArray'"),
    "out before the rounding mode": (
        {"arr": A, "out": [1], "rounding_mode": "bad"},
        TypeError,
        "argument 'out': 'list' object cannot be converted to "
        "'PyUntypedArray'"),
    "bad out_of_range_mode before the shapes": (
        {"arr": A, "out": np.zeros(4, np.int8), "rounding_mode": NE,
         "out_of_range_mode": "Clamp"},
        ValueError, "Unknown out_of_range mode: Clamp"),
    "dtype of arr before dtype of out": (
        {"arr": np.zeros(3, np.complex128), "out": np.zeros(3, bool),
         "rounding_mode": NE},
        TypeError, "Unsupported numpy dtype: complex128"),
    "dtype of out before the shapes": (
        {"arr": A, "out": np.zeros((2, 2), bool), "rounding_mode": NE},
        TypeError, "Unsupported numpy dtype: bool"),
    "shapes before the layout and the scalar map": (
        {"arr": NOT_CONTIGUOUS, "out": np.zeros(4, np.int8),
         "rounding_mode": NE, "scalar_map_entries": 42},
        ValueError, "Shape mismatch: input shape [3] != output shape [4]"),
}


@pytest.mark.parametrize("function, kwargs, error, message", [
    pytest.param(function, *case, id=f"{function.__name__}: {name}")
    for function, table in [(cast_array, CAST_ARRAY_CONVERSIONS),
                            (cast_array_into, CAST_ARRAY_INTO_CONVERSIONS)]
    for name, case in table.items()
])
def test_order_of_checks(function, kwargs, error, message):
    with pytest.raises(error) as caught:
        function(**kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message


@pytest.mark.parametrize("parameter", ["target_dtype", "rounding_mode",
                                       "out_of_range_mode"])
def test_encoding_error_of_a_str_argument_passes_unrenamed(parameter):
    # Only exactly TypeError gets the "argument '...'" form.
    kwargs = {"target_dtype": "int8", "rounding_mode": NE,
              parameter: "int8\udc80"}
    with pytest.raises(UnicodeEncodeError) as caught:
        cast_array(A, **kwargs)
    assert caught.value.object == "int8\udc80"
    assert not str(caught.value).startswith("argument")


class Text(str):
    pass


def test_str_subclasses_are_read_as_their_text():
    result = cast_array(A, target_dtype=Text("float32"),
                        rounding_mode=Text("towards-zero"),
                        out_of_range_mode=Text("clamp"))
    assert result.dtype == np.float32
    assert result.tolist() == [1.0, 2.0, 3.0]


# A text the caller passes may be the interpreter's interned str, an equal
# str made at run time, or a str subclass: all read alike.
TEXT_FORMS = {
    "interned": sys.intern,
    "made at run time": lambda text: "".join(list(text)),
    "str subclass": Text,
}


@pytest.mark.parametrize("form", TEXT_FORMS)
def test_text_arguments_match_whatever_str_object_holds_them(form):
    make = TEXT_FORMS[form]
    values = np.array([2.5, -2.5, 300.0], np.float64)
    for rounding, expected in [("nearest-even", [2, -2, 127]),
                               ("towards-zero", [2, -2, 127]),
                               ("towards-positive", [3, -2, 127]),
                               ("towards-negative", [2, -3, 127]),
                               ("nearest-away", [3, -3, 127])]:
        kwargs = {make("target_dtype"): make("int8"),
                  make("rounding_mode"): make(rounding),
                  make("out_of_range_mode"): make("clamp")}
        assert cast_array(values, **kwargs).tolist() == expected
    out = np.zeros(3, np.int16)
    cast_array_into(values, out, **{make("rounding_mode"): make("towards-zero"),
                                    make("out_of_range_mode"): make("wrap")})
    assert out.tolist() == [2, -2, 300]
    with pytest.raises(ValueError) as caught:
        cast_array(values, target_dtype="int8", rounding_mode=make("nearest"))
    assert str(caught.value) == "Unknown rounding mode: nearest"
    with pytest.raises(TypeError) as caught:
        cast_array(values, target_dtype=make("int"), rounding_mode=NE)
    assert str(caught.value) == "Unsupported target dtype: int"


def test_none_equals_omitted_optional_arguments():
    big = np.array([300], np.int16)
    for kwargs in ({}, {"out_of_range_mode": None},
                   {"scalar_map_entries": None},
                   {"out_of_range_mode": None, "scalar_map_entries": None}):
        with pytest.raises(ValueError) as caught:
            cast_array(big, target_dtype="int8", rounding_mode=NE, **kwargs)
        assert str(caught.value) == (
            "Value 300 out of range [-128, 127]. Set out_of_range='clamp' or "
            "out_of_range='wrap' to handle this.")
        nan = np.array([np.nan])
        with pytest.raises(ValueError) as caught:
            cast_array_into(nan, np.zeros(1, np.int32), rounding_mode=NE,
                            **kwargs)
        assert str(caught.value) == (
            "Cannot cast NaN to integer type without scalar_map")


def test_bad_mode_fails_even_where_the_pair_ignores_it():
    # int16 -> int32 uses no mode, yet both texts are still checked.
    with pytest.raises(ValueError, match="^Unknown rounding mode: up$"):
        cast_array(A, target_dtype="int32", rounding_mode="up")
    with pytest.raises(ValueError, match="^Unknown out_of_range mode: x$"):
        cast_array_into(A, np.zeros(3, np.int32), rounding_mode=NE,
                        out_of_range_mode="x")


def call_and_catch(function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except (TypeError, ValueError):
        pass


@pytest.mark.parametrize("kwargs", [
    {"target_dtype": "float32", "rounding_mode": NE},      # success
    {"target_dtype": "float32"},                            # binding
    {"target_dtype": 7, "rounding_mode": NE},               # conversion
    {"target_dtype": "float32", "rounding_mode": "x"},      # mode parse
    {"target_dtype": "bool", "rounding_mode": NE},          # dispatch
    {"target_dtype": "uint8", "rounding_mode": NE},         # conversion error
], ids=["success", "binding", "conversion", "mode", "dispatch", "cast error"])
def test_cast_array_keeps_reference_counts(kwargs, unchanged_refcounts):
    arr = np.array([1, -2, 3], np.int16)
    values = tuple(kwargs.values())
    with unchanged_refcounts(arr, *values):
        for _ in range(20):
            call_and_catch(cast_array, arr, **kwargs)


@pytest.mark.parametrize("out, kwargs", [
    (np.zeros(3, np.float32), {"rounding_mode": NE}),
    (np.zeros(3, np.float32), {}),
    ([0, 0, 0], {"rounding_mode": NE}),
    (np.zeros(3, np.float32), {"rounding_mode": NE, "out_of_range_mode": 3}),
    (np.zeros(3, bool), {"rounding_mode": NE}),
    (np.zeros(4, np.float32), {"rounding_mode": NE}),
    (np.zeros(3, np.uint8), {"rounding_mode": NE}),
], ids=["success", "binding", "conversion", "mode", "dtype", "shape",
        "cast error"])
def test_cast_array_into_keeps_reference_counts(out, kwargs,
                                                unchanged_refcounts):
    arr = np.array([1, -2, 3], np.int16)
    with unchanged_refcounts(arr, out, *kwargs.values()):
        for _ in range(20):
            call_and_catch(cast_array_into, arr, out, **kwargs)


def test_module_is_usable_after_failures():
    for _ in range(3):
        call_and_catch(cast_array, [1], target_dtype="int8", rounding_mode=NE)
    assert _prandel.cast_array(A, target_dtype="uint8",
                               rounding_mode=NE).tolist() == [1, 2, 3]
