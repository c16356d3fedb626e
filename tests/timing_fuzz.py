"""The timing modes of the native fuzzer: where Python code runs in the middle
of a native call, rather than what the caller hands it.

- `gc`: the collector at every k-th allocation (gc.set_threshold(k), k swept),
  with cyclic garbage whose finalizers change what the operation works on:
  the deque, the item's class and attributes, module bindings, class
  attributes.
- `signal`: a timer whose handler raises KeyboardInterrupt or SystemExit at a
  random point of each public operation.

Timing decides which of several outcomes the plain algorithm gives, so the
two sides are not compared line by line; each trial checks invariants that
the plain algorithm keeps whatever the timing (items conserved, at most n
taken, no SystemError, no matched item lost, every exception a signal
handler raised reaches the caller). Each batch runs on the native modules
and on the plain-Python algorithm in a fresh interpreter under
PYTHONMALLOC=debug; the plain side checks the checks. Run as a program, it
is that child: `timing_fuzz.py MODE KIND IMPL SEED FIRST COUNT`.
"""
import collections
import json
import os
import random
import subprocess
import sys
import tempfile

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
MODES = ("gc", "signal")
GC_THRESHOLDS = 40
KINDS = ("queue", "warden")


def run(python, mode, kind, seed, count, batch=40):
    """({"native": [violations], "python": [...]}, {impl: Counter of what
    ran}) over `count` scenarios."""
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1",
               PYTHONPATH=os.pathsep.join([TESTS, ROOT]))
    found = {"native": [], "python": []}
    stats = dict((impl, collections.Counter()) for impl in found)
    for impl in found:
        for first in range(0, count, batch):
            args = [python, os.path.abspath(__file__), mode, kind, impl, str(seed), str(first),
                    str(min(batch, count - first))]
            proc = subprocess.run(args, cwd=tempfile.gettempdir(), env=env, timeout=600,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, errors="replace")
            lines = proc.stdout.splitlines()
            if proc.returncode != 0 or not lines or not lines[-1].startswith("{"):
                found[impl].append({"index": first, "crash": proc.returncode,
                                    "stderr": proc.stderr[-2000:]})
            else:
                result = json.loads(lines[-1])
                found[impl].extend(result["problems"])
                stats[impl].update(result["stats"])
    return found, stats


# --- in the child ------------------------------------------------------------------


class Det(object):
    def __init__(self, tlwh):
        self.tlwh = tlwh


class Other(object):
    pass


class Garbage(object):
    """Cyclic garbage whose finalizer acts once, when the collector finds it."""

    def __init__(self, action):
        self.action = action
        self.me = self

    def __del__(self):
        action, self.action = self.action, None
        if action:
            action()


def queue_parts(impl):
    if impl == "native":
        import ombrix_sdk.structures.tideq as module
        return module.TideQueue, vars(module)
    from benchmarks.reference_queue import PyTideQueue
    return PyTideQueue, sys.modules[PyTideQueue.__module__].__dict__


def gc_queue_trial(rng, impl, k):
    """One operation on a queue with a finalizer due at the k-th allocation."""
    import gc
    from collections import deque
    Q, namespace = queue_parts(impl)
    Sub = type("Sub", (Q,), {})
    cap = rng.choice([3, 5, 50])
    q = Q(cap)
    for i in range(rng.choice([0, rng.randint(0, cap)])):  # a fresh queue as often
        q.put(("item", i))
    start = list(q.queue)
    added, removed, displaced = [], [], []
    count_set = []

    def append():
        added.append(("late", len(added)))
        q.queue.append(added[-1])

    def popleft():
        if q.queue:
            removed.append(q.queue.popleft())

    def replace_deque():
        displaced.append(q.queue)
        q.queue = deque([("new", 0)])
        added.append(("new", 0))

    def set_count():
        count_set.append(rng.randint(0, 3))
        q.unfinished_tasks = count_set[-1]

    saved_list = namespace.get("list")
    actions = {"append": append, "popleft": popleft, "replace-deque": replace_deque,
               "vars": lambda: vars(q), "class": lambda: setattr(q, "__class__", Sub),
               "count": set_count, "hook": lambda: setattr(Sub, "_qsize", lambda s: len(s.queue)),
               "rebind": lambda: namespace.__setitem__("list", tuple)}
    name = rng.choice(sorted(actions))
    op = rng.choice(["put", "drain"])
    n = rng.randint(0, cap + 1)
    before = q.unfinished_tasks
    hold = [[] for _ in range(rng.randint(0, 150))]  # empties the free lists
    gc.collect()
    Garbage(actions[name])
    gc.set_threshold(k)
    out, error = [], None
    try:
        if op == "put":
            q.put(("put", 0))
        else:
            out = q.drain_fast(n)
    except Exception as e:
        error = e
    finally:
        gc.set_threshold(700, 10, 10)
        gc.collect()  # the finalizer has run when the bindings are put back
        namespace["list"] = saved_list
    del hold
    trial = {"op": op, "action": name, "k": k, "n": n}
    if isinstance(error, SystemError) or (error and not isinstance(error, IndexError)):
        return dict(trial, problem="raised %r" % error)
    now = list(q.queue) + [i for d in displaced for i in d]
    given = collections.Counter(start + added + ([("put", 0)] if op == "put" else []))
    kept = collections.Counter(list(out) + now + removed)
    lost = given - kept
    # A put drops at most the oldest item; a drain that failed half-way drops
    # what it had taken, as the comprehension's list goes with the error.
    if kept - given or (op == "put" and sum(lost.values()) > 1) or (
            op == "drain" and error is None and lost):
        return dict(trial, problem="items %s, now %s, out %s, lost %s" % (
            start, now, list(out), dict(lost)))
    if op == "drain":
        if len(out) > n:
            return dict(trial, problem="took %d of %d" % (len(out), n))
        if error is None and not count_set:
            want = max(before - len(out), 0) if before else before
            if q.unfinished_tasks != want:
                return dict(trial, problem="count %r, want %r" % (q.unfinished_tasks, want))
    return None


