"""A short seeded run of the hostile-caller fuzzer (native_fuzz.py): scenarios
built from hostile ingredients give the same outcome on the native modules as
on the plain-Python algorithm, in fresh interpreters under PYTHONMALLOC=debug,
and never crash. `scripts/fuzz-native --minutes N` runs it for longer."""
import os
import sys

import pytest

import native_fuzz

SEED = os.environ.get("OMBRIX_FUZZ_SEED", "standing")
# about 15 s each on the development machine
COUNTS = {"queue": 200, "warden": 60}


@pytest.mark.parametrize("kind", sorted(COUNTS))
def test_hostile_scenarios_agree_with_the_python_algorithm(kind, tmp_path):
    count = COUNTS[kind]
    summary = native_fuzz.fuzz(sys.executable, count=count, seed=SEED, out_dir=str(tmp_path),
                               kinds=(kind,))
    found = summary.crashes + summary.mismatches
    details = "\n".join("%s %s: %s\n%s" % (f["id"], f["kind"], f["signature"],
                                          f.get("detail", "")) for f in found[:10])
    assert not found, "%s\n%s" % (summary, details)
    # Scenarios without a verdict (the recursion limit decided) stay few.
    assert summary.scenarios - len(summary.oracle_failures) >= 0.9 * count, str(summary)
