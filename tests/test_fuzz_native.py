"""A short seeded run of the hostile-caller fuzzer (native_fuzz.py): scenarios
built from hostile ingredients give the same outcome on the native modules as
on the plain-Python algorithm, in fresh interpreters under PYTHONMALLOC=debug,
and never crash. `scripts/fuzz-native --minutes N` runs it for longer."""
import collections
import os
import sys

import pytest

import native_fuzz
import timing_fuzz

SEED = os.environ.get("OMBRIX_FUZZ_SEED", "standing")
# about 20-25 s in all on the development machine (3.11-3.14), up to twice
# that under AddressSanitizer
COUNTS = {"queue": 300, "warden": 100}

# What the run must contain, at least this many scenarios each: the shapes of
# the faults found so far (see native_fuzz.QUEUE_FOCUS and gen_warden) and
# the ingredients of the divergences from Python's evaluation order
# (counters and capacities that are no ints, traced attribute reads, a
# rebound popleft), sub-interpreters and threads.
SHAPES = {
    "queue": {"focus:evicting-append": 5, "focus:colliding-read": 5, "counter": 10,
              "subclass:getattribute": 3, "subclass:props": 3, "act:popleft-rebind": 3,
              "threads": 3},
    "warden": {"focus:region-tags": 5, "threads": 1},
}


@pytest.mark.parametrize("kind", sorted(COUNTS))
def test_hostile_scenarios_agree_with_the_python_algorithm(kind, tmp_path):
    count = COUNTS[kind]
    caps = native_fuzz.probe(sys.executable)
    wanted = dict(SHAPES[kind])
    if kind == "queue" and caps["subinterp"]:
        wanted["subinterpreter"] = 5
    if kind == "queue" and caps["dict_watchers"]:  # 3.12+
        wanted["focus:watcher-pool"] = 5
        if caps["subinterp"]:
            wanted["focus:subinterp-watcher"] = 5
    found = collections.Counter()
    for index in range(count):
        found.update(native_fuzz.tags(native_fuzz.generate(SEED, index, caps, (kind,))))
    assert all(found[tag] >= n for tag, n in wanted.items()), \
        dict((tag, found[tag]) for tag in wanted)

    summary = native_fuzz.fuzz(sys.executable, count=count, seed=SEED, out_dir=str(tmp_path),
                               kinds=(kind,))
    failing = summary.crashes + summary.mismatches
    details = "\n".join("%s %s: %s\n%s" % (f["id"], f["kind"], f["signature"],
                                          f.get("detail", "")) for f in failing[:10])
    assert not failing, "%s\n%s" % (summary, details)
    # Scenarios without a verdict (the recursion limit decided, or the
    # interpreter itself failed on both sides) stay few.
    assert summary.scenarios - len(summary.oracle_failures) >= 0.9 * count, str(summary)


# Scenarios per timing mode and kind: about a minute in all on 3.11, each side
# in its own interpreter under PYTHONMALLOC=debug.
TIMING_COUNTS = {("gc", "queue"): 100, ("gc", "warden"): 4, ("signal", "queue"): 60,
                 ("signal", "warden"): 80}


@pytest.mark.parametrize("mode, kind", sorted(TIMING_COUNTS),
                         ids=["-".join(key) for key in sorted(TIMING_COUNTS)])
def test_timing_keeps_the_invariants_of_the_python_algorithm(mode, kind):
    if kind == "warden" and not native_fuzz.probe(sys.executable)["warden"]:
        pytest.skip("no shapely or numpy")
    count = TIMING_COUNTS[mode, kind]
    found, ran = timing_fuzz.run(sys.executable, mode, kind, SEED, count)
    # The plain algorithm keeps every invariant checked, so a violation on the
    # native side is the native module's; and the signals did land.
    assert found == {"native": [], "python": []}, found
    for impl in ran:
        assert ran[impl]["scenarios"] == count
        assert mode != "signal" or ran[impl]["raised"] == count
