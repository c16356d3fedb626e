"""What a fuzz scenario runs against, in the child interpreter.

A scenario is Python source made by `native_fuzz`; it runs with the names of
`scenario_globals(impl, kind)`: the class under test (`Q`, or `W` and the
module `M`), which is the native one or the plain-Python algorithm, and the
hostile helpers below. Every helper that runs code in the middle of a call
records an event (`ev`), and `step` prints, per operation, the outcome, the
events and the state of the objects shown, in a form that does not depend on
addresses, so that the two runs can be compared line by line.

Run as a program, it reads a batch of scenarios (JSON) and runs them one
after another, each between BEGIN and END lines.
"""
import ast
import collections
import copy
import faulthandler
import gc
import json
import os
import re
import sys
import threading
import traceback
import types
import weakref
from collections import deque

try:
    import _testcapi
except ImportError:  # a build without the test module
    _testcapi = None

T = []  # the events since the last step
ARMED = [False]  # colliding keys act only once armed
SHOWN = []  # (name, object) whose state each step prints
WATCHERS = []  # foreign watchers to clear after the scenario
COUNTER = [0]


def ev(*parts):
    T.append(" ".join(str(p) for p in parts))


def arm():
    ARMED[0] = True


def fresh(prefix):
    """A new str object (not interned, not shared) on each call."""
    COUNTER[0] += 1
    return "".join([prefix, str(COUNTER[0])])


NESTED = [0]  # hostile actions running, one inside another
MAX_NESTED = 8
HOOKS = []  # NESTED when each unraisable hook running (see Hook) started


def acting(fn):
    """A hostile action of the scenario's. Actions run inside actions (a
    colliding key's comparison in a lookup that an action makes, a hook
    recursing through a failing watcher), and without a bound they would
    nest until the recursion limit, which the two sides reach at different
    depths (native calls and Python frames use different amounts of stack).
    Beyond MAX_NESTED levels an action does nothing, on both sides alike."""
    def action():
        if NESTED[0] >= MAX_NESTED:
            ev("too deep")
            return None
        if HOOKS and NESTED[0] > HOOKS[-1]:
            ev("held back")  # inside an unraisable hook's own action
            return None
        NESTED[0] += 1
        try:
            return fn()
        finally:
            NESTED[0] -= 1
    action.__name__ = fn.__name__
    return action


# --- hostile ingredients -------------------------------------------------------


def canonical(entry):
    """A sort key for a dict's entries that runs no code of the keys': str
    keys by value, then the others in their present order."""
    key = entry[0]
    return (0, key) if type(key) is str else (1, "")


class Collide(object):
    """A dict key whose hash equals that of `name`; once armed, its __eq__
    runs `act` (`times` times, -1 for ever) and answers False."""

    def __init__(self, name, act, times=1):
        self.h = hash(name)
        self.name = name
        self.act = act
        self.times = times

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if ARMED[0] and self.times:
            self.times -= 1
            if COMPARISON_ERRORS_DROPPED:
                try:
                    self.act()
                except Exception:
                    pass
            else:
                self.act()
        return False

    def __ne__(self, other):
        return not self.__eq__(other)

    def __repr__(self):
        return "Collide(%s)" % self.name


# 3.7's attribute lookup drops an exception raised while comparing a dict
# key and goes on as if the key were absent; the native methods let it
# through, as 3.8 and later do. On 3.7 an action's error goes nowhere, so
# that both sides see the same comparison.
COMPARISON_ERRORS_DROPPED = sys.version_info < (3, 8)


class Item(object):
    """A queue item or tag value whose release is an event (and may act)."""

    def __init__(self, k, act=None):
        self.k = k
        self.act = act

    def __del__(self):
        ev("del", "I%d" % self.k)
        if self.act is not None:
            self.act()


class DQ(deque):
    """A deque subclass whose methods are events; `on_<name>` set on the
    instance acts too."""

    def _act(self, name):
        act = vars(self).get("on_" + name)
        if act is not None:
            act()

    def popleft(self):
        ev("DQ.popleft")
        self._act("popleft")
        return deque.popleft(self)

    def append(self, x):
        ev("DQ.append")
        self._act("append")
        deque.append(self, x)

    def __len__(self):
        ev("DQ.len")
        self._act("len")
        return deque.__len__(self)


class IntSub(int):
    """An int subclass whose arithmetic and comparisons are events."""

    def __add__(self, other):
        ev("IntSub+")
        return IntSub(int(self) + int(other))

    def __iadd__(self, other):
        ev("IntSub+=")
        return IntSub(int(self) + int(other))

    def __sub__(self, other):
        ev("IntSub-")
        return IntSub(int(self) - int(other))

    def __isub__(self, other):
        ev("IntSub-=")
        return IntSub(int(self) - int(other))

    def __eq__(self, other):
        ev("IntSub==")
        return int(self) == other

    def __ne__(self, other):
        return not self.__eq__(other)

    def __lt__(self, other):
        ev("IntSub<")
        return int(self) < other

    def __gt__(self, other):
        ev("IntSub>")
        return int(self) > other

    def __le__(self, other):
        ev("IntSub<=")
        return int(self) <= other

    def __bool__(self):
        ev("IntSub?")
        return int(self) != 0

    __hash__ = int.__hash__

    def __repr__(self):
        return "IntSub(%d)" % int(self)


