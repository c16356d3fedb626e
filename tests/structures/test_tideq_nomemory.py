"""Failed allocations in TideQueue's methods: a MemoryError, or the result
as if nothing failed, never a crash; the lock is never left held."""

import pytest

COMMON = """
import ombrix_sdk.structures.tideq as tideq
from ombrix_sdk.structures.tideq import TideQueue

class Quiet(object):
    def warning(self, message):
        pass

tideq.get_logger = lambda label: Quiet()  # looked up at each construction

def filled(capacity, count):
    q = TideQueue(capacity)
    for i in range(count):
        q.put(i * 1000)  # not small ints: their objects are allocated
    return q

def invariant(q):
    assert q is None or not q.mutex.locked()
invariant_of_queue = invariant

allowed = lambda e: str(e) == "can't allocate lock"  # threading.Lock() in queue.Queue
"""

OPS = {
    # capacity 3, debug on: a logger is asked for
    "construction": """
prepare = lambda: None
op = lambda _: TideQueue(3, debug=True)
check = lambda _, q: "result" if (q.maxsize, q.debug, list(q.queue), type(q.logger)) == (
    3, True, [], Quiet) else None
""",
    # into a full queue: the oldest is dropped; a task count of more than one
    # digit, whose successor is allocated (3.14 keeps one-digit ints on a
    # free list, which allocates nothing)
    "put": """
def prepare():
    q = filled(2, 2)
    q.unfinished_tasks = 2 ** 40
    return q
op = lambda q: q.put(7000)
check = lambda q, r: "result" if (list(q.queue), q.unfinished_tasks) == (
    [1000, 7000], 2 ** 40 + 1) else None
""",
    # into a queue that nobody has put to yet, with a waiter (a held lock, as
    # a get() blocked in not_empty.wait() leaves it): put must release it.
    # The dicts made empty the interpreter's free list of dicts, so that
    # making one (the Condition's instance dict) allocates; every state is
    # kept, so that none of its dicts goes back to the list.
    "put to a waiter": """
import threading
kept = []
def prepare():
    q = TideQueue(3)
    waiter = threading.Lock()
    waiter.acquire()
    q.not_empty._waiters.append(waiter)
    q.unfinished_tasks = 2 ** 40
    kept.append((q, waiter, [{} for _ in range(200)]))
    return kept[-1]
op = lambda state: state[0].put(7000)
check = lambda state, r: "result" if (list(state[0].queue), state[0].unfinished_tasks,
                                      state[1].locked()) == ([7000], 2 ** 40 + 1, False) else None
invariant = lambda state: invariant_of_queue(state[0])
""",
    # everything, then a part, of more items than the small ints cover
    "drain_fast all": """
prepare = lambda: filled(300, 300)
op = lambda q: q.drain_fast(300)
check = lambda q, r: "result" if (r, len(q.queue), q.unfinished_tasks) == (
    [i * 1000 for i in range(300)], 0, 0) else None
""",
    "drain_fast part": """
prepare = lambda: filled(300, 300)
op = lambda q: q.drain_fast(299, dest_factory=tuple)
check = lambda q, r: "result" if (r, list(q.queue), q.unfinished_tasks) == (
    tuple(i * 1000 for i in range(299)), [299000], 1) else None
""",
}


@pytest.mark.parametrize("name", sorted(OPS))
def test_failed_allocations(nomemory_sweep, name):
    nomemory_sweep("tideq " + name, COMMON + OPS[name])

