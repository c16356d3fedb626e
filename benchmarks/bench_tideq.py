"""TideQueue against the standard library and a plain Python version.

    python benchmarks/bench_tideq.py
"""
import os
import queue
import sys
import time
from collections import deque

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from benchmarks.common import best_time, print_table  # noqa: E402
from benchmarks.reference_queue import PyTideQueue  # noqa: E402
from ombrix_sdk.structures.tideq import TideQueue  # noqa: E402

CAPACITY, REPS, PUTS = 1000, 500, 200000


def _empty_with_get_nowait(q):
    get = q.get_nowait
    try:
        while True:
            get()
    except queue.Empty:
        pass


def _empty_with_drain(q):
    q.drain_fast(CAPACITY)


def empty_and_refill(cls, empty):
    """The reference measurement: a full queue of 1000 is emptied and refilled
    500 times. Returns (seconds spent emptying, seconds in total), best of 3."""
    q = cls(CAPACITY)
    items = list(range(CAPACITY))
    for i in items:
        q.put(i)
    best_empty = best_total = float("inf")
    for _ in range(3):
        emptying = 0.0
        start = time.perf_counter()
        for _ in range(REPS):
            t0 = time.perf_counter()
            empty(q)
            emptying += time.perf_counter() - t0
            put = q.put
            for i in items:
                put(i)
        best_total = min(best_total, time.perf_counter() - start)
        best_empty = min(best_empty, emptying)
    return best_empty, best_total


def ns_per_put(put, reset):
    def loop():
        for i in range(PUTS):
            put(i)

    ns = best_time(loop, 5) / PUTS * 1e9
    reset()
    return ns


def _prefilled(obj, put):
    for i in range(CAPACITY):
        put(i)
    return obj


def run():
    rows = []
    loop_empty, loop_total = empty_and_refill(TideQueue, _empty_with_get_nowait)
    drain_empty, drain_total = empty_and_refill(TideQueue, _empty_with_drain)
    plain_empty, plain_total = empty_and_refill(PyTideQueue, _empty_with_drain)
    rows += [
        ("get_nowait loop / drain_fast(1000), emptying alone (goal >= 100x)", loop_empty / drain_empty, "x"),
        ("get_nowait loop / drain_fast(1000), refill included", loop_total / drain_total, "x"),
        ("plain-Python drain_fast / drain_fast, emptying alone", plain_empty / drain_empty, "x"),
    ]

    big = PUTS * 10  # never fills: no drops
    std = queue.Queue()
    std_ns = ns_per_put(std.put_nowait, std.queue.clear)
    for state in ("not full", "full"):
        cap = big if state == "not full" else CAPACITY
        ours, plain, dq = TideQueue(cap), PyTideQueue(cap), deque(maxlen=cap)
        if state == "full":
            for obj, put in ((ours, ours.put), (plain, plain.put), (dq, dq.append)):
                _prefilled(obj, put)
        ours_ns = ns_per_put(ours.put, ours.queue.clear)
        plain_ns = ns_per_put(plain.put, plain.queue.clear)
        deque_ns = ns_per_put(dq.append, dq.clear)
        rows += [
            ("put, %s (ns per call)" % state, ours_ns, "ns"),
            ("queue.Queue.put_nowait (not full) / put, %s (goal >= 2x)" % state, std_ns / ours_ns, "x"),
            ("plain-Python put / put, %s" % state, plain_ns / ours_ns, "x"),
            ("put / deque(maxlen).append, %s" % state, ours_ns / deque_ns, "x"),
        ]
    return rows


def main():
    print_table("TideQueue (Python %s)" % sys.version.split()[0], run())


if __name__ == "__main__":
    main()
