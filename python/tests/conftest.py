"""Shared names and fixtures for the _prandel tests."""

import contextlib
import sys

import pytest

# The eleven element types, in the module's order.
DTYPE_NAMES = (
    "int8", "int16", "int32", "int64",
    "uint8", "uint16", "uint32", "uint64",
    "float16", "float32", "float64",
)
INT_NAMES = DTYPE_NAMES[:8]
FLOAT_NAMES = DTYPE_NAMES[8:]

ROUNDING_MODES = (
    "nearest-even", "towards-zero", "towards-positive", "towards-negative",
    "nearest-away",
)
OUT_OF_RANGE_MODES = (None, "clamp", "wrap")


@pytest.fixture
def unchanged_refcounts():
    """`with unchanged_refcounts(a, b): ...` fails if the block leaves the
    reference count of any of the objects changed."""

    @contextlib.contextmanager
    def check(*objects):
        before = [sys.getrefcount(o) for o in objects]
        yield
        after = [sys.getrefcount(o) for o in objects]
        assert after == before

    return check