class Cnt(object):
    """A counter that is no int: every operation is an event; its release
    may act, and so may its comparisons and truth tests (those of the
    counters its arithmetic makes too)."""

    def __init__(self, n, act=None, on_compare=None):
        self.n = n
        self.act = act
        self.on_compare = on_compare

    def _make(self, n):
        return Cnt(n, None, self.on_compare)

    def _compared(self, op):
        ev("Cnt" + op)
        if self.on_compare is not None:
            self.on_compare()

    def __add__(self, other):
        ev("Cnt+")
        return self._make(self.n + int(other))

    def __radd__(self, other):
        ev("Cnt r+")
        return self._make(self.n + int(other))

    def __sub__(self, other):
        ev("Cnt-")
        return self._make(self.n - int(other))

    def __bool__(self):
        self._compared("?")
        return self.n != 0

    def __eq__(self, other):
        self._compared("==")
        return self.n == (other.n if isinstance(other, Cnt) else other)

    def __lt__(self, other):
        self._compared("<")
        return self.n < other

    def __gt__(self, other):
        self._compared(">")
        return self.n > other

    def __le__(self, other):
        self._compared("<=")
        return self.n <= other

    def __ge__(self, other):
        self._compared(">=")
        return self.n >= other

    def __hash__(self):
        return hash(self.n)

    def __del__(self):
        if self.act is not None:
            ev("Cnt del")
            self.act()


class InPlaceCnt(Cnt):
    """Cnt with real in-place operators (the interpreter looks them up on the
    type)."""

    def __iadd__(self, other):
        ev("Cnt+=")
        return self._make(self.n + int(other))

    def __isub__(self, other):
        ev("Cnt-=")
        return self._make(self.n - int(other))

    def _make(self, n):
        return InPlaceCnt(n, None, self.on_compare)


class Cap(object):
    """A capacity that is no int; comparing it is an event and may act."""

    def __init__(self, n, act=None):
        self.n = n
        self.act = act

    def __eq__(self, other):
        ev("Cap==")
        if self.act is not None:
            self.act()
        return self.n == other

    __hash__ = None


class Flag(object):
    """A `debug` or `adjust_unfinished` whose truth test is an event."""

    def __init__(self, value, act=None):
        self.value = value
        self.act = act

    def __bool__(self):
        ev("Flag?")
        if self.act is not None:
            self.act()
        return self.value


class Log(object):
    def __init__(self, act=None):
        self.act = act

    def warning(self, msg):
        ev("warning", msg)
        if self.act is not None:
            self.act()


class Cond(object):
    """Stands for a Condition: notify is an event (and may act)."""

    def __init__(self, real=None, act=None):
        self.real = real
        self.act = act

    def notify(self):
        ev("notify")
        if self.act is not None:
            self.act()
        if self.real is not None:
            self.real.notify()

    def notify_all(self):
        ev("notify_all")
        if self.act is not None:
            self.act()
        if self.real is not None:
            self.real.notify_all()


class Mx(object):
    """Wraps a queue's lock; entering is an event (and may act)."""

    def __init__(self, lock, act=None):
        self.lock = lock
        self.act = act

    def __enter__(self):
        ev("enter")
        if self.act is not None:
            self.act()
        return self.lock.__enter__()

    def __exit__(self, *exc):
        ev("exit")
        return self.lock.__exit__(*exc)

    def acquire(self, blocking=True):
        return self.lock.acquire(blocking)

    def release(self):
        return self.lock.release()


class Hook(object):
    """sys.unraisablehook that records the error's type and acts.

    It runs inside another extension's failing dict watcher, that is inside
    a change of the watched dict, which such code must not change (the
    interpreter would finish the change with what it read before: a value
    released twice). So its action only reads or uses other objects (the
    generator sees to that), and the actions that would run inside it (a
    colliding key's, a finalizer's) are held back, on both sides alike."""

    def __init__(self, act=None):
        self.act = act

    def __call__(self, unraisable):
        ev("unraisable", type(unraisable.exc_value).__name__)
        if self.act is not None:
            HOOKS.append(NESTED[0])
            try:
                self.act()
            finally:
                HOOKS.pop()


def factory(kind, act=None):
    """A dest_factory: an event, an optional act, then a container."""
    def make(items):
        ev("factory", len(items))
        if act is not None:
            act()
        if kind == "tuple":
            return tuple(items)
        if kind == "list":
            return list(items)
        if kind == "none":
            return None
        raise RuntimeError("factory")
    return make


