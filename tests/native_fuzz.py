"""A hostile-caller differential fuzzer for the native modules.

`generate(seed, index, caps)` makes a scenario: Python source that combines
hostile ingredients against TideQueue or ZoneWarden (colliding dict keys
whose __eq__ changes the object, finalizers of dropped, evicted and drained
items, overridden hooks and properties, replaced instance dicts, deque
subclasses and deque(maxlen), exotic counters and capacities, foreign dict
and type watchers that fail into sys.unraisablehook, sub-interpreters,
region records changed between filters, hostile items, threads). Each
scenario runs on the native module and on the plain-Python algorithm, in
fresh interpreters with PYTHONMALLOC=debug, many per interpreter; the
outcomes printed by `fuzz_runtime.step` must be equal line by line (for
threads, the scenario prints only its invariants). A crashed batch is
rerun one scenario at a time to name the culprit; a failing scenario can be
reduced to the blocks it needs and written out as a program.
"""
import collections
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import textwrap
import time

import timing_fuzz

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
RUNTIME = os.path.join(TESTS, "fuzz_runtime.py")


# --- generating scenarios ----------------------------------------------------------


class Builder(object):
    """Blocks of source; each block can be left out when reducing."""

    def __init__(self, rng):
        self.rng = rng
        self.blocks = []
        self.count = 0

    def add(self, code, *tags):
        self.blocks.append({"code": textwrap.dedent(code).strip("\n"), "tags": list(tags)})

    def name(self, prefix):
        self.count += 1
        return "%s%d" % (prefix, self.count)

    def act(self, body, *tags):
        """A function running `body`; its name."""
        name = self.name("act")
        self.add("@acting\ndef %s():\n%s" % (name, textwrap.indent(body, "    ")), *tags)
        return name

    def step(self, label, body, *tags):
        if "\n" in body or body.startswith(("if ", "del ", "_")) or "=" in body.split("(")[0]:
            fn = self.act(body)
            self.add("step(%r, %s)" % (label, fn), *tags)
        else:
            self.add("step(%r, lambda: %s)" % (label, body), *tags)


def chance(rng, p):
    return rng.random() < p


QUEUE_NAMES = ["maxsize", "queue", "mutex", "not_empty", "all_tasks_done", "unfinished_tasks",
               "debug", "logger", "_qsize", "_put", "_get", "not_full"]
CONDITION_NAMES = ["_waiters", "_lock", "notify", "notify_all", "_is_owned"]


# What sys.unraisablehook may do when another extension's dict watcher fails
# into it: not change the watched dict (see fuzz_runtime.Hook), only read it
# or use other queues.
HOOK_ACTIONS = ["self-qsize", "gc", "other-read", "other-drain0", "other-drain", "other-put",
                "pool-read"]
# Actions that take away what a method may have read before: the deque, the
# instance dict, the numbers (the shapes of the faults found so far).
REPLACING = ["swap-deque", "swap-deque-maxlen", "swap-deque-sub", "dict-copy", "dict-replace",
             "dict-rebuild", "pop-queue", "maxsize-fresh", "counter-fresh"]


def queue_action(b, ctx, target=None, among=None):
    """The name of a function that changes a queue (or uses another one);
    `among` limits the choice to those actions. Also the action's key."""
    rng = b.rng
    t = target or ("other" if ctx["other"] and chance(rng, 0.25) else "q")
    big = str(rng.randint(10 ** 20, 10 ** 29))
    acts = {
        "swap-deque": "%s.queue = deque([fresh('s')])" % t,
        "swap-deque-maxlen": "%s.queue = deque(maxlen=%d)" % (t, rng.choice([1, 2])),
        "swap-deque-sub": "%s.queue = DQ([fresh('s')])" % t,
        "maxsize-fresh": "%s.maxsize = int('%s')" % (t, big),
        "maxsize-small": "%s.maxsize = %d" % (t, rng.choice([1, 2, 3])),
        "counter-fresh": "%s.unfinished_tasks = int('%s')" % (t, big),
        "counter-small": "%s.unfinished_tasks = %d" % (t, rng.choice([0, 1, 5])),
        "dict-copy": "%s.__dict__ = dict(vars(%s))" % (t, t),
        "dict-replace": "_d = dict(vars({t}))\n_d['queue'] = deque([fresh('y')])\n"
                        "_d['unfinished_tasks'] = {n}\n{t}.__dict__ = _d".format(
                            t=t, n=rng.choice([0, 7, 50])),
        "dict-rebuild": "_d = dict(vars({t}))\nvars({t}).clear()\nvars({t}).update(_d)".format(t=t),
        "pop-queue": "vars(%s).pop('queue', None)" % t,
        "swap-mutex": "%s.mutex = threading.Lock()" % t,
        "swap-not-empty": "%s.not_empty = Cond()" % t,
        "instance-get": "%s._get = lambda: (ev('instance _get'), %s.queue.popleft())[1]" % (t, t),
        "instance-qsize": "%s._qsize = lambda: (ev('instance _qsize'), len(%s.queue))[1]" % (t, t),
        "instance-unhook": "vars({t}).pop('_get', None)\nvars({t}).pop('_qsize', None)".format(t=t),
        "append": "%s.queue.append(fresh('z'))" % t,
        "clear-deque": "%s.queue.clear()" % t,
        "popleft-rebind": "try:\n    %s.queue.popleft = lambda: (ev('rebound popleft'), 'r')[1]\n"
                          "except AttributeError:\n    pass" % t,
        "gc": "gc.collect()",
        "self-qsize": "if free(%s):\n    ev('qsize', %s.qsize())" % (t, t),
    }
    if ctx["other"]:
        acts.update({
            "other-put": "if free(other):\n    other.put(fresh('o'))",
            "other-drain0": "if free(other):\n    other.drain_fast(0, adjust_unfinished=False)",
            "other-drain": "if free(other):\n    other.drain_fast(2)",
            "other-read": "if free(other):\n    ev('other', other.qsize())",
        })
    if ctx.get("pool"):
        # every queue of the pool, so that one of them shares whatever slot
        # a cache keyed by the dict's address gives the queue's dict
        acts["pool-read"] = ("for o in pool:\n    if free(o):\n"
                             "        o.drain_fast(0, adjust_unfinished=False)")
    if ctx["sub"]:
        acts.update({
            "class-hook": "Sub._get = lambda self: (ev('class _get'), self.queue.popleft())[1]",
            "class-unhook": "Sub._get = Q._get",
        })
    key = rng.choice(sorted(k for k in acts if among is None or k in among))
    return b.act(acts[key], "act:" + key), key


def queue_item(b, ctx):
    rng = b.rng
    ctx["items"] += 1
    k = ctx["items"]
    if ctx["focus"] == "evicting-append" and chance(rng, 0.7):
        # an item whose release, when the deque(maxlen) pushes it out,
        # replaces what put has read
        return "Item(%d, %s)" % (k, queue_action(b, ctx, "q", REPLACING)[0]), "I%d" % k
    r = rng.random()
    if r < 0.35:
        return "fresh('a')", "a"
    if r < 0.45:
        return str(k), str(k)
    act = queue_action(b, ctx)[0] if chance(rng, 0.5) else None
    return "Item(%d%s)" % (k, ", " + act if act else ""), "I%d" % k


