"""TideQueue subclasses with attribute hooks, against the plain-Python queue.

Whatever a subclass or an instance does to attribute access (its own
__getattribute__, __getattr__ or __setattr__, a property in place of a piece
of the queue's state, a metaclass, state objects replaced by look-alikes
that log what is done to them), the native methods must do what the plain
algorithm does: the same results and errors, the same contents, and the
same reads and writes of the state in the same order.
"""

import os
import subprocess
import sys
import threading
from collections import deque

import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

from benchmarks.reference_queue import PyTideQueue
from call_trace import python_calls
from ombrix_sdk.structures.tideq import TideQueue

STATE = {"maxsize", "queue", "mutex", "not_empty", "all_tasks_done", "unfinished_tasks",
         "debug", "logger", "_qsize", "_put", "_get"}
EVENTS = []
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class GetAttribute(object):
    def __getattribute__(self, name):
        if name in STATE:
            EVENTS.append(("get", name))
        return super().__getattribute__(name)


class GetAttr(object):
    def __getattr__(self, name):
        EVENTS.append(("missing", name))
        if name == "unfinished_tasks":
            return 0
        raise AttributeError("no %s here" % name)


class SetAttr(object):
    def __setattr__(self, name, value):
        EVENTS.append(("set", name))
        super().__setattr__(name, value)


class CounterProperty(object):
    @property
    def unfinished_tasks(self):
        EVENTS.append(("property", "get"))
        return vars(self).get("tasks", 0)

    @unfinished_tasks.setter
    def unfinished_tasks(self, value):
        EVENTS.append(("property", "set", value))
        vars(self)["tasks"] = value


class OwnHooks(object):
    def _qsize(self):
        EVENTS.append(("_qsize",))
        return super()._qsize()

    def _get(self):
        EVENTS.append(("_get",))
        return super()._get()


class ClassDefault(object):
    debug = False  # a class attribute under an instance attribute's name


class Meta(type):
    def __getattribute__(cls, name):
        if name in STATE:
            EVENTS.append(("class", name))
        return super().__getattribute__(name)


class LoggedDeque(deque):
    def append(self, item):
        EVENTS.append(("append", item))
        super().append(item)

    def popleft(self):
        EVENTS.append(("popleft",))
        return super().popleft()

    def __len__(self):
        EVENTS.append(("len",))
        return super().__len__()


class AppendOnly(object):
    """A look-alike of the deque that cannot even take items out."""

    def __init__(self, items):
        self.items = list(items)

    def append(self, item):
        self.items.append(item)

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return iter(self.items)


class ListQueue(AppendOnly):
    def popleft(self):
        return self.items.pop(0)


class LoggedLock(object):
    """A lock of Python code: the conditions over it ask it whether it is held."""

    def __init__(self):
        self.lock = threading.Lock()

    def acquire(self, blocking=True, timeout=-1):
        EVENTS.append(("acquire", blocking))
        return self.lock.acquire(blocking, timeout)

    def release(self):
        EVENTS.append(("release",))
        self.lock.release()

    def __enter__(self):
        return self.acquire()

    def __exit__(self, *exc):
        self.release()


class WatchedCondition(threading.Condition):
    """Its waiters and lock are properties: reading them runs code."""

    def __init__(self, lock):
        super().__init__(lock)

    @property
    def _waiters(self):
        EVENTS.append(("waiters",))
        return vars(self)["waiters"]

    @_waiters.setter
    def _waiters(self, value):
        vars(self)["waiters"] = value


class LoggedCondition(threading.Condition):
    def notify(self, n=1):
        EVENTS.append(("notify", n))
        super().notify(n)

    def notify_all(self):
        EVENTS.append(("notify_all",))
        super().notify_all()


class LoggedInt(int):
    def __add__(self, other):
        EVENTS.append(("add", int(self), other))
        return LoggedInt(int(self) + other)

    def __sub__(self, other):
        EVENTS.append(("sub", int(self), other))
        return LoggedInt(int(self) - other)

    def __eq__(self, other):
        EVENTS.append(("eq", int(self), other))
        return int(self) == other

    __hash__ = int.__hash__


