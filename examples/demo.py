"""A short tour of _prandel: exact, caller-controlled casts between NumPy dtypes."""
import numpy as np

import _prandel as pr

values = np.array([-1.5, 0.5, 2.5, 300.0, np.nan])

print("input:", values)
for mode in ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]:
    out = pr.cast_array(values, target_dtype="uint8", rounding_mode=mode,
                        out_of_range_mode="clamp", scalar_map_entries={float("nan"): 0})
    print(f"  uint8, {mode:<17} clamp, NaN->0:", out)

wrapped = pr.cast_array(values, target_dtype="uint8", rounding_mode="nearest-even",
                        out_of_range_mode="wrap", scalar_map_entries=[(float("nan"), 255)])
print("  uint8, nearest-even      wrap,  NaN->255:", wrapped)

try:
    pr.cast_array(values, target_dtype="uint8", rounding_mode="nearest-even")
except ValueError as error:
    print("without a mode for out-of-range values:", error)

out = np.zeros(3, dtype=np.float16)
pr.cast_array_into(np.array([1, 2049, 70000], dtype=np.int32), out,
                   rounding_mode="towards-zero", out_of_range_mode="clamp")
print("int32 -> float16 towards zero, in place:", out)