SUB_VARIANTS = ["hooks", "props", "getattribute", "getattr", "meta", "descriptor"]


def queue_subclass(b, ctx):
    rng = b.rng
    variant = rng.choice(SUB_VARIANTS)
    body = []
    header = "class Sub(Q):"
    if variant == "hooks":
        for hook, args in (("_qsize", ""), ("_put", ", item"), ("_get", "")):
            if chance(rng, 0.6):
                act = queue_action(b, ctx)[0] if chance(rng, 0.4) else None
                body.append("def %s(self%s):\n    ev('%s')\n%s    return super().%s(%s)" % (
                    hook, args, hook, ("    %s()\n" % act) if act else "", hook, args[2:]))
    elif variant == "props":
        for name in rng.sample(["maxsize", "queue", "unfinished_tasks", "debug", "mutex",
                                "not_empty"], rng.randint(1, 2)):
            body.append(
                "@property\ndef {n}(self):\n    ev('get {n}')\n    return vars(self)['_p_{n}']\n"
                "@{n}.setter\ndef {n}(self, v):\n    ev('set {n}')\n    vars(self)['_p_{n}'] = v"
                .format(n=name))
    elif variant == "getattribute":
        names = rng.sample(QUEUE_NAMES, rng.randint(1, 4))
        act = queue_action(b, ctx)[0] if chance(rng, 0.3) else None
        body.append("def __getattribute__(self, name):\n    if name in %r:\n        ev('read', name)\n"
                    "%s    return object.__getattribute__(self, name)" % (
                        names, ("        %s()\n" % act) if act else ""))
    elif variant == "getattr":
        body.append("def __getattr__(self, name):\n    ev('missing', name)\n"
                    "    if name == 'logger':\n        return Log()\n    raise AttributeError(name)")
    elif variant == "meta":
        b.add("class Meta(type):\n    def __getattribute__(cls, name):\n"
              "        if name.startswith('_q') or name.startswith('_g'):\n"
              "            ev('class read', name)\n        return type.__getattribute__(cls, name)",
              "metaclass")
        header = "class Sub(Q, metaclass=Meta):"
        body.append("pass")
    elif variant == "descriptor":
        b.add("class HookDesc(object):\n    def __get__(self, obj, cls):\n"
              "        ev('get _get')\n        return Q._get.__get__(obj, cls)", "descriptor")
        body.append("_get = HookDesc()")
    if not body:
        body.append("pass")
    b.add(header + "\n" + textwrap.indent("\n".join(body), "    "), "subclass:" + variant)


def collide(b, ctx, owner, names, tag, among=None, tags_only=None, times=None):
    """A key colliding with one of `names` in the dict of `owner`, whose
    comparison (once armed) runs an action (of `among`, for a queue; for a
    record, on the tag `tags_only`, the collision being on the other)."""
    rng = b.rng
    name = rng.choice(names)
    if names is WARDEN_NAMES and (tags_only or chance(rng, 0.6)):
        # the tags are what the filter reads of a record per match
        name = rng.choice(["roi_id", "label"])
    if tags_only:
        name = "label" if tags_only == "roi_id" else "roi_id"
    if ctx["kind"] == "queue":
        act, key = queue_action(b, ctx, None, among)
    else:
        own = int(owner[3:]) if owner.startswith("rec") and (
            tags_only or chance(rng, 0.7)) else None
        act, key = warden_action(b, ctx, tags_first=names is WARDEN_NAMES, record=own,
                                 tags_only=tags_only)
    times = times or rng.choice([1, 1, 2, -1])
    if key == "items-append":
        times = 1  # the filter's list of items would grow without end
    # How many comparisons a lookup makes depends on where the dict put its
    # keys (a probe can come back to the colliding key's slot), and that on
    # the dict's history, which differs between the two sides (an instance
    # dict can start from keys its class shares with other instances). So
    # the dict is rebuilt from nothing, in an order of its own, first.
    b.add("""
        _d = vars({o}) if not isinstance({o}, dict) else {o}
        _v = _d.pop({n!r}, _missing)
        _kept = sorted(_d.items(), key=canonical)
        _d.clear()
        _d[Collide({n!r}, {a}, {t})] = None
        _d.update(_kept)
        if _v is not _missing:
            _d[{n!r}] = _v
        del _d, _v, _kept""".format(o=owner, n=name, a=act, t=times), "%s:%s" % (tag, name))


# The shapes of the faults found in the native queue so far; a share of the
# scenarios is built around one of them (the rest is drawn as usual):
#   evicting-append   a deque(maxlen) pushes out an item whose release
#                     replaces the deque, the instance dict or a number
#   colliding-read    a key colliding with a name a method reads replaces
#                     what the method read before
#   watcher-pool      another extension's failing dict watcher on the queue's
#                     dict calls sys.unraisablehook, which uses every queue of
#                     a pool (one of them shares any cache slot of the queue's)
#   subinterp-watcher in a sub-interpreter, another extension's dict watcher
#                     exists before the queues, whose capacity then changes
QUEUE_FOCUS = ["evicting-append", "colliding-read", "watcher-pool", "subinterp-watcher"]
# what a method reads, and could have read before a lookup that runs code
READ_NAMES = ["maxsize", "queue", "_qsize", "_put", "_get", "unfinished_tasks", "debug",
              "logger", "not_empty", "all_tasks_done"]


def queue_focus(rng, caps):
    """A fault shape for a scenario to be built around, or None."""
    if not chance(rng, 0.35):
        return None
    shapes = QUEUE_FOCUS[:2]
    if caps.get("dict_watchers"):
        shapes = shapes + ["watcher-pool"] + (
            ["subinterp-watcher"] if caps.get("subinterp") else [])
    return rng.choice(shapes)