class MeddlingInt(int):
    """Arithmetic that gives its queue a new instance dict, with logging
    conditions: the state read before it ran is stale after it."""

    def __add__(self, other):
        return self.meddle(int(self) + other)

    def __sub__(self, other):
        return self.meddle(int(self) - other)

    def meddle(self, value):
        EVENTS.append(("meddle", value))
        state = dict(vars(self.owner))
        for name in ("not_empty", "all_tasks_done"):
            state[name] = LoggedCondition(state["mutex"])
        object.__setattr__(self.owner, "__dict__", state)
        result = MeddlingInt(value)
        result.owner = self.owner
        return result


class VanishingInt(int):
    """A count whose truth test takes it out of its queue's instance dict."""

    def __add__(self, other):
        result = VanishingInt(int(self) + other)
        result.owner = self.owner
        return result

    def __bool__(self):
        vars(self.owner).pop("unfinished_tasks", None)
        return int(self) != 0


class FailingInt(int):
    def __eq__(self, other):
        raise ArithmeticError("no comparison")

    def __sub__(self, other):
        return FailingInt(int(self) - other)

    __hash__ = int.__hash__


def replace(q, what):
    state = vars(q)
    if what == "logged deque":
        state["queue"] = LoggedDeque(state["queue"])
    elif what == "list queue":
        state["queue"] = ListQueue(state["queue"])
    elif what == "append-only queue":
        state["queue"] = AppendOnly(state["queue"])
    elif what in ("conditions", "watched conditions"):
        cls = LoggedCondition if what == "conditions" else WatchedCondition
        state["not_empty"] = cls(state["mutex"])
        state["all_tasks_done"] = cls(state["mutex"])
    elif what in ("rlock", "logged lock"):
        state["mutex"] = threading.RLock() if what == "rlock" else LoggedLock()
        state["not_empty"] = threading.Condition(state["mutex"])
        state["all_tasks_done"] = threading.Condition(state["mutex"])
    elif what in ("notify", "notify_all"):  # of the instances, as the conditions look
        for name in ("not_empty", "all_tasks_done"):
            cond = state.get(name)
            if isinstance(cond, threading.Condition):
                vars(cond)[what] = lambda *n: EVENTS.append(("own", what) + n)
    elif what == "odd key":  # a condition's dict that cannot be remembered
        for name in ("not_empty", "all_tasks_done"):
            if name in state:
                vars(state[name])[0] = 0
    elif what in ("meddling count", "vanishing count") and "unfinished_tasks" in state:
        cls = MeddlingInt if what == "meddling count" else VanishingInt
        state["unfinished_tasks"] = cls(state["unfinished_tasks"])
        state["unfinished_tasks"].owner = q
    elif what in ("logged ints", "failing ints"):
        cls = LoggedInt if what == "logged ints" else FailingInt
        state["maxsize"] = cls(state["maxsize"])
        if "unfinished_tasks" in state:
            state["unfinished_tasks"] = cls(state["unfinished_tasks"])
    else:  # an attribute gone from the instance
        state.pop(what, None)


HOOKS = [GetAttribute, GetAttr, SetAttr, CounterProperty, OwnHooks, ClassDefault, Meta]
REPLACEMENTS = ["logged deque", "list queue", "append-only queue", "conditions",
                "watched conditions", "rlock", "logged lock", "notify", "notify_all", "odd key",
                "logged ints", "failing ints", "meddling count", "not_empty",
                "all_tasks_done", "unfinished_tasks", "queue"]
FACTORIES = {"list": list, "tuple": tuple,
             "logged": lambda items: EVENTS.append(("factory", tuple(items))) or items[::-1]}
operations = st.one_of(
    st.tuples(st.just("put"), st.integers(0, 99)),
    st.tuples(st.just("drain"), st.integers(-1, 4), st.sampled_from(sorted(FACTORIES)),
              st.booleans()),
    st.tuples(st.just("get")), st.tuples(st.just("task_done")), st.tuples(st.just("settle")),
    st.tuples(st.just("replace"), st.sampled_from(REPLACEMENTS)))


