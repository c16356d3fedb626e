"""TideQueue against the standard library and a plain Python version.

    python benchmarks/bench_tideq.py
"""
import os
import queue
import sys
import time
from collections import deque

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from benchmarks.common import best_of_rounds, instructions_per_call, print_table  # noqa: E402
from benchmarks.reference_queue import PyTideQueue  # noqa: E402
from ombrix_sdk.structures.tideq import TideQueue  # noqa: E402

CAPACITY, REPS, PUTS = 1000, 100, 50000


def _empty_with_get_nowait(q):
    get = q.get_nowait
    try:
        while True:
            get()
    except queue.Empty:
        pass


def _empty_with_drain(q):
    q.drain_fast(CAPACITY)


def _empty_by_copy_and_clear(q):
    # The least the interpreter offers for taking everything out of a deque
    # into a list: what drain_fast of everything comes down to, without the
    # lock and the task counter.
    items = q.queue
    list(items)
    items.clear()


def empty_and_refill(cls, empty):
    """The reference measurement: a full queue of 1000 is emptied and refilled
    REPS times. Returns a callable that does it once and returns the seconds
    spent emptying; the seconds in total go to `totals`."""
    q = cls(CAPACITY)
    items = list(range(CAPACITY))
    for i in items:
        q.put(i)
    totals = []

    def measure():
        emptying = 0.0
        start = time.perf_counter()
        for _ in range(REPS):
            t0 = time.perf_counter()
            empty(q)
            emptying += time.perf_counter() - t0
            put = q.put
            for i in items:
                put(i)
        totals.append(time.perf_counter() - start)
        return emptying

    return measure, totals


def puts(put, reset):
    """A callable that times PUTS calls of put and then resets the queue."""
    def measure():
        start = time.perf_counter()
        for i in range(PUTS):
            put(i)
        elapsed = time.perf_counter() - start
        reset()
        return elapsed

    return measure


def _prefilled(obj, put):
    for i in range(CAPACITY):
        put(i)
    return obj


def run():
    rows = []
    ways = {
        "loop": empty_and_refill(TideQueue, _empty_with_get_nowait),
        "drain": empty_and_refill(TideQueue, _empty_with_drain),
        "plain": empty_and_refill(PyTideQueue, _empty_with_drain),
        "floor": empty_and_refill(TideQueue, _empty_by_copy_and_clear),
    }
    empty = best_of_rounds({name: way[0] for name, way in ways.items()}, rounds=9)
    total = {name: min(way[1]) for name, way in ways.items()}
    rows += [
        ("get_nowait loop / drain_fast(1000), emptying alone (goal >= 100x)",
         empty["loop"] / empty["drain"], "x"),
        ("get_nowait loop / drain_fast(1000), refill included", total["loop"] / total["drain"], "x"),
        ("plain-Python drain_fast / drain_fast, emptying alone", empty["plain"] / empty["drain"], "x"),
        ("get_nowait loop / (list(q.queue) + q.queue.clear()), the most drain_fast can reach",
         empty["loop"] / empty["floor"], "x"),
        ("(list(q.queue) + q.queue.clear()) / drain_fast(1000), emptying alone (goal >= 0.85x)",
         empty["floor"] / empty["drain"], "x"),
    ]

    big = PUTS * 10  # never fills: no drops
    std = queue.Queue()
    measurements = {"std": puts(std.put_nowait, std.queue.clear)}
    for state in ("not full", "full"):
        cap = big if state == "not full" else CAPACITY
        ours, plain, dq = TideQueue(cap), PyTideQueue(cap), deque(maxlen=cap)
        if state == "full":
            for obj, put in ((ours, ours.put), (plain, plain.put), (dq, dq.append)):
                _prefilled(obj, put)
        measurements.update({
            ("ours", state): puts(ours.put, ours.queue.clear),
            ("plain", state): puts(plain.put, plain.queue.clear),
            ("deque", state): puts(dq.append, dq.clear),
        })
    best = best_of_rounds(measurements, rounds=15)
    ns = {name: seconds / PUTS * 1e9 for name, seconds in best.items()}
    for state in ("not full", "full"):
        ours_ns = ns["ours", state]
        rows += [
            ("put, %s (ns per call)" % state, ours_ns, "ns"),
            ("queue.Queue.put_nowait (not full) / put, %s (goal >= 2x)" % state, ns["std"] / ours_ns, "x"),
            ("plain-Python put / put, %s" % state, ns["plain", state] / ours_ns, "x"),
            ("put / deque(maxlen).append, %s" % state, ours_ns / ns["deque", state], "x"),
        ]
    return rows + instruction_rows()


# The same comparisons counted in instructions (see instructions_per_call).
# The drain arms refill with 1000 puts, as the timed rows do; the refill alone
# is counted too and taken off, and every arm ends with the task counter at 0
# so that all refills cost the same.
_QUEUES = """
import queue
from ombrix_sdk.structures.tideq import TideQueue
std = queue.Queue()
roomy, full = TideQueue(10 ** 9), TideQueue(100)
for i in range(100):
    full.put(i)
items = list(range(1000))
q = TideQueue(2000)
def refill(put=q.put):
    for i in items:
        put(i)
"""
_STEPS = {
    "std": "step = std.put_nowait",
    "not full": "step = roomy.put",
    "full": "step = full.put",
    "drain": "def step(i):\n    refill()\n    q.drain_fast(1000)\n    q.unfinished_tasks = 0",
    "floor": "def step(i):\n    refill()\n    d = q.queue\n    list(d)\n    d.clear()\n"
             "    q.unfinished_tasks = 0",
    "refill": "def step(i):\n    refill()\n    q.queue.clear()\n    q.unfinished_tasks = 0",
}


def instruction_rows():
    counts = {}
    for name, step in _STEPS.items():
        calls = 100 if name in ("drain", "floor", "refill") else 20000
        counts[name] = instructions_per_call(_QUEUES + step, calls)
        if counts[name] is None:
            return [("instruction counts", "skipped: valgrind is missing", "")]
    rows = []
    for state in ("not full", "full"):
        rows.append(("queue.Queue.put_nowait (not full) / put, %s, in instructions (goal >= 2x)"
                     % state, counts["std"] / counts[state], "x"))
    floor, drain = counts["floor"] - counts["refill"], counts["drain"] - counts["refill"]
    rows.append(("(list(q.queue) + q.queue.clear()) / drain_fast(1000), in instructions"
                 " (goal >= 0.85x)", floor / drain, "x"))
    return rows


def main():
    print_table("TideQueue (Python %s)" % sys.version.split()[0], run())


if __name__ == "__main__":
    main()