def gen_queue(b, caps, subinterp=False, focus=None):
    rng = b.rng
    ctx = {"kind": "queue", "other": False, "sub": False, "items": 0, "subinterp": subinterp,
           "focus": focus, "pool": False}
    b.add("_missing = object()", *(["focus:" + focus] if focus else []))
    if focus == "subinterp-watcher":
        # before the queues, as an application's other extension would
        b.add("dict_watcher(%d)" % rng.choice([0, 1, 2]), "foreign-watcher")
    cls = "Q"
    if chance(rng, 0.4):
        ctx["sub"] = True
        queue_subclass(b, ctx)
        cls = "Sub"
    if chance(rng, 0.12):
        for bad in rng.sample(["0", "-2", "2.0", "True", "None"], 2):
            b.step("construct", "%s(%s)" % (cls, bad), "construct")
    capacity = rng.choice([1, 1, 2, 3, 5])
    debug = rng.choice(["False", "False", "True", "Flag(True)", "Flag(False)"])
    b.add("q = %s(%d, %s)" % (cls, capacity, debug), "debug:" + debug)
    b.add("show('q', q)")
    if focus == "watcher-pool" or chance(rng, 0.35):
        ctx["other"] = True
        if focus == "watcher-pool" or chance(rng, 0.5):
            ctx["pool"] = True
            b.add("pool = [%s(5) for _ in range(64)]\nother = pool[%d]" % (cls, rng.randrange(64)),
                  "pool")
        else:
            b.add("other = %s(%d)" % (cls, rng.choice([1, 3])), "other")
        b.add("show('other', other)")
    setups = []
    if chance(rng, 0.3):
        setups.append(("maxsize", rng.choice([
            "q.maxsize = Cap(%d, %s)" % (capacity, queue_action(b, ctx)[0]),
            "q.maxsize = Cap(%d)" % capacity, "q.maxsize = IntSub(%d)" % capacity,
            "q.maxsize = %d.0" % capacity,
            "q.maxsize = int('%d')" % rng.randint(10 ** 20, 10 ** 29)])))
    if chance(rng, 0.3):
        setups.append(("counter", rng.choice([
            "q.unfinished_tasks = IntSub(q.unfinished_tasks)",
            "q.unfinished_tasks = Cnt(q.unfinished_tasks)",
            "q.unfinished_tasks = InPlaceCnt(q.unfinished_tasks)",
            "q.unfinished_tasks = Cnt(q.unfinished_tasks, %s)" % queue_action(b, ctx)[0],
            "q.unfinished_tasks = Cnt(q.unfinished_tasks, None, %s)" % queue_action(b, ctx)[0]])))
    if focus == "evicting-append":
        kind = rng.choice(["maxlen", "sub-maxlen"])
        code = "q.queue = %s(q.queue, maxlen=1)" % ("deque" if kind == "maxlen" else "DQ")
        setups.append(("deque-" + kind, code))
    elif chance(rng, 0.35):
        kind = rng.choice(["maxlen", "sub", "sub-maxlen", "sub-act"])
        if kind == "maxlen":
            code = "q.queue = deque(q.queue, maxlen=%d)" % rng.choice([1, 1, capacity, capacity + 1])
        elif kind == "sub":
            code = "q.queue = DQ(q.queue)"
        elif kind == "sub-maxlen":
            code = "q.queue = DQ(q.queue, maxlen=%d)" % rng.choice([1, capacity])
        else:
            code = "q.queue = DQ(q.queue)\nq.queue.on_%s = %s" % (
                rng.choice(["popleft", "append", "len"]), queue_action(b, ctx)[0])
        setups.append(("deque-" + kind, code))
    if chance(rng, 0.2):
        setups.append(("logger", "q.debug = True\nq.logger = Log(%s)" % queue_action(b, ctx)[0]))
    if chance(rng, 0.15):
        setups.append(("debug-flag", "q.debug = Flag(True, %s)" % queue_action(b, ctx)[0]))
    if chance(rng, 0.15):
        setups.append(("mutex", "q.mutex = Mx(q.mutex, %s)" % queue_action(b, ctx)[0]))
    if chance(rng, 0.15):
        which = rng.choice(["not_empty", "all_tasks_done"])
        setups.append(("condition", "q.%s = Cond(q.%s, %s)" % (which, which,
                                                              queue_action(b, ctx)[0])))
    if chance(rng, 0.15):
        hook = rng.choice(["_qsize", "_put", "_get"])
        args = "item" if hook == "_put" else ""
        setups.append(("instance-hook", "q.%s = lambda %s: (ev('instance %s'), %s(), "
                       "getattr(type(q), %r)(q%s))[2]" % (
                           hook, args, hook, queue_action(b, ctx)[0], hook,
                           ", item" if args else "")))
    if chance(rng, 0.1):
        setups.append(("dict-replaced", "q.__dict__ = dict(vars(q))"))
    if focus == "colliding-read":
        collide(b, ctx, "q", READ_NAMES, "collide", among=REPLACING)
    for _ in range(rng.choice([0, 0, 1, 1, 2])):
        collide(b, ctx, "q", QUEUE_NAMES, "collide")
    if chance(rng, 0.08):
        collide(b, ctx, "q.not_empty", CONDITION_NAMES, "collide-condition")
    if caps.get("dict_watchers") and (focus == "watcher-pool" or chance(rng, 0.3)):
        kinds = [rng.choice([0, 1, 2]) for _ in range(rng.randint(1, 2))]
        if focus == "watcher-pool" and 1 not in kinds:
            kinds[-1] = 1  # the failing kind, whose error goes to the hook
        for kind in kinds:
            b.add("dict_watcher(%d, vars(q))" % kind, "dict-watcher:%d" % kind)
        if ctx["sub"] and chance(rng, 0.4):
            b.add("type_watcher(%d, Sub)" % rng.choice([0, 2]), "type-watcher")
        if focus == "watcher-pool":
            act = queue_action(b, ctx, None, ["pool-read", "other-read", "other-drain0"])[0]
        else:
            act = queue_action(b, ctx, None, HOOK_ACTIONS)[0]
        b.add("sys.unraisablehook = Hook(%s)" % act, "unraisable-hook")
    for tag, code in setups:
        b.step("setup " + tag, code, tag)
    ops = []
    for _ in range(rng.randint(3, 9)):
        r = rng.random()
        if r < 0.45:
            expr, label = queue_item(b, ctx)
            method = "put" if chance(rng, 0.85) else "put_nowait"
            ops.append(("%s %s" % (method, label), "q.%s(%s)" % (method, expr), "put"))
        elif r < 0.7:
            n = rng.choice([-1, 0, 1, 2, 5, 10 ** 20])
            kw = []
            f = rng.random()
            if f < 0.3:
                kw.append("dest_factory=tuple")
            elif f < 0.45:
                act = queue_action(b, ctx)[0] if chance(rng, 0.6) else "None"
                kw.append("dest_factory=factory(%r, %s)" % (
                    rng.choice(["tuple", "list", "none", "raise"]), act))
            a = rng.random()
            if a < 0.15:
                kw.append("adjust_unfinished=False")
            elif a < 0.25:
                kw.append("adjust_unfinished=Flag(True, %s)" % queue_action(b, ctx)[0])
            ops.append(("drain %d" % n if n < 100 else "drain big",
                        "q.drain_fast(%s)" % ", ".join([str(n)] + kw), "drain"))
        elif r < 0.78:
            ops.append(("get_nowait", "q.get_nowait()", "get"))
        elif r < 0.82:
            ops.append(("task_done", "q.task_done()", "task_done"))
        else:
            act, key = queue_action(b, ctx)
            ops.append(("change " + key, "%s()" % act, "change"))
    if focus == "subinterp-watcher":
        # a new capacity (an int of its own) between puts
        for i in sorted(rng.sample(range(len(ops) + 1), 2), reverse=True):
            act, key = queue_action(b, ctx, "q", ["maxsize-fresh"])
            ops[i:i] = [("change " + key, "%s()" % act, "change"),
                        ("put %d" % i, "q.put(%d)" % i, "put")]
    arm_at = 0 if focus == "colliding-read" else rng.randint(0, len(ops))
    for i, (label, code, tag) in enumerate(ops):
        if i == arm_at:
            b.add("arm()")
        b.step(label, code, tag)
    if arm_at == len(ops):
        b.add("arm()")
    b.step("final drain", "q.drain_fast(100)")
    return ctx