def entries(obj):
    """The instance dict's entries, read without running any code of the
    object's (no attribute access, no key comparison)."""
    try:
        d = object.__getattribute__(obj, "__dict__")
    except Exception as e:
        if isinstance(e, RecursionError):
            ev("RecursionError in the harness")  # no verdict then
        return []
    return list(dict.items(d)) if isinstance(d, dict) else []


def entry(obj, name, default=None):
    for k, v in entries(obj):
        if type(k) is str and k == name:
            return v
    return default


def free(q):
    """Whether q's lock can be taken now (so an action may use q without
    deadlocking on a lock held further up)."""
    lock = entry(q, "mutex")
    lock = getattr(lock, "lock", lock) if isinstance(lock, Mx) else lock
    acquire = getattr(type(lock), "acquire", None)
    if acquire is None or not acquire(lock, False):
        return False
    lock.release()
    return True


def _stores_reach_watchers():
    """Whether `obj.name = v` reaches the watchers of obj's dict while the
    dict still keeps its values in the object (3.13.0: it does not, though
    the same store through the dict does)."""
    class Probe(object):
        pass
    probe = Probe()
    probe.a = 1
    wid = _testcapi.add_dict_watcher(0)
    try:
        _testcapi.watch_dict(wid, vars(probe))
        probe.a = 2
        return bool(_testcapi.get_dict_watcher_events())
    finally:
        _testcapi.clear_dict_watcher(wid)


_STORES_REACH_WATCHERS = []


class _Apart(object):
    """A key that moves a dict's values out of its object."""


def dict_watcher(kind, *dicts):
    """Another extension's watcher (of _testcapi's kind `kind`) on `dicts`.
    Where the interpreter's own attribute stores miss the watchers of a dict
    that keeps its values in its object, the dict is first made to keep
    them itself (a key that is no str, added and removed): else the plain
    -Python side's stores would not be seen where the native side's, made
    on the dict, are."""
    if not _STORES_REACH_WATCHERS:
        _STORES_REACH_WATCHERS.append(_stores_reach_watchers())
    wid = _testcapi.add_dict_watcher(kind)
    WATCHERS.append(("dict", wid))
    for d in dicts:
        if not _STORES_REACH_WATCHERS[0]:
            key = _Apart()
            d[key] = None
            del d[key]
        _testcapi.watch_dict(wid, d)
    return wid


def type_watcher(kind, *types):
    wid = _testcapi.add_type_watcher(kind)
    WATCHERS.append(("type", wid))
    for t in types:
        _testcapi.watch_type(wid, t)
    return wid


# --- attribute access as the language defines it ---------------------------------
#
# From 3.11 the interpreter specialises `obj.name` and `obj.name = v`: once an
# instruction has seen a few objects, it remembers where `name` sat in the
# instance dict and compares the key found there by identity, so a colliding
# key (same hash, earlier in the probe sequence) has its __eq__ called by the
# full lookup but not by the specialised one. When that happens depends on
# what the instruction has seen before: the native methods always make the
# full lookup, as getattr() does, while the algorithm's Python code and
# queue.Queue's methods (which both sides run, each with its own history)
# skip it at moments of their own, and a colliding key's action runs a
# different number of times for no fault of either side.
#
# Giving the algorithm's class a __getattribute__ would make its own reads
# full lookups, but queue.Queue's methods, threading.Condition's and the
# scenario's code would still be specialised on the native side only. So on
# every interpreter that specialises, all Python code that touches the
# objects under test (the scenario, the algorithm, queue.Queue's and
# threading.Condition's methods) is compiled with each attribute access
# written as getattr(obj, "name") / setattr(obj, "name", v), which means the
# same by the language's definition and is never specialised: both sides
# make every lookup in full, and collisions compare alike.

SPECIALISES = sys.version_info >= (3, 11)


def _at(node, where):
    node.lineno, node.col_offset = where.lineno, where.col_offset
    node.end_lineno, node.end_col_offset = where.end_lineno, where.end_col_offset
    return node


def _load(name, where):
    return _at(ast.Name(id=name, ctx=ast.Load()), where)


def _call(fn, args, where):
    return _at(ast.Call(func=_load(fn, where), args=args, keywords=[]), where)


def _statement(node, where):
    return _at(node, where)