def make(base, hooks, capacity):
    meta = Meta if Meta in hooks else type
    mixins = tuple(h for h in hooks if h is not Meta)
    cls = meta("Hooked", mixins + (base,), {})
    return cls(capacity)


def step(q, op):
    """What one operation gives: its result or its error, what it did to the
    state on the way, and the contents after it."""
    del EVENTS[:]
    try:
        if op[0] == "put":
            outcome = q.put(op[1])
        elif op[0] == "drain":
            outcome = q.drain_fast(op[1], dest_factory=FACTORIES[op[2]], adjust_unfinished=op[3])
        elif op[0] == "get":
            outcome = q.get_nowait()
        elif op[0] == "task_done":
            outcome = q.task_done()
        elif op[0] == "settle":  # the dropped items accounted for
            q.unfinished_tasks = len(vars(q).get("queue", ()))
            outcome = None
        else:
            outcome = replace(q, op[1])
    except Exception as e:
        outcome = (type(e), str(e))
    state = vars(q)
    tasks = state.get("unfinished_tasks")
    return (outcome, list(EVENTS), list(state.get("queue", [])),
            int(tasks) if isinstance(tasks, int) else tasks)




@settings(max_examples=300, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@seed(20261208)
@given(st.lists(st.sampled_from(HOOKS), unique=True), st.integers(1, 3),
       st.lists(st.sampled_from(REPLACEMENTS), max_size=3), st.booleans(),
       st.lists(operations, max_size=25))
def test_hooked_subclasses_behave_as_the_plain_queue(hooks, capacity, replaced, odd, ops):
    ours, ref = make(TideQueue, hooks, capacity), make(PyTideQueue, hooks, capacity)
    for op in [("replace", what) for what in replaced + ["odd key"] * odd] + ops:
        assert step(ours, op) == step(ref, op), op


@pytest.mark.parametrize("ops", [[("put", 1)], [("put", 1), ("drain", 1, "list", True)]],
                         ids=["put", "drain_fast"])
def test_reads_as_the_algorithm_makes_them(ops):
    ours, ref = (make(base, [GetAttribute, CounterProperty], 2) for base in (TideQueue,
                                                                            PyTideQueue))
    for op in ops:
        step(ours, op)
        mine = list(EVENTS)
        step(ref, op)
        assert mine == EVENTS


@pytest.mark.parametrize("replaced", [["notify"], ["notify_all"], ["notify", "odd key"],
                                      ["notify_all", "odd key"], ["meddling count"],
                                      ["vanishing count"]],
                         ids=lambda r: "+".join(r))
def test_replaced_state_of_a_standard_queue(replaced):
    # The cases of the generator above that its draws reach too rarely: what
    # the native methods take as they stand on a queue with no hooks.
    # (the reference under the same class name, which error messages give)
    ours, ref = TideQueue(2), type("TideQueue", (PyTideQueue,), {})(2)
    counted = replaced[0].endswith("count")
    for op in [("put", 0)] + [("replace", what) for what in replaced] + [
            ("put", 1), ("put", 2), ("get",) if counted else ("settle",),
            ("drain", 1, "list", True), ("drain", 5, "list", True)]:
        assert step(ours, op) == step(ref, op), op


@pytest.mark.parametrize("odd", [False, True], ids=["", "odd-key"])
@pytest.mark.parametrize("cls", [TideQueue, type("Plain", (TideQueue,), {})],
                         ids=["TideQueue", "subclass"])
def test_standard_queues_run_no_python_code(cls, odd):
    # Where nothing is overridden the native methods do the standard hooks'
    # and the conditions' work themselves (the hooked tests above compare
    # that work with the plain algorithm's). A condition whose dict has a key
    # that is not a str (whose lookups may run code) is notified for real.
    q = cls(2)
    if odd:
        replace(q, "odd key")

    def work():
        for i in range(3):
            q.put(i)  # the queue fills, then drops
        q.unfinished_tasks -= 1  # the dropped item accounted for
        q.drain_fast(1)
        q.drain_fast(5)  # unfinished_tasks down to zero: join() would be woken

    skipped = ("queue.py",) if odd else ("queue.py", "threading.py")
    assert [f for f in python_calls(work) if f in skipped] == []


@pytest.mark.parametrize("name", ["_lock", "_waiters"])
def test_condition_class_attributes_are_honoured(monkeypatch, name):
    def read(cond):
        EVENTS.append(("class attribute", name))
        return vars(cond)[name]

    def write(cond, value):
        vars(cond)[name] = value

    monkeypatch.setattr(threading.Condition, name, property(read, write), raising=False)
    ours, ref = TideQueue(1), PyTideQueue(1)
    for op in [("put", 1), ("put", 2), ("drain", 5, "list", True)]:
        assert step(ours, op) == step(ref, op)


PATCH = """
import queue, sys, threading
calls = []
def wrap(cls, name):
    original = getattr(cls, name)
    setattr(cls, name, lambda self, *a: (calls.append(name), original(self, *a))[1])
def patch():
    for name in ("_qsize", "_put", "_get"):
        wrap(queue.Queue, name)
    wrap(threading.Condition, "notify")
    wrap(threading.Condition, "notify_all")
if sys.argv[2] == "before":
    patch()
if sys.argv[1] == "native":
    from ombrix_sdk.structures.tideq import TideQueue as Q
else:
    from benchmarks.reference_queue import PyTideQueue as Q
if sys.argv[2] == "after":
    patch()
q = Q(2)
for i in range(3):
    q.put(i)
q.drain_fast(1)
q.drain_fast(5)
print(calls)
"""


@pytest.mark.parametrize("when", ["before", "after"])
def test_wrapped_standard_hooks_are_called_whenever_they_were_wrapped(when):
    # A wrapper put on queue.Queue's hooks or the Condition's methods (by a
    # tracer, a test double, a green-thread library) is not the standard
    # method, whether it came before the import or after.
    runs = [subprocess.run([sys.executable, "-c", PATCH, impl, when], cwd=ROOT, timeout=120,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            for impl in ("native", "python")]
    assert [r.returncode for r in runs] == [0, 0], [r.stderr for r in runs]
    assert runs[0].stdout == runs[1].stdout and "'_put'" in runs[0].stdout


COLLECTED = """
import gc, sys
from collections import deque
if sys.argv[1] == "native":
    from ombrix_sdk.structures.tideq import TideQueue as Q
else:
    from benchmarks.reference_queue import PyTideQueue as Q
Q(2).put(0)
for threshold in range(1, 40):
    q = Q(10)
    for i in range(int(sys.argv[3])):
        q.put(i)
    class Late:
        def __del__(self):
            {"append": lambda: q.queue.append("late"), "vars": lambda: vars(q),
             "replace": lambda: setattr(q, "queue", deque(["new"]))}[sys.argv[2]]()
    gc.collect()
    late = Late(); late.me = late; del late
    gc.set_threshold(threshold)
    try:
        out = q.drain_fast(3) if sys.argv[3] != "0" else q.put("put")
    except IndexError as e:
        out = repr(e)
    finally:
        gc.set_threshold(700, 10, 10)
    gc.collect()
    print(repr((out, list(q.queue), q.unfinished_tasks)))
"""


@pytest.mark.parametrize("action, filled", [("append", 3), ("replace", 3), ("vars", 0)])
def test_the_collector_inside_a_method_gives_an_outcome_of_the_algorithm(action, filled):
    # Before 3.12 the collector runs at allocations: a finalizer changes the
    # deque, or reads the instance dict, in the middle of a method. Each
    # outcome of the native method (taken, left, counter), at each collection
    # point, is one the plain algorithm gives at some collection point, and
    # the interpreter survives (PYTHONMALLOC=debug).
    env = dict(os.environ, PYTHONMALLOC="debug")
    runs = [subprocess.run([sys.executable, "-c", COLLECTED, impl, action, str(filled)], cwd=ROOT,
                           env=env, timeout=120, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True) for impl in ("native", "python")]
    assert [r.returncode for r in runs] == [0, 0], [r.stderr[-2000:] for r in runs]
    native, plain = (r.stdout.splitlines() for r in runs)
    assert len(native) == 39 and set(native) <= set(plain), sorted(set(native) - set(plain))