WARDEN_NAMES = ["roi_id", "label", "include", "points", "shapely_polygon"]
ITEM_NAMES = ["tlwh", "info", "roi_id", "roi_name", "rect"]
SHAPES = {
    "outer": [[.2, .2], [.8, .2], [.8, .8], [.2, .8]],
    "inner": [[.4, .4], [.6, .4], [.6, .6], [.4, .6]],
    "corner": [[.85, .85], [.99, .85], [.99, .99], [.85, .99]],
    "left": [[.1, .1], [.6, .1], [.6, .6], [.1, .6]],
    "right": [[.4, .4], [.9, .4], [.9, .9], [.4, .9]],
    "triangle": [[.1, .9], [.5, .1], [.9, .9]],
}
BOXES = ["[.45, .45, .1, .1]", "[0, 0, .1, .1]", "[.88, .88, .06, .06]", "(.25, .25, .1, .1)",
         "[45, 45, 10, 10]", "[.5, .5, 0, 0]", "[float('nan'), .5, .1, .1]", "[.5, .5, .1]",
         "[.45, .45, .1, .1, .0]", "[.2, .45, 0.0, .1]", "np.array([.45, .45, .1, .1])",
         "[FSub(.45), .45, .1, .1]", "[.4, .4, IntSub(1), .2]"]


def warden_action(b, ctx, tags_first=False, record=None, tags_only=None):
    """The name of a function that changes the records, the filter or the
    items; `tags_only` names the tag it is to pop or replace. Also its key."""
    rng = b.rng
    r = rng.randrange(ctx["records"]) if record is None else record
    if tags_only or (tags_first and chance(rng, 0.5)):
        key = rng.choice(["pop-id", "pop-label", "new-id", "new-label"])
        if tags_only:
            key = rng.choice(["pop-", "new-"]) + ("id" if tags_only == "roi_id" else "label")
        body = {"pop-id": "rec%d.pop('roi_id', None)", "pop-label": "rec%d.pop('label', None)",
                "new-id": "rec%d['roi_id'] = fresh('id')",
                "new-label": "rec%d['label'] = fresh('L')"}[key] % r
        return b.act(body, "act:" + key), key
    acts = {
        "pop-id": "rec%d.pop('roi_id', None)" % r,
        "pop-label": "rec%d.pop('label', None)" % r,
        "new-id": "rec%d['roi_id'] = fresh('id')" % r,
        "new-label": "rec%d['label'] = fresh('L')" % r,
        "clear-record": "rec%d.clear()" % r,
        "swap-polygon": "rec%d['shapely_polygon'] = Polygon(%r)" % (
            r, SHAPES[rng.choice(sorted(SHAPES))]),
        "gc": "gc.collect()",
    }
    if ctx["warden"]:
        acts.update({
            "drop-included": "del w._included_rois[:]",
            "reverse-included": "w._included_rois.reverse()",
            "clear-overlaps": "w._exclusion_intersections.clear()",
            "no-rois": "w.rois = []",
            "warden-dict-copy": "w.__dict__ = dict(vars(w))",
            "empty-region": "w._empty_polygon = rec0",
            "instance-hook": "w._is_point_in_polygon = lambda p, r: "
                             "(ev('instance in'), r['shapely_polygon'].contains(p))[1]",
            "rebind-point": "M.Point = lambda x, y: (ev('Point'), Point(x, y))[1]",
            "items-append": "items.append(Det([.45, .45, .1, .1]))",
            "items-clear": "del items[:]",
            "retag-item": "items[0].tlwh = [.3, .3, .1, .1]",
        })
    key = rng.choice(sorted(acts))
    return b.act(acts[key], "act:" + key), key


ITEM_CLASSES = '''
class Det(object):
    def __init__(self, t):
        self.tlwh = t
class Track(object):
    def __init__(self, t, rect=None):
        self.tlwh = t
        self.info = {'rect': t if rect is None else rect}
class PropDet(object):
    def __init__(self, t, act=None):
        self._t = t
        self.act = act
    @property
    def tlwh(self):
        ev('tlwh')
        if self.act:
            self.act()
        return self._t
class NoInfo(object):
    def __init__(self, t, error):
        self.tlwh = t
        self.error = error
    @property
    def info(self):
        ev('info')
        # a new exception each time: one raised again would keep the
        # traceback of its last raise, with the plain-Python algorithm's
        # frames and their locals, where the native code has none
        raise type(self.error)(*self.error.args)
class InfoMap(dict):
    act = None
    def get(self, key, default=None):
        ev('info.get', key)
        if self.act:
            self.act()
        return dict.get(self, key, default)
class Seq(object):
    def __init__(self, values, act=None):
        self.values = values
        self.act = act
    def __iter__(self):
        ev('iter box')
        if self.act:
            self.act()
        return iter(self.values)
class FSub(float):
    def __mul__(self, other):
        ev('FSub*')
        return float(self) * other
    __rmul__ = __mul__
class CopyDet(Det):
    act = None
    def __copy__(self):
        ev('copy')
        if self.act:
            self.act()
        return Det(self.tlwh)
'''