def warden_parts(impl):
    import fuzz_runtime
    return fuzz_runtime.warden_parts("native" if impl == "native" else "python")


REGIONS = [{"roi_id": "r", "label": "in", "include": True,
            "points": [[.1, .1], [.9, .1], [.9, .9], [.1, .9]]},
           {"roi_id": "x", "label": "out", "include": False,
            "points": [[.6, .6], [.8, .6], [.8, .8], [.6, .8]]}]
BOXES = [[.2, .2, .1, .1], [.65, .65, .05, .05], [.95, .95, .01, .01], [.3, .6, .2, .1]]


def expected(box):
    x, y = box[0] + box[2] * .5, box[1] + box[3] * .5
    inside = .1 < x < .9 and .1 < y < .9
    return inside and not (.6 < x < .8 and .6 < y < .8)


def gc_warden_trial(rng, impl, k):
    import copy as copy_module
    import gc
    W, M, failures = warden_parts(impl)
    warden = W(copy_module.deepcopy(REGIONS))
    warden.filter_in_roi([Det(list(BOXES[0]))])
    items = [Det(list(rng.choice(BOXES))) for _ in range(rng.randint(1, 4))]
    for item in items:
        if rng.random() < .5:
            vars(item)
    target = rng.choice(items)
    saved = dict((name, getattr(M, name)) for name in ("copy",) if hasattr(M, name))
    saved_tags = W.__dict__.get("_assign_roi_info")

    class Shim(object):
        copy = staticmethod(copy_module.copy)
        deepcopy = staticmethod(copy_module.deepcopy)

    tagger = saved_tags.__func__ if isinstance(saved_tags, staticmethod) else None

    def retag(item_copy, matched, has_info):  # a new one, tagging alike
        return tagger(item_copy, matched, has_info)

    actions = {"class": lambda: setattr(target, "__class__", Other),
               "vars": lambda: vars(target),
               "attribute": lambda: setattr(target, "seen", 1),
               "rebind": lambda: setattr(M, "copy", Shim()),
               "class-attribute": lambda: setattr(W, "_assign_roi_info", staticmethod(retag))}
    if tagger is None:
        del actions["class-attribute"]
    if "copy" not in saved:
        del actions["rebind"]
    name = rng.choice(sorted(actions))
    want = [expected(i.tlwh) for i in items]
    hold = [[] for _ in range(rng.randint(0, 150))]
    gc.collect()
    Garbage(actions[name])
    gc.set_threshold(k)
    error = None
    try:
        out = warden.filter_in_roi(items)
    except Exception as e:
        out, error = [], e
    finally:
        gc.set_threshold(700, 10, 10)
        gc.collect()
        for attr, value in saved.items():
            setattr(M, attr, value)
        if saved_tags is not None:
            W._assign_roi_info = saved_tags
    del hold
    trial = {"op": "filter", "action": name, "k": k}
    swallowed = failures()
    if error is not None or swallowed:
        return dict(trial, problem="raised %r / reported %r" % (error, swallowed))
    if len(out) != sum(want) or any(o in items for o in out):
        return dict(trial, problem="kept %d of %d matched" % (len(out), sum(want)))
    tags = [(getattr(o, "roi_id", None), getattr(o, "roi_name", None)) for o in out]
    if any(t != (["r"], ["in"]) for t in tags):
        return dict(trial, problem="tags %r" % tags)
    return None


class Raised(object):
    def __init__(self):
        self.fired = []

    armed = False

    def __call__(self, signum, frame):
        if not self.armed:  # the timer was being stopped: no trial to interrupt
            return
        self.armed = False
        exc = KeyboardInterrupt if len(self.fired) % 2 == 0 else SystemExit
        self.fired.append(exc.__name__)
        raise exc()


