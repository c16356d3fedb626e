"""TideQueue subclasses with attribute hooks, against the plain-Python queue.

Whatever a subclass or an instance does to attribute access (its own
__getattribute__, __getattr__ or __setattr__, a property in place of a piece
of the queue's state, a metaclass, state objects replaced by look-alikes
that log what is done to them), the native methods must do what the plain
algorithm does: the same results and errors, the same contents, and the
same reads and writes of the state in the same order.
"""

import threading
from collections import deque

import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

from benchmarks.reference_queue import PyTideQueue
from ombrix_sdk.structures.tideq import TideQueue

STATE = {"maxsize", "queue", "mutex", "not_empty", "all_tasks_done", "unfinished_tasks",
         "debug", "logger", "_qsize", "_put", "_get"}
EVENTS = []


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


class ListQueue(object):
    """A look-alike of the deque, without its other methods."""

    def __init__(self, items):
        self.items = list(items)

    def append(self, item):
        self.items.append(item)

    def popleft(self):
        return self.items.pop(0)

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return iter(self.items)


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


def replace(q, what):
    state = vars(q)
    if what == "logged deque":
        state["queue"] = LoggedDeque(state["queue"])
    elif what == "list queue":
        state["queue"] = ListQueue(state["queue"])
    elif what == "conditions":
        state["not_empty"] = LoggedCondition(state["mutex"])
        state["all_tasks_done"] = LoggedCondition(state["mutex"])
    elif what == "rlock":
        state["mutex"] = threading.RLock()
        state["not_empty"] = threading.Condition(state["mutex"])
        state["all_tasks_done"] = threading.Condition(state["mutex"])
    elif what == "logged ints":
        state["maxsize"] = LoggedInt(state["maxsize"])
        if "unfinished_tasks" in state:
            state["unfinished_tasks"] = LoggedInt(state["unfinished_tasks"])
    else:  # an attribute gone from the instance
        state.pop(what, None)


HOOKS = [GetAttribute, GetAttr, SetAttr, CounterProperty, ClassDefault, Meta]
REPLACEMENTS = ["logged deque", "list queue", "conditions", "rlock", "logged ints",
                "not_empty", "all_tasks_done", "unfinished_tasks", "queue"]
FACTORIES = {"list": list, "tuple": tuple,
             "logged": lambda items: EVENTS.append(("factory", tuple(items))) or items[::-1]}
operations = st.one_of(
    st.tuples(st.just("put"), st.integers(0, 99)),
    st.tuples(st.just("drain"), st.integers(-1, 4), st.sampled_from(sorted(FACTORIES)),
              st.booleans()),
    st.tuples(st.just("get")), st.tuples(st.just("task_done")),
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
        else:
            outcome = replace(q, op[1])
    except Exception as e:
        outcome = (type(e), str(e))
    state = vars(q)
    return outcome, in_order(EVENTS), list(state.get("queue", [])), state.get("unfinished_tasks")


# Reads whose order and number the native methods do not keep today: put
# reads maxsize before it calls _qsize() (and so even when _qsize() fails),
# and drain_fast reads unfinished_tasks once where the algorithm reads it
# three times (test_reads_as_the_algorithm_makes_them). Every other event is
# compared, in order.
LOOSE = {("get", "maxsize"), ("get", "unfinished_tasks"), ("property", "get")}


def in_order(events):
    return [e for e in events if e not in LOOSE]


@settings(max_examples=300, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@seed(20261208)
@given(st.lists(st.sampled_from(HOOKS), unique=True), st.integers(1, 3),
       st.lists(operations, max_size=25))
def test_hooked_subclasses_behave_as_the_plain_queue(hooks, capacity, ops):
    ours, ref = make(TideQueue, hooks, capacity), make(PyTideQueue, hooks, capacity)
    for op in ops:
        assert step(ours, op) == step(ref, op), op


@pytest.mark.xfail(strict=True, reason="reads of maxsize and unfinished_tasks out of the "
                                       "algorithm's order and number")
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