def _generic(node):
    """The tree with every attribute access spelt with getattr/setattr:
    obj.name -> getattr(obj, 'name'); obj.name = v -> setattr(obj, 'name', v)
    once v is evaluated (Python evaluates the value before the object);
    obj.name op= v through temporaries, in Python's order. Other attribute
    targets (for, with, del, tuples) stay: their stores compare alike."""
    for field, value in ast.iter_fields(node):
        if isinstance(value, list):
            out = []
            for x in value:
                if isinstance(x, ast.AST):
                    x = _generic(x)
                if isinstance(x, list):
                    out.extend(x)
                else:
                    out.append(x)
            setattr(node, field, out)
        elif isinstance(value, ast.AST):
            setattr(node, field, _generic(value))
    if isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Load):
        return _call("getattr", [node.value, _at(ast.Constant(value=node.attr), node)], node)
    if isinstance(node, ast.Assign) and any(isinstance(t, ast.Attribute) for t in node.targets):
        # _fz_value = v; each target in order; del _fz_value
        out = [_at(ast.Assign(targets=[_at(ast.Name(id="_fz_value", ctx=ast.Store()), node)],
                              value=node.value), node)]
        for t in node.targets:
            if isinstance(t, ast.Attribute):
                out.append(_at(ast.Expr(value=_call("setattr", [
                    t.value, _at(ast.Constant(value=t.attr), node), _load("_fz_value", node)],
                    node)), node))
            else:
                out.append(_at(ast.Assign(targets=[t], value=_load("_fz_value", node)), node))
        out.append(_at(ast.Delete(targets=[_at(ast.Name(id="_fz_value", ctx=ast.Del()), node)]),
                       node))
        return out
    if isinstance(node, ast.AugAssign) and isinstance(node.target, ast.Attribute):
        # _fz_obj = obj; _fz_now = getattr(_fz_obj, 'name'); _fz_now op= v;
        # setattr(_fz_obj, 'name', _fz_now); del _fz_obj, _fz_now
        t = node.target
        name = _at(ast.Constant(value=t.attr), node)
        return [
            _at(ast.Assign(targets=[_at(ast.Name(id="_fz_obj", ctx=ast.Store()), node)],
                           value=t.value), node),
            _at(ast.Assign(targets=[_at(ast.Name(id="_fz_now", ctx=ast.Store()), node)],
                           value=_call("getattr", [_load("_fz_obj", node), name], node)), node),
            _at(ast.AugAssign(target=_at(ast.Name(id="_fz_now", ctx=ast.Store()), node),
                              op=node.op, value=node.value), node),
            _at(ast.Expr(value=_call("setattr", [_load("_fz_obj", node), name,
                                                 _load("_fz_now", node)], node)), node),
            _at(ast.Delete(targets=[_at(ast.Name(id="_fz_obj", ctx=ast.Del()), node),
                                    _at(ast.Name(id="_fz_now", ctx=ast.Del()), node)]), node),
        ]
    return node


def compile_generic(source, filename, mode="exec"):
    """compile(), with attribute access that the interpreter does not
    specialise (see above) where it would."""
    if not SPECIALISES:
        return compile(source, filename, mode)
    return compile(_generic(ast.parse(source, filename, mode)), filename, mode)


def make_methods_generic(cls):
    """Recompiles the methods of a standard-library class as by
    compile_generic, in place: the function objects stay (the native module
    recognises queue.Queue's hooks by identity), their code changes. The
    class is compiled whole from its module's source, so that private names
    are mangled as before."""
    if not SPECIALISES or cls in _GENERIC:
        return
    _GENERIC.add(cls)
    path = sys.modules[cls.__module__].__file__
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == cls.__name__:
            break
    else:
        return
    module = compile(ast.Module(body=[_generic(node)], type_ignores=[]), path, "exec")
    code_type = type(module)
    body = [c for c in module.co_consts if isinstance(c, code_type) and c.co_name == cls.__name__]
    for code in (body[0].co_consts if body else ()):
        fn = vars(cls).get(getattr(code, "co_name", None))
        if isinstance(fn, type(make_methods_generic)) and \
                fn.__code__.co_firstlineno == code.co_firstlineno and \
                fn.__code__.co_freevars == code.co_freevars:
            fn.__code__ = code


_GENERIC = set()  # the classes whose methods were recompiled in this interpreter


# --- the plain-Python algorithm -------------------------------------------------

QUEUE_ORACLE = '''
import queue
from ombrix_sdk.logging import get_logger


class TideQueue(queue.Queue):
    """The literal algorithm with the SDK's documented deviations, in
    Python's own evaluation order."""

    def __init__(self, batch_size, debug=False):
        if type(batch_size) is not int:
            raise TypeError("Argument 'batch_size' has incorrect type (expected int, got %s)"
                            % type(batch_size).__name__)
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1, got %s" % batch_size)
        super().__init__(maxsize=batch_size)
        self.debug = debug
        if debug:
            self.logger = get_logger("RQ: ")

    def put(self, item, block=True, timeout=None):
        with self.mutex:
            if self._qsize() == self.maxsize:
                if self.debug:
                    self.logger.warning("Throwing away element")
                self._get()
            self._put(item)
            self.unfinished_tasks += 1
            self.not_empty.notify()

    def drain_fast(self, max_items, *, dest_factory=list, adjust_unfinished=True):
        if type(max_items) is not int:
            raise TypeError("Argument 'max_items' has incorrect type (expected int, got %s)"
                            % type(max_items).__name__)
        with self.mutex:
            n = min(max_items, len(self.queue))
            items = [self.queue.popleft() for _ in range(n)]
            result = items if dest_factory is list else dest_factory(items)
            if adjust_unfinished and max_items >= 0 and self.unfinished_tasks:
                self.unfinished_tasks = max(self.unfinished_tasks - n, 0)
                if self.unfinished_tasks == 0:
                    self.all_tasks_done.notify_all()
            return result
'''