def gen_warden(b, caps):
    rng = b.rng
    ctx = {"kind": "warden", "records": rng.randint(1, 3), "warden": False}
    # A share of the scenarios is built around the shape of the region tags'
    # fault: record keys colliding with the tag names, whose comparisons (in
    # the lookups of the tags, per matched item) drop or replace the other
    # tag, which only the record holds (retagged after construction), with
    # items inside that record's region.
    focus = "tags" if chance(rng, 0.3) else None
    b.add("_missing = object()\nimport numpy as np\nfrom shapely.geometry import Point",
          *(["focus:region-tags"] if focus else []))
    b.add(ITEM_CLASSES)
    record_kind = "dict"
    if chance(rng, 0.15):
        record_kind = "RecDict"
        b.add("class RecDict(dict):\n    def get(self, key, default=None):\n"
              "        ev('record.get', key)\n        return dict.get(self, key, default)",
              "record-subclass")
    names = []
    target = rng.randrange(ctx["records"])
    for r in range(ctx["records"]):
        shape = rng.choice(sorted(SHAPES) + ["empty"])
        include = rng.choice(["True", "True", "False", "1", "''"])
        if focus and r == target:
            shape, include = rng.choice(["outer", "inner", "left", "right"]), "True"
            fields = ["'include': True", "'points': %r" % SHAPES[shape],
                      "'roi_id': fresh('id')", "'label': fresh('L')"]
            b.add("rec%d = %s({%s})" % (r, "" if record_kind == "dict" else "RecDict",
                                        ", ".join(fields)), "record:" + shape)
            names.append("rec%d" % r)
            continue
        if focus and include in ("False", "''"):
            shape = "corner"  # an exclusion that leaves the focus's items in
        fields = ["'include': %s" % include,
                  "'points': %r" % ([] if shape == "empty" else SHAPES[shape])]
        for key, prefix in (("roi_id", "id"), ("label", "L")):
            v = rng.random()
            if v < 0.6:
                fields.append("%r: fresh(%r)" % (key, prefix))
            elif v < 0.75:
                fields.append("%r: %r" % (key, prefix + str(r)))
            elif v < 0.85:
                fields.append("%r: Item(%d)" % (key, 100 + r * 2 + (key == "label")))
        b.add("rec%d = %s({%s})" % (r, "" if record_kind == "dict" else "RecDict",
                                    ", ".join(fields)), "record:" + shape)
        names.append("rec%d" % r)
    b.add("records = [%s]" % ", ".join(names))
    colliding = []
    if focus:
        # the lookup of one tag drops or replaces the other (which the
        # filter may have read before, in either order)
        colliding.append(target)
        collide(b, ctx, "rec%d" % target, WARDEN_NAMES, "collide",
                tags_only=rng.choice(["roi_id", "label"]), times=rng.choice([1, 2]))
    others = [r for r in range(ctx["records"]) if not focus or r != target]
    for _ in range(rng.choice([0, 1, 1, 2]) if others else 0):
        colliding.append(rng.choice(others))
        collide(b, ctx, "rec%d" % colliding[-1], WARDEN_NAMES, "collide")
    if focus or chance(rng, 0.5):
        b.add("copy.copy(Det(None))", "warm-copy")
    cls = "W"
    if chance(rng, 0.2):
        b.add("""
            class WSub(W):
                @staticmethod
                def _is_point_in_polygon(p, r):
                    ev('in')
                    return W._is_point_in_polygon(p, r)
                def _is_point_excluded_for_polygon(self, p, r):
                    ev('excluded')
                    return W._is_point_excluded_for_polygon(self, p, r)
                @staticmethod
                def _assign_roi_info(c, m, h):
                    ev('assign')
                    return W._assign_roi_info(c, m, h)""", "warden-subclass")
        cls = "WSub"
    frame = rng.choice(["", "", ", [100, 100]", ", (1920, 1080, 3)"])
    if chance(rng, 0.08):
        return warden_threads_scenario(b, ctx, cls)
    b.step("construct", "%s(records%s) and None" % (cls, frame), "construct")
    b.add("w = %s(records%s)" % (cls, frame))
    ctx["warden"] = True
    if focus or chance(rng, 0.5):
        # a tag value that only the record holds (the copy in w.polygons
        # keeps the old one)
        r = colliding[0] if colliding and (focus or chance(rng, 0.7)) else \
            rng.randrange(ctx["records"])
        for tag in (["roi_id", "label"] if focus else [rng.choice(["roi_id", "label"])]):
            b.add("rec%d[%r] = fresh('t')" % (r, tag), "retag")
    for name in names:
        b.add("show(%r, %s)" % (name, name))
    items = []
    for k in range(rng.randint(2 if focus else 1, 4)):
        kind = rng.choice(["Det", "Det", "Track", "Track", "PropDet", "NoInfo", "InfoMap",
                           "Seq", "CopyDet"])
        box = rng.choice(BOXES)
        if focus:
            # in the region (the first two), all of them well formed
            kind = rng.choice(["Det", "Track"])
            box = "[.45, .45, .1, .1]" if k < 2 else rng.choice(BOXES[:6])
        if kind == "Det" or kind == "CopyDet":
            expr = "%s(%s)" % (kind, box)
        elif kind == "Track":
            expr = "Track(%s%s)" % (box, (", " + rng.choice(BOXES)) if chance(rng, 0.3) else "")
        elif kind == "PropDet":
            act = warden_action(b, ctx)[0] if chance(rng, 0.5) else "None"
            expr = "PropDet(%s, %s)" % (box, act)
        elif kind == "NoInfo":
            expr = "NoInfo(%s, %s)" % (box, rng.choice([
                "AttributeError('info')", "ValueError('bad')", "KeyboardInterrupt()"]))
        elif kind == "InfoMap":
            expr = "Track(%s)" % box
        else:
            act = warden_action(b, ctx)[0] if chance(rng, 0.5) else "None"
            expr = "Det(Seq(%s, %s))" % (box, act)
        b.add("_it%d = %s" % (k, expr), "item:" + kind)
        if kind == "InfoMap":
            b.add("_it{k}.info = InfoMap(_it{k}.info)\n_it{k}.info.act = {a}".format(
                k=k, a=warden_action(b, ctx)[0] if chance(rng, 0.5) else "None"))
        if kind == "CopyDet" and chance(rng, 0.6):
            b.add("_it%d.act = %s" % (k, warden_action(b, ctx)[0]))
        if chance(rng, 0.15):
            collide(b, ctx, "_it%d" % k, ITEM_NAMES, "collide-item")
        items.append("_it%d" % k)
    b.add("items = [%s]" % ", ".join(items))
    for k, kind in enumerate(items):
        b.add("if isinstance(vars(_it%d).get('info'), dict):\n    show('info%d', _it%d.info)"
              % (k, k, k))
    arm_at = 0 if focus else rng.randint(0, 3)
    n_filters = rng.randint(1, 4)
    for i in range(n_filters):
        if i == arm_at:
            b.add("arm()")
        args = []
        plain = focus and i == 0  # the focus's filter runs, with the default frame
        if not plain and chance(rng, 0.3):
            args.append("frame_sz=%s" % rng.choice(["[100, 100]", "[0, 100]", "(640, 480)", "0"]))
        if not plain and chance(rng, 0.3):
            args.append("anchor_pt=%s" % rng.choice(["(0, 0)", "(1.0, 1.0)", "(.5, 1.0)",
                                                     "(.5,)", "[.5, .5]", "(FSub(.5), .5)"]))
        b.step("filter", "outcome(w.filter_in_roi(%s), items)" % ", ".join(["items"] + args),
               "filter")
        if i < n_filters - 1 and chance(rng, 0.6):
            act, key = warden_action(b, ctx)
            b.step("change " + key, "%s()" % act, "change")
    if arm_at >= n_filters:
        b.add("arm()")
    return ctx


def warden_threads_scenario(b, ctx, cls):
    rng = b.rng
    mutators = rng.sample(["retag", "untag", "relabel", "points", "include"], rng.randint(0, 3))
    items = ", ".join(rng.choice(["Det([.45, .45, .1, .1])", "Track([.45, .45, .1, .1])",
                                  "Det([0, 0, .1, .1])", "Det([.88, .88, .06, .06])"])
                      for _ in range(rng.randint(2, 8)))
    b.step("threads", "warden_threads(%s, records, [%s], %d, %r, %d)" % (
        cls, items, rng.choice([50, 200]), mutators, rng.randrange(1000)), "threads")
    return ctx


