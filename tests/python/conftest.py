"""Settings shared by the Python suite.

Property-based tests run under one of two hypothesis profiles, chosen by the environment
variable LUDOVEC_FUZZ:

- unset (``make test``): a fixed, derandomised example sequence without an example database,
  so every run of the suite tries the same inputs;
- set to a positive integer N (``make fuzz``): N times as many examples, freshly random.
"""

import os

from hypothesis import HealthCheck, settings

FUZZ_SCALE = int(os.environ.get("LUDOVEC_FUZZ", "0") or "0")

_common = dict(
    database=None,
    deadline=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)
settings.register_profile("bounded", derandomize=True, print_blob=False, **_common)
settings.register_profile("fuzz", derandomize=False, print_blob=True, **_common)
settings.load_profile("fuzz" if FUZZ_SCALE > 0 else "bounded")


def examples(n):
    """The number of examples a property test tries: `n` in the bounded run, more when fuzzing."""
    return n * max(FUZZ_SCALE, 1)