_oracle = {}


def oracle_queue_class():
    if "Q" not in _oracle:
        namespace = {"__name__": "ombrix_sdk.structures.tideq"}
        ALGORITHM_FILES.add("<oracle tideq>")
        exec(compile_generic(QUEUE_ORACLE, "<oracle tideq>"), namespace)
        _oracle["Q"] = namespace["TideQueue"]
    return _oracle["Q"]


class OracleWardenModule(object):
    """The reference filter's module, standing in for the native module: its
    class is called ZoneWarden, and a failure of filter_in_roi goes to
    `exception_traceback` as in the native module."""

    def __init__(self):
        from benchmarks import reference_zone_warden as ref
        if SPECIALISES:
            # the reference filter's code compiled with generic attribute
            # access (see compile_generic), in a module of its own
            generic = types.ModuleType(ref.__name__, ref.__doc__)
            generic.__file__ = ref.__file__
            with open(ref.__file__) as f:
                exec(compile_generic(f.read(), ref.__file__), vars(generic))
            ref = generic
        self.module = ref
        cls = ref.PyZoneWarden
        cls.__name__ = cls.__qualname__ = "ZoneWarden"
        cls.filter_in_roi = _releasing_frames(cls.filter_in_roi, ref.__file__)
        self.ZoneWarden = cls


def _releasing_frames(filter_in_roi, filename):
    """The reference filter keeps a failure in `failure`, and its traceback
    keeps the filter's frames and their locals (the copies made so far, the
    tags they carry) until the next call. The native filter drops what it
    made before it returns. So the frames of the reference filter's own code
    let go of their locals as the call returns; frames of the scenario's code
    (a property that raised) stay in the traceback on both sides."""
    ALGORITHM_FILES.add(filename)

    def call(self, *args, **kwargs):
        result = filter_in_roi(self, *args, **kwargs)
        failure = entry(self, "failure")
        if isinstance(failure, BaseException):
            release_algorithm_frames(failure)
        return result
    return call


# The files of the plain-Python algorithm's own code, which has frames where
# the native methods have none.
ALGORITHM_FILES = set()


def release_algorithm_frames(exc):
    """Clears the locals of the algorithm's finished frames in the traceback of
    `exc`. A traceback keeps its frames, and their locals (items popped,
    copies made), for as long as the exception lives, and a hostile item may
    raise the same exception object again and again; the native methods drop
    what they hold as the exception leaves them."""
    tb = getattr(exc, "__traceback__", None)
    while tb is not None:
        if tb.tb_frame.f_code.co_filename in ALGORITHM_FILES:
            try:
                tb.tb_frame.clear()
            except RuntimeError:  # still running
                pass
        tb = tb.tb_next


def warden_parts(impl):
    """(class, module, failures): `failures()` gives and forgets the errors
    the last filter calls reported."""
    if impl == "native":
        import ombrix_sdk.roi.zone_warden as zw
        reported = []
        zw.exception_traceback = lambda logger, e: reported.append(e)

        def failures():
            got = list(reported)
            del reported[:]
            return got
        return zw.ZoneWarden, zw, failures
    if "W" not in _oracle:
        _oracle["W"] = OracleWardenModule()
    o = _oracle["W"]

    def failures():
        got = []
        for ref in list(_oracle.get("wardens", [])):
            w = ref()
            e = entry(w, "failure") if w is not None else None
            if e is not None:
                got.append(e)
                object.__getattribute__(w, "__dict__")["failure"] = None
        return got
    return o.ZoneWarden, o.module, failures


# --- describing outcomes -------------------------------------------------------

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
UNPACK = [
    (re.compile(r"need more than (\d+) values? to unpack"), r"unpack: got \1"),
    (re.compile(r"not enough values to unpack \(expected \d+, got (\d+)\)"), r"unpack: got \1"),
    (re.compile(r"too many values to unpack \(expected (\d+)(, got \d+)?\)"), r"unpack: more than \1"),
]


def norm(text):
    text = ADDRESS.sub("0x?", text)
    for pattern, repl in UNPACK:
        text = pattern.sub(repl, text)
    return text


def describe_exc(e):
    return "%s: %s" % (type(e).__name__, norm(str(e)))


def _deque_base(t):
    """collections.deque among the bases of t, also another interpreter's."""
    for c in t.__mro__:
        if c is deque or (c.__name__ == "deque" and c.__module__ == "collections"):
            return c
    return None