def signal_ops(rng, impl, kind):
    """(name, make, call, check): `call(obj)` is one public operation;
    `check(obj)` says what is wrong with the object after an interruption."""
    if kind == "queue":
        Q, namespace = queue_parts(impl)

        class Hooked(Q):
            def _put(self, item):
                return Q._put(self, item)

        def healthy(q):
            if q.mutex.locked():
                return "mutex left locked"
            q.put("probe")
            return None if "probe" in q.drain_fast(q.maxsize + 5) else "probe lost"
        cls = rng.choice([Q, Hooked])
        many = rng.randint(1, 300)
        return [("construct", lambda: None, lambda _: cls(rng.randint(1, 50)), None),
                ("put", lambda: cls(rng.randint(1, 50)),
                 lambda q: [q.put(i) for i in range(many)], healthy),
                ("drain", lambda: fill(cls(400), many),
                 lambda q: q.drain_fast(rng.randint(0, 400), dest_factory=rng.choice([list, tuple])),
                 healthy),
                ("logged-put", lambda: fill(cls(2, debug=True), 2),
                 lambda q: [q.put(i) for i in range(many // 10 + 1)], healthy)]
    import math
    W, M, failures = warden_parts(impl)
    points = rng.choice([4, 400, 20000])
    ring = [[.5 + .4 * math.cos(2 * math.pi * j / points), .5 + .4 * math.sin(2 * math.pi * j / points)]
            for j in range(points)]
    regions = [{"roi_id": "c", "label": "ring", "include": True, "points": ring}]
    items = [Det(list(rng.choice(BOXES))) for _ in range(rng.randint(1, 100))]

    def healthy(w):
        failures()
        got = w.filter_in_roi([Det([.45, .45, .1, .1]), Det([.0, .0, .01, .01])])
        return None if len(got) == 1 else "filter gives %d items after" % len(got)
    first = ("first-filter", lambda: W([dict(r) for r in regions]),
             lambda w: w.filter_in_roi(items), healthy)
    return [("construct", lambda: None, lambda _: W([dict(r) for r in regions]), None), first,
            first, ("filter", lambda: warm(W([dict(r) for r in regions])),
                    lambda w: w.filter_in_roi(items), healthy)]


def fill(q, n):
    for i in range(n):
        q.put(i)
    return q


def warm(w):
    w.filter_in_roi([Det([.5, .5, .1, .1])])
    return w


def interrupted(handler, delay, call, obj, span):
    """Calls `call(obj)` with the timer set, then waits for the signal.

    All of it runs in a frame of its own: CPython 3.13.0 can let a handler's
    exception escape the `try` of the frame that was running when it landed
    (seen there in a plain busy-wait loop), never a frame further out."""
    import signal
    import time
    handler.armed = True
    signal.setitimer(signal.ITIMER_REAL, delay)
    call(obj)
    deadline = time.perf_counter() + 2 * span + 0.5
    while not handler.fired and time.perf_counter() < deadline:
        pass
    handler.armed = False


def signal_trial(rng, impl, kind, handler):
    import signal
    import time
    name, make, call, check = rng.choice(signal_ops(rng, impl, kind))
    obj = make()
    started = time.perf_counter()
    call(obj)
    span = time.perf_counter() - started
    obj = make()
    delay = max(span * rng.random() * 1.2, 1e-6)
    del handler.fired[:]
    caught = None
    try:
        interrupted(handler, delay, call, obj, span)
    except (KeyboardInterrupt, SystemExit) as e:
        caught = type(e).__name__
    except SystemError as e:
        caught = repr(e)
    finally:
        handler.armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
    trial = {"op": name, "delay": round(delay, 6)}
    if handler.fired and caught != handler.fired[0]:
        return dict(trial, problem="%s raised, %s reached the caller" % (handler.fired, caught))
    if not handler.fired and caught:
        return dict(trial, problem="%s without a signal" % caught)
    problem = check(obj) if check and obj is not None else None
    return dict(trial, problem=problem) if problem else None


def child(mode, kind, impl, seed, first, count):
    import signal
    handler = Raised()
    if mode == "signal":
        signal.signal(signal.SIGALRM, handler)
    problems, stats = [], collections.Counter()
    for index in range(first, first + count):
        name = "%s/%s/%s/%d" % (seed, mode, kind, index)
        if mode == "gc":
            # One scenario, the collection point swept over it.
            for k in range(1, GC_THRESHOLDS):
                rng = random.Random(name)
                trial = (gc_queue_trial if kind == "queue" else gc_warden_trial)(rng, impl, k)
                if trial:
                    problems.append(dict(trial, index=index))
        else:
            rng = random.Random(name)
            trial = signal_trial(rng, impl, kind, handler)
            stats["raised"] += bool(handler.fired)
            if trial:
                problems.append(dict(trial, index=index))
        stats["scenarios"] += 1
    print(json.dumps({"problems": problems, "stats": stats}))


if __name__ == "__main__":
    child(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6]))