def queue_threads_scenario(b, caps):
    rng = b.rng
    b.step("threads", "queue_threads(Q, %d, %d, %d, %r, %r, %d)" % (
        rng.choice([1, 4, 50]), rng.randint(1, 4), rng.choice([200, 1000]),
        rng.sample([0, 1, 3, 10, 100, -1], 3),
        rng.sample(["swap-deque", "swap-maxlen", "dict-copy", "maxsize", "hook-on", "hook-off",
                    "condition", "debug"], rng.randint(0, 4)), rng.randrange(1000)), "threads")


def generate(seed, index, caps, kinds=("queue", "warden")):
    """Scenario `index` of the run with `seed`, for an interpreter with `caps`."""
    rng = random.Random("%s:%d" % (seed, index))
    kind = kinds[0] if len(kinds) == 1 else ("queue" if chance(rng, 0.7) else "warden")
    if kind == "warden" and not caps.get("warden", True):
        kind = "queue"
    b = Builder(rng)
    subinterp = False
    if kind == "queue":
        if chance(rng, 0.06):
            queue_threads_scenario(b, caps)
        else:
            focus = queue_focus(rng, caps)
            subinterp = focus == "subinterp-watcher" or (
                caps.get("subinterp") and chance(rng, 0.1))
            gen_queue(b, caps, subinterp, focus)
    else:
        gen_warden(b, caps)
    threads = any("threads" in blk["tags"] for blk in b.blocks)
    return {"id": "%s-%d" % (seed, index), "kind": kind, "blocks": b.blocks,
            "subinterp": bool(subinterp), "timeout": 30 if threads else 10}


def program(sc):
    return "\n".join(blk["code"] for blk in sc["blocks"]) + "\n"


def tags(sc):
    found = set()
    for blk in sc["blocks"]:
        found.update(blk["tags"])
    if sc.get("subinterp"):
        found.add("subinterpreter")
    return found


# --- running and comparing -----------------------------------------------------------


def child_env():
    env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONHASHSEED="0")
    # Under AddressSanitizer the objects must come from the system allocator
    # to be checked; the debug hooks stay on top.
    asan = "libasan" in env.get("LD_PRELOAD", "")
    env["PYTHONMALLOC"] = "malloc_debug" if asan else "debug"
    if asan:
        # The sanitizer aborts the child at its first report, which the
        # comparison sees as a crash (or, where the plain-Python side fails
        # as well, as no verdict); its reports stay with the fuzzer.
        options = [o for o in env.get("ASAN_OPTIONS", "").split(":")
                   if o and not o.startswith(("log_path=", "abort_on_error="))]
        env["ASAN_OPTIONS"] = ":".join(options + ["abort_on_error=1", "log_path=" + os.path.join(
            tempfile.gettempdir(), "ombrix-fuzz-asan")])
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def probe(python):
    """What the interpreter offers: foreign dict watchers, sub-interpreters,
    the region filter's dependencies."""
    python = os.path.abspath(python) if os.sep in python else python
    code = ("import json, sys\ntry:\n    import _testcapi\nexcept ImportError:\n    _testcapi = None\n"
            "try:\n    import shapely.geometry, numpy\n    warden = True\nexcept ImportError:\n"
            "    warden = False\n"
            "print(json.dumps({'dict_watchers': hasattr(_testcapi, 'add_dict_watcher'),\n"
            "  'subinterp': hasattr(_testcapi, 'run_in_subinterp'), 'warden': warden,\n"
            "  'version': '%d.%d' % sys.version_info[:2]}))")
    out = subprocess.check_output([python, "-c", code], cwd=tempfile.gettempdir(),
                                  universal_newlines=True)
    return json.loads(out)


def start_batch(python, impl, scenarios, workdir):
    """Starts a child running `scenarios` on `impl`; returns (process, path)."""
    fd, path = tempfile.mkstemp(suffix=".json", dir=workdir)
    with os.fdopen(fd, "w") as f:
        json.dump([{"id": sc["id"], "kind": sc["kind"], "code": program(sc),
                    "subinterp": sc.get("subinterp", False), "timeout": sc["timeout"]}
                   for sc in scenarios], f)
    proc = subprocess.Popen([python, RUNTIME, impl, path], cwd=workdir, env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, errors="replace")
    return proc, path


def _by_scenario(text):
    """{id: (finished, lines between its BEGIN and END markers)}"""
    results = {}
    current = None
    lines = []
    for line in text.split("\n"):
        if line.startswith("\x01BEGIN "):
            current, lines = line[7:], []
        elif line.startswith("\x01END ") and current is not None:
            results[current] = (True, "\n".join(lines))
            current = None
        elif current is not None:
            lines.append(line)
    if current is not None:
        results[current] = (False, "\n".join(lines))
    return results


def finish_batch(proc, path, scenarios):
    """{id: (finished, output, what it wrote to stderr)} and the child's exit
    status and stderr."""
    limit = sum(sc["timeout"] for sc in scenarios) + 60
    try:
        out, err = proc.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
    os.unlink(path)
    results = _by_scenario(out)
    errors = _by_scenario(err)
    for key, (finished, text) in results.items():
        results[key] = (finished, text, errors.get(key, (False, ""))[1])
    return results, proc.returncode, err


def run_pair(python, scenarios, workdir):
    """Runs `scenarios` natively and on the algorithm at the same time."""
    started = [start_batch(python, impl, scenarios, workdir) for impl in ("native", "oracle")]
    return [finish_batch(p, path, scenarios) for p, path in started]


def first_difference(a, b):
    la, lb = a.split("\n"), b.split("\n")
    label = "?"
    for i in range(max(len(la), len(lb))):
        x = la[i] if i < len(la) else "<nothing>"
        y = lb[i] if i < len(lb) else "<nothing>"
        if x.startswith("S "):
            label = x[2:]
        if x != y:
            return i, label, x, y
    return None


def _coarse(text):
    """Without the serial numbers of items and fresh strings."""
    return re.sub(r"\d+", "#", text)


def cause(native_line, oracle_line):
    """What differs in the first differing line, in a form that groups
    findings with the same cause."""
    kind = native_line[:1] if native_line[:1] == oracle_line[:1] else ""
    if kind == "T":
        a = native_line[2:].split(" | ")
        b = oracle_line[2:].split(" | ")
        if sorted(a) == sorted(b):
            for x, y in zip(a, b):
                if x != y:
                    return _coarse("events in another order: native %s, algorithm %s" % (x, y))
        extra = list((collections.Counter(a) - collections.Counter(b)).elements())[:3]
        missing = list((collections.Counter(b) - collections.Counter(a)).elements())[:3]
        return _coarse("events: native only %s; algorithm only %s" % (extra, missing))
    if kind == "O":
        def fields(line):
            name, _, rest = line[2:].partition(" ")
            return name, dict(p.partition("=")[::2] for p in re.split(r" (?=[\w']+=|Collide)", rest))
        name, a = fields(native_line)
        _, b = fields(oracle_line)
        keys = sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))
        return "state of %s differs in %s" % (name, ", ".join(keys))
    if kind == "R":
        def told(line):
            return line[5:].split(":")[0] if line.startswith("R !! ") else "a result"
        a, b = told(native_line), told(oracle_line)
        return "result: native %s, algorithm %s" % (a, b) if a != b else _coarse(
            "result: native %s, algorithm %s" % (native_line[2:60], oracle_line[2:60]))
    return "output differs"


