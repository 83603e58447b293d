"""Times _prandel against NumPy's own casts.

    python benchmarks/bench_vs_numpy.py [--quick]

For each pair and size it prints the best-of-N time per call of
`ndarray.astype` (and `np.copyto` for the in-place path) beside `cast_array`
and `cast_array_into`, and the ratio (below 1.0: _prandel is faster).
"""
import argparse
import timeit

import numpy as np

import _prandel as pr

PAIRS = [
    ("float64", "float32"),
    ("float32", "float64"),
    ("float32", "float16"),
    ("float16", "float32"),
    ("float64", "int32"),
    ("float32", "uint8"),
    ("int64", "int32"),
    ("int32", "int64"),
    ("uint8", "float32"),
    ("int32", "float16"),
    ("int16", "int16"),
]


def make_input(dtype, size):
    rng = np.random.default_rng(0)
    if np.dtype(dtype).kind == "f":
        return (rng.random(size) * 100).astype(dtype)
    return rng.integers(0, 100, size).astype(dtype)


def best(stmt, number, repeat=5):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    sizes = [1, 1000, 1_000_000] if args.quick else [1, 100, 10_000, 1_000_000, 10_000_000]
    print(f"{'pair':<20}{'size':>10}{'astype':>12}{'cast_array':>12}{'ratio':>8}"
          f"{'copyto':>12}{'cast_into':>12}{'ratio':>8}")
    for source, target in PAIRS:
        for size in sizes:
            arr = make_input(source, size)
            out = np.empty(size, dtype=target)
            number = max(1, 2_000_000 // max(size, 1)) if size > 1 else 200_000
            t_np = best(lambda: arr.astype(target), number)
            t_pr = best(lambda: pr.cast_array(arr, target_dtype=target,
                                              rounding_mode="nearest-even",
                                              out_of_range_mode="clamp"), number)
            t_np_into = best(lambda: np.copyto(out, arr, casting="unsafe"), number)
            t_pr_into = best(lambda: pr.cast_array_into(arr, out, rounding_mode="nearest-even",
                                                        out_of_range_mode="clamp"), number)
            print(f"{source + '->' + target:<20}{size:>10}"
                  f"{t_np * 1e6:>10.2f}us{t_pr * 1e6:>10.2f}us{t_pr / t_np:>8.2f}"
                  f"{t_np_into * 1e6:>10.2f}us{t_pr_into * 1e6:>10.2f}us{t_pr_into / t_np_into:>8.2f}")


if __name__ == "__main__":
    main()