def describe(v, depth=0):
    if depth > 4:
        return "..."
    t = type(v)
    if v is None or t in (bool, str, float):
        return repr(v)
    if t is int:
        return repr(v) if abs(v) < 10 ** 6 else "int(%d digits)" % len(str(abs(v)))
    if isinstance(v, Item):
        return "I%d" % object.__getattribute__(v, "k")
    if isinstance(v, IntSub):
        return "IntSub(%d)" % int.__int__(v)
    if isinstance(v, Cnt):
        return "%s(%d)" % (t.__name__, object.__getattribute__(v, "n"))
    if isinstance(v, Cap):
        return "Cap(%d)" % object.__getattribute__(v, "n")
    if isinstance(v, BaseException):
        return describe_exc(v)
    base = _deque_base(t)
    if base is not None:
        items = ", ".join(describe(x, depth + 1) for x in base.__iter__(v))
        return "%s[%s]/%s" % (t.__name__, items, base.maxlen.__get__(v))
    if t in (list, tuple):
        inner = ", ".join(describe(x, depth + 1) for x in v)
        return "[%s]" % inner if t is list else "(%s)" % inner
    if t is dict:
        pairs = sorted("%s: %s" % (describe(k, depth + 1), describe(x, depth + 1))
                       for k, x in dict.items(v))
        return "{%s}" % ", ".join(pairs)
    if isinstance(v, Collide):
        return "Collide(%s)" % object.__getattribute__(v, "name")
    if isinstance(v, str):
        return "%s(%r)" % (t.__name__, str.__str__(v))
    return "<%s>" % t.__name__


def state(obj):
    parts = []
    for k, v in (list(dict.items(obj)) if isinstance(obj, dict) else entries(obj)):
        if type(k) is str and k in ("mutex", "not_empty", "not_full", "all_tasks_done"):
            v = "<%s>" % type(v).__name__
        else:
            v = describe(v)
        parts.append("%s=%s" % (describe(k), v))
    return " ".join(sorted(parts))


def outcome(result, items):
    """A filter result told by the input items: "item k" for input item k
    itself, "copy k ..." for a copy of it with its tags."""
    if not isinstance(result, list):
        return describe(result)
    told = []
    for x in result:
        same = [k for k, it in enumerate(items) if it is x]
        if same:
            told.append("item %d" % same[0])
            continue
        box = entry(x, "tlwh", entry(x, "_t"))
        origin = [k for k, it in enumerate(items)
                  if box is not None and entry(it, "tlwh", entry(it, "_t")) is box]
        info = entry(x, "info")
        if isinstance(info, dict):
            tags = dict((k, v) for k, v in dict.items(info) if type(k) is str and k != "rect")
        else:
            tags = dict((k, v) for k, v in entries(x) if type(k) is str and k.startswith("roi_"))
        told.append("copy %s %s %s" % (origin[0] if len(origin) == 1 else "?",
                                       type(x).__name__, describe(tags)))
    return told


def show(name, obj):
    SHOWN.append((name, obj))


def emit(label, line):
    out = ["S " + label, "R " + line]
    if T:
        out.append("T " + " | ".join(T))
        del T[:]
    for name, obj in SHOWN:
        out.append("O %s %s" % (name, state(obj)))
    print("\n".join(out))


FAILURES = [None]


def step(label, fn):
    """Runs one operation and prints its outcome, events and the state."""
    try:
        r = fn()
        line = "-> " + describe(r)
        del r
    except BaseException as e:  # KeyboardInterrupt from a hostile item too
        line = "!! " + describe_exc(e)
        release_algorithm_frames(e)
    if FAILURES[0] is not None:
        for e in FAILURES[0]():
            line += " logged " + describe_exc(e)
    if label == "threads":
        del T[:]  # what threads do and release has no order to compare
    emit(label, line)


# --- threads: invariants only ----------------------------------------------------


def queue_threads(*args):
    verdict = _queue_threads(*args)
    del T[:]  # what the threads did, and released when they ended, is not compared
    return verdict


def warden_threads(*args):
    verdict = _warden_threads(*args)
    del T[:]
    return verdict