INVARIANTS_HOLD = "R -> 'invariants hold'"


def judge(sc, native, oracle, native_err=""):
    """None when they agree; else a finding."""
    n_done, n_out, n_err = (tuple(native) + ("",))[:3]
    o_done, o_out, o_err = (tuple(oracle) + ("",))[:3]
    if not o_done:
        return {"kind": "oracle-failed", "signature": "oracle failed", "id": sc["id"]}
    if not n_done:
        tail = "\n".join(native_err.strip().split("\n")[-12:])
        return {"kind": "crash", "signature": "crash", "id": sc["id"], "detail": tail,
                "native": n_out, "oracle": o_out}
    if any("RecursionError" in text for text in (n_out, o_out, n_err, o_err)):
        # Where the stack runs out depends on the frames each side uses; the
        # error may also have been reported only to stderr (an unraisable
        # hook that failed, a hook recursing through a failing watcher).
        return {"kind": "indeterminate", "signature": "recursion limit", "id": sc["id"]}
    if "threads" in tags(sc):
        # The plain-Python algorithm can be preempted between bytecodes, where
        # the native methods keep the GIL from start to end: the algorithm may
        # break an invariant that the native code keeps. Only the native
        # side's verdict counts.
        broken = [line for line in n_out.split("\n")
                  if line.startswith("R ") and line != INVARIANTS_HOLD]
        if not broken:
            return None
        return {"kind": "mismatch", "signature": "threads: native breaks an invariant",
                "id": sc["id"], "detail": "native: %s" % broken[0], "native": n_out,
                "oracle": o_out}
    diff = first_difference(n_out, o_out)
    if diff is None:
        return None
    i, label, x, y = diff
    return {"kind": "mismatch", "signature": "%s: %s" % (label.split(" ")[0], cause(x, y)),
        "id": sc["id"], "detail": "native: %s\noracle: %s" % (x, y),
        "native": n_out, "oracle": o_out}


def check(python, scenarios, workdir, batch_size=25):
    """Runs the scenarios in batches; returns (findings, scenarios run). When
    the native child dies in a scenario that the plain-Python child finished,
    that scenario runs again alone (three times), and if it does not die
    alone, once more after the scenarios that came before it in the batch:
    a crash alone, a crash after those scenarios, or a crash not reproduced.
    The scenarios after it go into the next batch."""
    findings = []
    ran = 0
    pending = list(scenarios)
    while pending:
        batch, pending = pending[:batch_size], pending[batch_size:]
        (native, n_rc, n_err), (oracle, o_rc, _) = run_pair(python, batch, workdir)
        if n_rc and not o_rc and all(native.get(sc["id"], (False,))[0] for sc in batch):
            # every scenario done, then the native side failed on its way out
            findings.append({"kind": "crash", "signature": "native child failed at exit",
                             "id": batch[-1]["id"], "batch": [x["id"] for x in batch],
                             "detail": "\n".join(n_err.strip().split("\n")[-12:])})
        if len(batch) > 1 and (not native or not oracle):
            # a child that ran nothing at all: one at a time
            for sc in batch:
                fs, n = check(python, [sc], workdir, 1)
                findings.extend(fs)
                ran += n
            continue
        rerun = []
        for position, sc in enumerate(batch):
            n, o = native.get(sc["id"]), oracle.get(sc["id"])
            if len(batch) > 1 and (n is None or o is None):
                rerun.append(sc)  # the child died before it
                continue
            if len(batch) > 1 and not n[0]:
                ran += 1
                if not o[0]:
                    # the plain-Python side died there too: no verdict
                    findings.append({"kind": "oracle-failed", "signature": "oracle failed",
                                     "id": sc["id"]})
                    continue
                # Alone first (a fault that depends on addresses may need a
                # few tries), then after the same scenarios as in the batch.
                for _ in range(3):
                    alone, _ = check(python, [sc], workdir, 1)
                    if any(f["kind"] != "mismatch" for f in alone):
                        break
                if any(f["kind"] != "mismatch" for f in alone):
                    findings.extend(alone)
                    continue
                prefix = batch[:position + 1]
                (again, _, a_err), (oracle_again, _, _) = run_pair(python, prefix, workdir)
                died = not again.get(sc["id"], (False,))[0]
                survived = oracle_again.get(sc["id"], (False,))[0]
                if died and survived:
                    findings.append({
                        "kind": "crash", "signature": "crash after the scenarios before it",
                        "id": sc["id"], "batch": [x["id"] for x in prefix],
                        "detail": "\n".join(a_err.strip().split("\n")[-12:])})
                elif died:
                    findings.append({"kind": "oracle-failed", "signature": "oracle failed",
                                     "id": sc["id"]})
                else:
                    findings.append({
                        "kind": "crash", "signature": "crash not reproduced",
                        "id": sc["id"], "batch": [x["id"] for x in prefix],
                        "detail": "\n".join(n_err.strip().split("\n")[-12:])})
                findings.extend(alone)
                continue
            ran += 1
            f = judge(sc, n or (False, ""), o or (False, ""), n_err)
            if f:
                findings.append(f)
        pending = rerun + pending
    return findings, ran


def reproduces(python, sc, finding, workdir):
    fs, _ = check(python, [sc], workdir, 1)
    return any(f["kind"] == finding["kind"] and f["signature"] == finding["signature"]
               for f in fs)


