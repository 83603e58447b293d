"""Module start-up: the module object, its functions and their metadata."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _prandel

CAST_ARRAY_SIGNATURE = (
    "(arr, *, target_dtype, rounding_mode, out_of_range_mode=None, "
    "scalar_map_entries=None)"
)
CAST_ARRAY_INTO_SIGNATURE = (
    "(arr, out, *, rounding_mode, out_of_range_mode=None, "
    "scalar_map_entries=None)"
)

CAST_ARRAY_DOC = "\n".join([
    "Cast a numpy array to a new dtype, allocating a new output array.",
    "",
    "# Arguments",
    "",
    "* `arr` - Input numpy array",
    '* `target_dtype` - Target dtype string (e.g. "uint8", "float32")',
    '* `rounding_mode` - Rounding mode string (e.g. "nearest-even")',
    '* `out_of_range_mode` - Optional out-of-range handling ("clamp" or "wrap")',
    "* `scalar_map_entries` - Optional list of [source, target] pairs",
    "",
    "# Returns",
    "",
    "A new numpy array with the target dtype.",
    "",
    "# Errors",
    "",
    "Returns `PyValueError` for invalid rounding/out-of-range modes or",
    "conversion errors. Returns `PyTypeError` for unsupported dtypes.",
])

CAST_ARRAY_INTO_DOC = "\n".join([
    "Cast a numpy array into a pre-allocated output array.",
    "",
    "# Arguments",
    "",
    "* `arr` - Input numpy array",
    "* `out` - Pre-allocated output numpy array (must match input shape)",
    '* `rounding_mode` - Rounding mode string (e.g. "nearest-even")',
    '* `out_of_range_mode` - Optional out-of-range handling ("clamp" or "wrap")',
    "* `scalar_map_entries` - Optional list of [source, target] pairs",
    "",
    "# Returns",
    "",
    "None on success.",
    "",
    "# Errors",
    "",
    "Returns `PyValueError` for shape mismatch, invalid modes, or conversion",
    "errors. Returns `PyTypeError` for unsupported dtypes.",
])


def test_module_attributes():
    assert _prandel.__name__ == "_prandel"
    assert _prandel.__doc__ == ""
    assert _prandel.__all__ == ["cast_array", "cast_array_into"]
    own = {name for name in vars(_prandel)
           if not (name.startswith("__") and name.endswith("__"))}
    assert own == {"cast_array", "cast_array_into"}


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("_prandel")
    try:
        second = importlib.import_module("_prandel")
    finally:
        sys.modules["_prandel"] = first
    assert second is first
    assert first.__all__ == ["cast_array", "cast_array_into"]


@pytest.mark.parametrize(
    "function, name, text_signature, doc",
    [
        (_prandel.cast_array, "cast_array", CAST_ARRAY_SIGNATURE,
         CAST_ARRAY_DOC),
        (_prandel.cast_array_into, "cast_array_into",
         CAST_ARRAY_INTO_SIGNATURE, CAST_ARRAY_INTO_DOC),
    ],
)
def test_function_metadata(function, name, text_signature, doc):
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "_prandel"
    assert function.__self__ is _prandel
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc
    # The full docstring is the signature line, "--", a blank line, the doc.
    assert len(f"{name}{text_signature}\n--\n\n{doc}") == {
        "cast_array": 671, "cast_array_into": 629}[name]
    assert str(inspect.signature(function)) == text_signature


SUBINTERPRETER_SCRIPT = textwrap.dedent('''
    import os
    import numpy as np
    import _testcapi
    import _prandel

    read_end, write_end = os.pipe()
    code = """if True:
        import os
        try:
            import _prandel
        except ImportError as error:
            outcome = type(error).__name__ + ": " + str(error)
        else:
            outcome = "imported"
        os.write(%d, outcome.encode())
    """ % write_end
    status = _testcapi.run_in_subinterp(code)
    os.close(write_end)
    print(status)
    print(os.read(read_end, 4096).decode())
    result = _prandel.cast_array(np.array([1, 2], np.int16),
                                 target_dtype="float32",
                                 rounding_mode="nearest-even")
    print(result.dtype, result.tolist())
''')


def test_second_interpreter_is_refused_and_first_keeps_working():
    try:
        import _testcapi
    except ImportError:
        pytest.skip("no _testcapi in this Python")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("this Python cannot run a legacy sub-interpreter")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(_prandel.__file__), env.get("PYTHONPATH", "")])
    completed = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_SCRIPT], env=env,
        capture_output=True, text=True, timeout=120, check=False)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [
        "0",
        "ImportError: _prandel does not support sub-interpreters; it is "
        "already loaded in another interpreter",
        "float32 [1.0, 2.0]",
    ]