def _queue_threads(Q, capacity, producers, per, drains, mutations, seed):
    """Producers put distinct items while a consumer drains and a mutator
    changes the queue under its lock; prints the broken invariants."""
    import random
    rng = random.Random(seed)
    q = Q(capacity)
    drained, errors = [], []
    lost = []  # items thrown away with a replaced deque
    done = threading.Event()

    def produce(p):
        try:
            for i in range(per):
                q.put((p, i))
        except Exception as e:
            errors.append("put " + describe_exc(e))

    def consume():
        try:
            while not done.is_set() or q.qsize():
                got = q.drain_fast(rng.choice(drains))
                drained.append(list(got))
        except Exception as e:
            errors.append("drain " + describe_exc(e))

    def mutate():
        try:
            while not done.is_set():
                kind = rng.choice(mutations)
                with q.mutex:
                    if kind == "swap-deque":
                        lost.extend(q.queue)
                        q.queue = deque()
                    elif kind == "swap-maxlen":
                        lost.extend(q.queue)
                        q.queue = deque(maxlen=capacity)
                    elif kind == "dict-copy":
                        q.__dict__ = dict(vars(q))
                    elif kind == "maxsize":
                        q.maxsize = rng.choice([1, capacity, capacity + 2])
                    elif kind == "hook-on":
                        # an instance's own hook, on whatever deque the
                        # queue has (a bound popleft of this one would pop
                        # an old deque after a swap: an error of the
                        # scenario's, not of put)
                        q._get = lambda: q.queue.popleft()
                    elif kind == "hook-off":
                        vars(q).pop("_get", None)
                    elif kind == "condition":
                        q.not_empty = threading.Condition(q.mutex)
                    elif kind == "debug":
                        q.debug = not q.debug
                        q.logger = Log()
                del T[:]
        except Exception as e:
            errors.append("mutate " + describe_exc(e))

    threads = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    helpers = [threading.Thread(target=consume)] + (
        [threading.Thread(target=mutate)] if mutations else [])
    for t in threads + helpers:
        t.start()
    for t in threads:
        t.join()
    done.set()
    for t in helpers:
        t.join()
    del T[:]
    taken = [x for batch in drained for x in batch]
    left = list(q.queue)
    put_all = set((p, i) for p in range(producers) for i in range(per))
    verdicts = list(errors)
    if len(set(taken)) != len(taken):
        verdicts.append("an item drained twice")
    if not set(taken) <= put_all or not set(left) <= put_all:
        verdicts.append("an item that was never put")
    if set(taken) & set(left):
        verdicts.append("an item both drained and still queued")
    for p in range(producers):
        mine = [i for (pp, i) in taken if pp == p]
        if mine != sorted(mine):
            verdicts.append("producer %d's items out of order" % p)
            break
    expected = producers * per - len(taken)
    if q.unfinished_tasks != expected:
        verdicts.append("counter %r, expected %d" % (q.unfinished_tasks, expected))
    return verdicts or "invariants hold"


def _warden_threads(W, records, items, rounds, mutators, seed):
    """Threads filter the same items while others change the records' tags
    and other state between calls; the kept items must not change and every
    tag must be one of the values the records had."""
    import random
    rng = random.Random(seed)
    w = W(records)
    first = w.filter_in_roi(items)
    kept = [type(x).__name__ for x in first]
    values = ["".join(["t", str(i)]) for i in range(6)]
    texts = set(values + [""])  # the tags that are str
    objects = []  # the others (items standing for tags), by identity
    for r in records:
        for key in ("roi_id", "label"):
            v = r.get(key)
            if type(v) is str:
                texts.add(v)
            elif v is not None:
                objects.append(v)

    def known(v):
        return v is None or (type(v) is str and v in texts) or any(v is o for o in objects)
    errors = []
    stop = threading.Event()

    def filt():
        try:
            for _ in range(rounds):
                got = w.filter_in_roi(items)
                if [type(x).__name__ for x in got] != kept:
                    errors.append("kept items changed")
                for x in got:
                    info = entry(x, "info")
                    tags = info if isinstance(info, dict) else dict(entries(x))
                    for key in ("roi_id", "roi_name"):
                        for v in tags.get(key, []):
                            if not known(v):
                                errors.append("tag %s not one of the records' values" % key)
        except Exception as e:
            errors.append("filter " + describe_exc(e))

    def mutate():
        while not stop.is_set():
            r = rng.choice(records)
            kind = rng.choice(mutators)
            if kind == "retag":
                r["roi_id"] = rng.choice(values)
            elif kind == "untag":
                r.pop("label", None)
            elif kind == "relabel":
                r["label"] = rng.choice(values)
            elif kind == "points":
                r["points"] = [[0.0, 0.0]]
            elif kind == "include":
                r["include"] = not r.get("include")

    fs = [threading.Thread(target=filt) for _ in range(2)]
    ms = [threading.Thread(target=mutate)] if mutators else []
    for t in fs + ms:
        t.start()
    for t in fs:
        t.join()
    stop.set()
    for t in ms:
        t.join()
    del T[:]
    return sorted(set(errors)) or "invariants hold"


# --- running a batch ---------------------------------------------------------------