def reduce(python, sc, finding, workdir, budget=60):
    """Leaves out blocks while the same finding stays; the smallest scenario
    found within `budget` runs."""
    blocks = list(sc["blocks"])
    chunk = max(1, len(blocks) // 2)
    runs = 0
    while chunk >= 1 and runs < budget:
        i = 0
        changed = False
        while i < len(blocks) and runs < budget:
            trial = dict(sc, blocks=blocks[:i] + blocks[i + chunk:])
            runs += 1
            if reproduces(python, trial, finding, workdir):
                blocks = trial["blocks"]
                changed = True
            else:
                i += chunk
        if not changed:
            chunk //= 2
    return dict(sc, blocks=blocks)


def write_program(sc, finding, directory, number):
    """The failing scenario as a program one can run by hand."""
    name = os.path.join(directory, "finding-%03d-%s.py" % (
        number, finding["kind"]))
    payload = {"id": sc["id"], "kind": sc["kind"], "code": program(sc),
               "subinterp": sc.get("subinterp", False), "timeout": sc["timeout"]}
    with open(name, "w") as f:
        f.write("# %s: %s (scenario %s)\n" % (finding["kind"], finding["signature"], sc["id"]))
        f.write("# ingredients: %s\n" % ", ".join(sorted(tags(sc))))
        for line in finding.get("detail", "").split("\n"):
            f.write("# %s\n" % line)
        f.write("# Run: PYTHONMALLOC=debug python %s [native|oracle]\n" % os.path.basename(name))
        f.write("import sys\nsys.path[:0] = [%r, %r]\nimport fuzz_runtime\n" % (ROOT, TESTS))
        f.write("SCENARIO = %r\n" % payload)
        f.write("fuzz_runtime.run_scenario(sys.argv[1] if len(sys.argv) > 1 else 'native', "
                "SCENARIO)\n\n")
        f.write('"""\n%s"""\n' % program(sc).replace('"""', "'''"))
    return name


class Summary(object):
    def __init__(self):
        self.scenarios = 0
        self.crashes = []
        self.mismatches = []
        self.oracle_failures = []
        self.first_seen = {}  # class -> (seconds, scenarios)
        self.files = []
        self.kinds = {}

    def __str__(self):
        lines = ["scenarios run: %d (%s)" % (self.scenarios, ", ".join(
            "%s %d" % kv for kv in sorted(self.kinds.items()))),
            "crashes: %d" % len(self.crashes), "mismatches: %d" % len(self.mismatches)]
        if self.oracle_failures:
            lines.append("scenarios without a verdict (the algorithm failed, or the "
                         "recursion limit decided): %d"
                         % len(self.oracle_failures))
        for cls, (seconds, count) in sorted(self.first_seen.items(), key=lambda kv: kv[1]):
            lines.append("  first %s after %.0f s (%d scenarios)" % (cls, seconds, count))
        for path in self.files:
            lines.append("  wrote " + path)
        return "\n".join(lines)


def finding_class(f, sc):
    important = sorted(t for t in tags(sc) if not t.startswith(("act:", "debug:False")))
    return "%s: %s [%s]" % (f["kind"], f["signature"], ", ".join(important))


def fuzz(python, seconds=None, count=None, seed=0, out_dir=None, batch_size=25,
         reduce_budget=0, log=None, kinds=("queue", "warden"), journal=None):
    """Generates and checks scenarios until `seconds` have passed or `count`
    scenarios ran; returns a Summary."""
    python = os.path.abspath(python) if os.sep in python else python
    caps = probe(python)
    summary = Summary()
    start = time.time()
    index = 0
    seen_classes = {}
    workdir = tempfile.mkdtemp(prefix="fuzz-native-")
    by_id = {}
    try:
        while True:
            if count is not None and index >= count:
                break
            if seconds is not None and time.time() - start >= seconds:
                break
            n = batch_size if count is None else min(batch_size, count - index)
            batch = [generate(seed, index + i, caps, kinds) for i in range(n)]
            index += n
            for sc in batch:
                by_id[sc["id"]] = sc
                summary.kinds[sc["kind"]] = summary.kinds.get(sc["kind"], 0) + 1
            findings, ran = check(python, batch, workdir, batch_size)
            summary.scenarios += ran
            for f in findings:
                if f["kind"] in ("oracle-failed", "indeterminate"):
                    summary.oracle_failures.append(f["id"])
                    continue
                sc = by_id.get(f["id"])
                (summary.crashes if f["kind"] == "crash" else summary.mismatches).append(f)
                if sc is None:
                    continue
                cls = finding_class(f, sc)
                if reduce_budget and f["signature"] not in seen_classes and \
                        time.time() - start < (seconds or float("inf")) * 0.8:
                    small = reduce(python, sc, f, workdir, reduce_budget)
                    cls = finding_class(f, small)
                    sc = small
                if journal:
                    with open(journal, "a") as j:
                        j.write(json.dumps({"seconds": round(time.time() - start, 1),
                                            "scenarios": summary.scenarios, "id": f["id"],
                                            "kind": f["kind"], "signature": f["signature"],
                                            "tags": sorted(tags(sc)),
                                            "detail": f.get("detail", "")}) + "\n")
                key = "%s: %s" % (f["kind"], f["signature"])
                seen_classes.setdefault(f["signature"], 0)
                seen_classes[f["signature"]] += 1
                if key not in summary.first_seen:
                    summary.first_seen[key] = (time.time() - start, summary.scenarios)
                if out_dir:
                    os.makedirs(out_dir, exist_ok=True)
                    summary.files.append(write_program(
                        sc, dict(f, signature=cls), out_dir,
                        len(summary.crashes) + len(summary.mismatches)))
            if log:
                log("%6.0f s  %d scenarios, %d crashes, %d mismatches" % (
                    time.time() - start, summary.scenarios, len(summary.crashes),
                    len(summary.mismatches)))
    finally:
        for name in os.listdir(workdir):
            os.unlink(os.path.join(workdir, name))
        os.rmdir(workdir)
    return summary


def main(argv=None):
    import argparse
    parser = argparse.ArgumentParser(prog="fuzz-native", description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=5.0)
    parser.add_argument("--seed", default=str(int(time.time())))
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter with the SDK installed (default: this one)")
    parser.add_argument("--out", default="fuzz-findings",
                        help="directory for the failing scenarios' programs")
    parser.add_argument("--only", choices=["queue", "warden"])
    parser.add_argument("--reduce", type=int, default=40,
                        help="runs spent reducing the first scenario of each new finding")
    parser.add_argument("--mode", choices=("callers",) + timing_fuzz.MODES, default="callers",
                        help="hostile callers (default), the collector at every k-th "
                             "allocation (gc), or signal handlers that raise (signal)")
    parser.add_argument("--count", type=int, default=100,
                        help="scenarios per kind in the gc and signal modes")
    args = parser.parse_args(argv)
    kinds = (args.only,) if args.only else ("queue", "warden")
    if args.mode != "callers":
        failed = False
        for kind in kinds:
            found, ran = timing_fuzz.run(args.python, args.mode, kind, args.seed, args.count)
            print("%s %s: %s" % (args.mode, kind, dict((impl, dict(c)) for impl, c in ran.items())))
            for impl, problems in sorted(found.items()):
                for problem in problems:
                    failed = True
                    print("  %s: %s" % (impl, json.dumps(problem)))
        return 1 if failed else 0
    print("fuzz-native: seed %s, %.1f minutes, %s" % (args.seed, args.minutes, args.python))
    os.makedirs(args.out, exist_ok=True)
    summary = fuzz(args.python, seconds=args.minutes * 60, seed=args.seed, out_dir=args.out,
                   reduce_budget=args.reduce, kinds=kinds,
                   journal=os.path.join(args.out, "findings.jsonl"),
                   log=lambda line: print(line, flush=True))
    print(summary)
    return 1 if summary.crashes or summary.mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
