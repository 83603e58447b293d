"""Reference counts across the error paths that raise: after many failing
calls the arguments, the exception types (the one raised and any raised
inside and replaced) and the scalar-map items hold exactly the references
they held before."""

import gc

import numpy as np
import pytest

from _prandel import cast_array, cast_array_into

CALLS = 1000
NE = "nearest-even"


def fresh(text):
    """An str of our own, not one interned and shared with other code, so its
    reference count is ours alone."""
    return "".join(list(text))


class Boom(Exception):
    """Raised by the caller's own objects."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class RaisingIterable:
    """Yields one pair and then raises, on every iteration."""

    def __init__(self, pair):
        self.pair = pair

    def __iter__(self):
        yield self.pair
        raise Boom("iteration")


def cases():
    """name: (error type, message part, function, args, kwargs)."""
    ints = np.array([1, -2, 3], np.int16)
    floats = np.array([1.5, 150.0, 3.0])
    out = np.zeros(3, np.int8)

    def alloc(arr, target, rounding=NE, **kwargs):
        return (cast_array, (arr,), dict(target_dtype=fresh(target),
                                         rounding_mode=rounding, **kwargs))

    def into(arr, dest, rounding=NE, **kwargs):
        return (cast_array_into, (arr, dest), dict(rounding_mode=rounding,
                                                   **kwargs))

    def entries(mapping):
        return alloc(ints, "int8", scalar_map_entries=mapping)

    return {
        "bad rounding mode": (ValueError, "Unknown rounding mode",
                              *alloc(ints, "int8", rounding=fresh("up"))),
        "bad out-of-range mode": (
            ValueError, "Unknown out_of_range mode",
            *into(ints, out, out_of_range_mode=fresh("sideways"))),
        "mode not a str": (TypeError, "argument 'rounding_mode'",
                           *into(ints, out, rounding=Index(1))),
        "arr not an array": (TypeError, "argument 'arr'",
                             *alloc([Index(1)], "int8")),
        "unsupported target dtype": (TypeError, "Unsupported target dtype",
                                     *alloc(ints, "bool")),
        "unsupported source dtype": (TypeError, "Unsupported numpy dtype",
                                     *into(np.zeros(3, bool), out)),
        "shape mismatch": (ValueError, "Shape mismatch",
                           *into(ints, np.zeros(4, np.int8))),
        "entry not a pair": (ValueError, "(source, target) pair",
                             *entries([(Index(1), Index(2), Index(3))])),
        "map target not a number": (TypeError, "scalar_map target value",
                                    *entries({Index(1): fresh("one")})),
        "map target out of range": (TypeError, "scalar_map target value",
                                    *entries([(Index(1), Index(300))])),
        "map source __index__ raises": (TypeError, "scalar_map source value",
                                        *entries({RaisingIndex(): Index(1)})),
        "map source __index__ too large": (
            TypeError, "scalar_map source value",
            *entries({Index(2**100): Index(1)})),
        "map source __float__ raises": (
            TypeError, "scalar_map source value",
            *alloc(floats, "int8", scalar_map_entries=[(RaisingFloat(),
                                                        Index(1))])),
        "map iteration raises": (
            Boom, "iteration",
            *entries(RaisingIterable((Index(1), Index(2))))),
        "value out of range": (ValueError, "out of range",
                               *alloc(floats, "int8",
                                      scalar_map_entries={Float(1.5): Index(1)})),
        "value out of range into": (ValueError, "out of range",
                                    *into(floats, out)),
    }


def map_parts(mapping):
    """The containers and items of a scalar map, as the caller holds them."""
    if isinstance(mapping, dict):
        return [*mapping.keys(), *mapping.values()]
    if isinstance(mapping, RaisingIterable):
        mapping = [mapping.pair]
    if isinstance(mapping, list):
        return [*mapping, *(item for pair in mapping for item in pair)]
    return []


@pytest.mark.parametrize("name", list(cases()))
def test_error_paths_keep_reference_counts(name, unchanged_refcounts):
    error_type, message, function, args, kwargs = cases()[name]
    mapping = kwargs.get("scalar_map_entries")
    tracked = [*args, *kwargs.values(), *map_parts(mapping),
               error_type, Boom, OverflowError]

    def call():
        try:
            function(*args, **kwargs)
        except error_type as error:
            assert type(error) is error_type and message in str(error)
            error.__traceback__ = None  # its frames would hold the arguments
        else:
            pytest.fail("no error")

    call()  # anything created once on first use exists by now
    gc.collect()
    with unchanged_refcounts(*tracked):
        for _ in range(CALLS):
            call()
        gc.collect()