def scenario_globals(impl, kind):
    g = {"__name__": "scenario", "__builtins__": __builtins__}
    import queue
    make_methods_generic(queue.Queue)
    make_methods_generic(threading.Condition)
    for name in ("ev", "arm", "fresh", "acting", "canonical", "Collide", "Item", "DQ", "IntSub", "Cnt", "InPlaceCnt",
                 "Cap", "Flag", "Log", "Cond", "Mx", "Hook", "factory", "free", "entry",
                 "dict_watcher", "type_watcher", "show", "step", "outcome", "queue_threads",
                 "warden_threads", "deque", "threading", "sys", "gc", "copy", "collections"):
        g[name] = globals()[name]
    FAILURES[0] = None
    if kind == "queue":
        if impl == "native":
            from ombrix_sdk.structures.tideq import TideQueue
            g["Q"] = TideQueue
        else:
            g["Q"] = oracle_queue_class()
    else:
        W, M, failures = warden_parts(impl)
        if impl != "native":
            # remembered on construction, so that their `failure` can be read
            _oracle["wardens"] = []
            W.__init__ = _remembering(W.__init__)
        FAILURES[0] = failures
        REBOUND[M] = dict((name, getattr(M, name)) for name in ("Point", "copy", "KEY")
                          if hasattr(M, name))
        from shapely.geometry import Polygon
        g.update(W=W, M=M, Polygon=Polygon)
    return g


def _remembering(init):
    if getattr(init, "remembers", False):
        return init

    def __init__(self, *args, **kwargs):
        _oracle.setdefault("wardens", []).append(weakref.ref(self))
        return init(self, *args, **kwargs)
    __init__.remembers = True
    return __init__


REBOUND = {}  # module -> its attributes before the scenario


def cleanup():
    for module, saved in REBOUND.items():
        for name, value in saved.items():
            setattr(module, name, value)
    REBOUND.clear()
    for kind, wid in reversed(WATCHERS):
        try:
            if kind == "dict":
                _testcapi.clear_dict_watcher(wid)
            else:
                _testcapi.clear_type_watcher(wid)
        except Exception:
            pass
    del WATCHERS[:]
    sys.unraisablehook = sys.__unraisablehook__ if hasattr(sys, "__unraisablehook__") else None
    ARMED[0] = False
    COUNTER[0] = 0
    NESTED[0] = 0
    del HOOKS[:]
    del SHOWN[:]
    _oracle["wardens"] = []


SUBINTERP = '''
import sys
sys.path[:0] = %r
import fuzz_runtime as _rt
_g = _rt.scenario_globals(%r, "queue")
try:
    exec(_rt.compile_generic(%r, "<scenario>"), _g)
except BaseException as e:
    print("S scenario\\nR !! " + _rt.describe_exc(e))
finally:
    _rt.cleanup()
    _g.clear()
'''


def run_scenario(impl, sc):
    kind = sc["kind"]
    if sc.get("subinterp"):
        code = SUBINTERP % (sys.path[:2], impl, sc["code"])
        sys.stdout.flush()
        if _testcapi.run_in_subinterp(code) != 0:
            print("S subinterpreter\nR !! failed")
        return
    g = scenario_globals(impl, kind)
    gc.disable()
    try:
        exec(compile_generic(sc["code"], "<scenario %s>" % sc["id"]), g)
    except BaseException as e:
        print("S scenario\nR !! " + describe_exc(e))
    finally:
        cleanup()
        g.clear()
        gc.enable()
        gc.collect()
        if T:
            # what the teardown released; the order is the teardown's own
            print("S end\nT " + " | ".join(sorted(T)))
            del T[:]


def child_main(argv):
    impl, path = argv[0], argv[1]
    with open(path) as f:
        batch = json.load(f)
    if batch and any(sc["kind"] == "warden" for sc in batch):
        import shapely.geometry  # noqa: F401  (import time is not a scenario's)
    if impl == "native":
        # as an application would have it before any sub-interpreter starts
        import ombrix_sdk.structures.tideq  # noqa: F401
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The sanitizer's frames are several times larger: a recursion that
        # runs through C (a colliding key whose comparison stores into the
        # dict it compares in) would overflow the C stack before the usual
        # limit is reached. A RecursionError gives no verdict either way.
        sys.setrecursionlimit(min(sys.getrecursionlimit(), 150))
    for sc in batch:
        for stream in (sys.stderr, sys.stdout):  # what each scenario writes, on both
            stream.write("\x01BEGIN %s\n" % sc["id"])
            stream.flush()
        faulthandler.dump_traceback_later(sc.get("timeout", 10), exit=True)
        try:
            run_scenario(impl, sc)
        except BaseException:
            print("S harness\nR !! " + traceback.format_exc().splitlines()[-1])
        faulthandler.cancel_dump_traceback_later()
        for stream in (sys.stderr, sys.stdout):
            stream.flush()
            stream.write("\x01END %s\n" % sc["id"])
            stream.flush()


if __name__ == "__main__":
    sys.path[:0] = [os.path.dirname(os.path.dirname(os.path.abspath(__file__)))]
    if sys.argv[1] == "--file":
        # tests/fuzz_runtime.py --file SCENARIO.py native|oracle [queue|warden]
        with open(sys.argv[2]) as f:
            code = f.read()
        run_scenario(sys.argv[3], {"id": sys.argv[2], "code": code, "subinterp": False,
                                   "kind": sys.argv[4] if len(sys.argv) > 4 else "queue"})
    else:
        child_main(sys.argv[1:])
